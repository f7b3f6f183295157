# The Debian package ztv-updater: the two programs (their install rules are in
# src/app and src/tool), the private module folder, a desktop entry with its
# icon, a manual page for each program made from its own --help and
# --version, and the documentation with an example settings file. The package
# is built by CPack from the default build: scripts/package.

set(ZTV_PACKAGE_NAME ztv-updater)
set(ZTV_PACKAGE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZTV_PACKAGE_NAME}")
set(ZTV_PACKAGE_MAINTAINER "ZTV updater developers <ztv-updater@zorvic.example>" CACHE STRING
    "Maintainer field of the Debian package and of its changelog")
set(ZTV_PACKAGE_OUT "${PROJECT_BINARY_DIR}/packaging")
set(PKG_SRC "${PROJECT_SOURCE_DIR}/packaging")

# The private module folder exists even while no module is built, so that the
# place the programs look in is part of the package.
install(DIRECTORY DESTINATION ${ZTV_MODULE_INSTALL_DIR})

install(FILES ${PKG_SRC}/ztv-updater.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${PKG_SRC}/ztv-updater.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

# Documentation: copyright, the changelog (gzipped, as the distribution keeps
# it), the README and an example of the settings file. The package never
# creates /etc/ztv/registry.reg itself.
string(TIMESTAMP ZTV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PKG_SRC}/changelog.in ${ZTV_PACKAGE_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${ZTV_PACKAGE_OUT}/changelog.gz
  COMMAND gzip -9nkf ${ZTV_PACKAGE_OUT}/changelog
  DEPENDS ${ZTV_PACKAGE_OUT}/changelog
  VERBATIM)
install(FILES ${PKG_SRC}/copyright ${ZTV_PACKAGE_OUT}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${ZTV_PACKAGE_DOC_DIR})
install(FILES ${PKG_SRC}/registry.reg DESTINATION ${ZTV_PACKAGE_DOC_DIR}/examples)

# Manual pages in section 1, made from the programs' own help so that they
# stay in step with it; the .h2m files add what the help does not say. The
# version is given, because --version also lists the module folders of the
# build tree.
find_program(HELP2MAN help2man)
set(ZTV_PACKAGE_GENERATED ${ZTV_PACKAGE_OUT}/changelog.gz)
if(HELP2MAN)
  set(ztv-updater_MAN_NAME "update, back up and restore the ZTV workplace installation")
  set(ztvtool_MAN_NAME "update packages, version backups and stored formats of the ZTV updater")
  foreach(program ztv-updater ztvtool)
    set(page ${ZTV_PACKAGE_OUT}/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --section=1 --no-discard-stderr
              --version-string=${PROJECT_VERSION}
              --name=${${program}_MAN_NAME}
              --include=${PKG_SRC}/${program}.h2m
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} ${PKG_SRC}/${program}.h2m
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND ZTV_PACKAGE_GENERATED ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
else()
  message(WARNING "help2man not found: the package is built without manual pages (scripts/setup installs it)")
endif()
add_custom_target(ztv_package_files ALL DEPENDS ${ZTV_PACKAGE_GENERATED})

# CPack's DEB generator; cpack only installs, so scripts/package builds the
# programs and ztv_package_files first.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZTV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_CONTACT "${ZTV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZTV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance program of the ZTV accounting workplace client")
set(CPACK_PACKAGE_DESCRIPTION
"The updater stands beside the ZTV workplace client of the accounting
system. It installs the update packages the workplace has received
(verifying lengths and checksums, joining parts, decompressing LZH or LZMA
and starting the package's installer), keeps one backup of the installed
version and restores from it, and clears the update cache. Its window
speaks Russian; with the word backup or restore last on its command line
it runs unattended.

The package also holds ztvtool, the administrator's command-line tool for
update packages, version backups and the stored formats.")
# The libraries the programs link come from dpkg-shlibdeps; the ones they load
# at run time are named here: the Qt platform plugins (the window, and the
# offscreen drawing of --offscreen-screenshot), the Firebird client
# (libfbclient.so.2) and the 7-Zip codec library (/usr/lib/p7zip/7z.so).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libfbclient2, p7zip-full")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "firebird3.0-server, firebird3.0-utils, qt6-translations-l10n")
include(CPack)
