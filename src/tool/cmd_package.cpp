// ztvtool package ...: update packages.
#include <iostream>
#include <memory>

#include "engine/update_package.h"
#include "tool/commands.h"

namespace ztv::tool {

void AddPackageCommands(CLI::App& app) {
  auto* package = app.add_subcommand("package", "update packages");
  package->require_subcommand(1);

  struct Args {
    TPackageBuildOptions build;
    std::string dir, out, current;
  };
  auto a = std::make_shared<Args>();

  auto* build = package->add_subcommand("build", "make Files.DAT and its parts in OUTDIR from DIR");
  build->add_option("--source", a->build.sourceVersion, "version the update is made for")->required();
  build->add_option("--dest", a->build.destVersion, "version the update installs")->required();
  build->add_flag("--lzma", a->build.lzma, "compress with LZMA (default LZH)");
  build->add_option("--part-size", a->build.partSize, "largest part in bytes (default: one part)");
  build->add_option("DIR", a->dir, "directory with UpdateInstaller.exe at its top")->required();
  build->add_option("OUTDIR", a->out, "update directory to write")->required();
  build->callback([a] { BuildPackage(a->dir, a->out, a->build); });

  auto* verify = package->add_subcommand("verify", "every check of the unpacking, writing nothing");
  verify->add_option("UPDATEDIR", a->dir, "update directory")->required();
  verify->add_option("--current", a->current, "installed version")->required();
  verify->callback([a] {
    VerifyPackage(a->dir, a->current);
    std::cout << "ok\n";
  });

  auto* unpack = package->add_subcommand("unpack", "verify, join, decompress and extract into UNPACKDIR");
  unpack->add_option("UPDATEDIR", a->dir, "update directory")->required();
  unpack->add_option("UNPACKDIR", a->out, "directory to unpack into")->required();
  unpack->add_option("--current", a->current, "installed version")->required();
  unpack->callback([a] { UnpackPackage(a->dir, a->out, a->current); });
}

}  // namespace ztv::tool
