#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/errors.h"
#include "engine/updater.h"
#include "engine/ztv_procs.h"
#include "platform/registry.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

using test::MessageOf;

using test::ScopedCommandLine;
using test::ScopedRegistry;

const char* kKey = "[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n";

std::string FullKey() {
  return std::string(kKey) +
         "\"CurrentVersionDirectory\"=\"/opt/ztv/\"\n"
         "\"BackupDirectory\"=\"/var/backups/ztv\"\n"
         "\"UpdateDirectory\"=\"/var/cache/ztv//\"\n"
         "\"CurrentVersion\"=\"7.1.2\"\n"
         "\"CurrentStatus\"=dword:00000001\n"
         "\"BackupVersion\"=\"7.1.1\"\n";
}

TEST(Settings, ReadsValuesAndDerivedPaths) {
  ScopedRegistry reg(FullKey());
  ScopedCommandLine cl({});
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(GetBackupVersion(), "7.1.1");
  // One trailing separator is dropped, never two.
  EXPECT_EQ(GetCurrentVersionDirectory(), "/opt/ztv");
  EXPECT_EQ(GetUpdateDirectory(), "/var/cache/ztv/");
  EXPECT_EQ(GetBackupDirectory(), "/var/backups/ztv");
  EXPECT_EQ(GetImdFileName(), "/opt/ztv/ocx/IMD.DAT");
  EXPECT_EQ(GetUnpackDirectory(), "/var/cache/ztv//_ZTV_UPDATE_");
}

TEST(Settings, MissingKeyFailsEveryRoutineWithTheTypedMessage) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\Other]\n\"CurrentStatus\"=dword:1\n");
  ScopedCommandLine cl({});
  const std::string missing =
      "Не удается получить данные из реестра Windows. Возможно, требуется переустановка ЗТВ.";
  EXPECT_THROW(GetCurrentVersion(), ETyped);
  EXPECT_EQ(MessageOf([] { GetCurrentVersion(); }), missing);
  EXPECT_EQ(MessageOf([] { GetCurrentStatus(); }), missing);
  EXPECT_EQ(MessageOf([] { GetBackupVersion(); }), missing);
  EXPECT_EQ(MessageOf([] { GetCurrentVersionDirectory(); }), missing);
  EXPECT_EQ(MessageOf([] { GetBackupDirectory(); }), missing);
  EXPECT_EQ(MessageOf([] { GetUpdateDirectory(); }), missing);
  EXPECT_EQ(MessageOf([] { GetImdFileName(); }), missing);
  EXPECT_EQ(MessageOf([] { GetUnpackDirectory(); }), missing);
  EXPECT_EQ(MessageOf([] { SetCurrentVersion("1"); }), missing);
  EXPECT_EQ(MessageOf([] { SetCurrentStatus(1); }), missing);
  EXPECT_EQ(MessageOf([] { SetBackupVersion(""); }), missing);
  // Writing never creates the key.
  EXPECT_EQ(reg.Text().find("Zorvic\\ZTV]"), std::string::npos);
}

TEST(Settings, MissingRegistryFileIsAMissingKey) {
  ScopedRegistry reg;
  ::unlink(reg.File().c_str());
  EXPECT_THROW(GetCurrentVersion(), ETyped);
}

TEST(Settings, ReadOnlyRegistryFileCannotOpenTheKey) {
  ScopedRegistry reg(FullKey());
  ASSERT_EQ(::chmod(reg.File().c_str(), 0444), 0);
  ScopedCommandLine cl({});
  // The key is always opened for writing too, so even reads fail.
  EXPECT_THROW(GetCurrentVersion(), ETyped);
  EXPECT_THROW(SetCurrentStatus(0), ETyped);
  ASSERT_EQ(::chmod(reg.File().c_str(), 0644), 0);
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
}

TEST(Settings, WrongValueTypesAreReadFailuresWithTheRoutinesMessage) {
  ScopedRegistry reg(std::string(kKey) +
                     "\"CurrentVersion\"=dword:00000007\n"
                     "\"CurrentStatus\"=\"1\"\n"
                     "\"BackupVersion\"=dword:00000001\n"
                     "\"CurrentVersionDirectory\"=hex:2f,61\n"
                     "\"BackupDirectory\"=dword:0\n"
                     "\"UpdateDirectory\"=dword:0\n");
  ScopedCommandLine cl({});
  EXPECT_EQ(MessageOf([] { GetCurrentVersion(); }), "Не удается считать информацию о версии системы.");
  EXPECT_EQ(MessageOf([] { GetCurrentStatus(); }), "Не удается считать информацию о состоянии текущей версии.");
  EXPECT_EQ(MessageOf([] { GetCurrentVersionDirectory(); }),
            "Не удается считать информацию о каталоге установки системы.");
  EXPECT_EQ(MessageOf([] { GetBackupDirectory(); }), "Не удается считать информацию о версии в резервной копии.");
  EXPECT_EQ(MessageOf([] { GetUpdateDirectory(); }),
            "Не удается считать информацию о директории для хранения обновлений.");
  // The backup version has no message of its own: the registry error passes.
  EXPECT_THROW(GetBackupVersion(), ERegistryException);
  EXPECT_EQ(MessageOf([] { GetBackupVersion(); }), "Invalid data type for 'BackupVersion'");
  // Plain errors, not the typed class.
  try {
    GetCurrentStatus();
  } catch (const ETyped&) {
    ADD_FAILURE() << "typed error for a read failure";
  } catch (const Exception&) {
  }
}

TEST(Settings, AbsentValuesReadEmptyButAbsentStatusFails) {
  ScopedRegistry reg(kKey);
  ScopedCommandLine cl({});
  EXPECT_EQ(GetCurrentVersion(), "");
  EXPECT_EQ(GetBackupVersion(), "");
  EXPECT_EQ(GetCurrentVersionDirectory(), "");
  EXPECT_EQ(MessageOf([] { GetCurrentStatus(); }), "Не удается считать информацию о состоянии текущей версии.");
  // An empty update directory still gets the separator.
  EXPECT_EQ(GetUnpackDirectory(), "/_ZTV_UPDATE_");
}

TEST(Settings, WritesAreSeenByTheNextRead) {
  ScopedRegistry reg(FullKey());
  ScopedCommandLine cl({});
  SetCurrentVersion("8.0");
  SetCurrentStatus(-5);
  SetBackupVersion("");
  EXPECT_EQ(GetCurrentVersion(), "8.0");
  EXPECT_EQ(GetCurrentStatus(), -5);
  EXPECT_EQ(GetBackupVersion(), "");
  // The empty backup version stays present as an empty string value.
  EXPECT_NE(reg.Text().find("\"BackupVersion\"=\"\""), std::string::npos);
  EXPECT_NE(reg.Text().find("\"CurrentStatus\"=dword:fffffffb"), std::string::npos);
  // Other values are untouched.
  EXPECT_EQ(GetCurrentVersionDirectory(), "/opt/ztv");
}

TEST(Settings, IsRelativeDerivesTheInstallationFromTheProgram) {
  ScopedRegistry reg(FullKey());
  {
    ScopedCommandLine cl({"isrelative"}, "/srv/inst/Tools/ztv-updater");
    EXPECT_EQ(GetCurrentVersionDirectory(), "/srv/inst");
    EXPECT_EQ(GetImdFileName(), "/srv/inst/ocx/IMD.DAT");
  }
  {
    // A parameter that merely contains the word does not count.
    ScopedCommandLine cl({"/IsRelative"}, "/srv/inst/Tools/ztv-updater");
    EXPECT_EQ(GetCurrentVersionDirectory(), "/opt/ztv");
  }
  {
    ScopedCommandLine cl({"IsRelative", "backup"}, "/srv/inst/Tools/ztv-updater");
    EXPECT_EQ(GetCurrentVersionDirectory(), "/srv/inst");
  }
  // The registry is not consulted at all: a broken value does not matter.
  reg.Write(std::string(kKey) + "\"CurrentVersionDirectory\"=dword:1\n");
  ScopedCommandLine cl({"IsRelative"}, "/srv/inst/Tools/ztv-updater");
  EXPECT_EQ(GetCurrentVersionDirectory(), "/srv/inst");
}

TEST(Settings, RelativeInstallationDirectoryEdges) {
  EXPECT_EQ(RelativeInstallationDirectory("/a/b/prog"), "/a");
  EXPECT_EQ(RelativeInstallationDirectory("/a/prog"), "");
  EXPECT_EQ(RelativeInstallationDirectory("/prog"), "");
  EXPECT_EQ(RelativeInstallationDirectory("prog"), "");
}

TEST(Updater, FreshEngineIsNotWorking) {
  TUpdater u;
  EXPECT_EQ(u.CurrentStatus, 0);
  EXPECT_EQ(u.CurrentVersion, "");
  EXPECT_FALSE(u.OnProgress);
}

TEST(Updater, RefreshFillsEveryFieldInOrder) {
  ScopedRegistry reg(FullKey());
  ScopedCommandLine cl({});
  TUpdater u;
  u.Refresh();
  EXPECT_EQ(u.CurrentVersion, "7.1.2");
  EXPECT_EQ(u.CurrentStatus, 1);
  EXPECT_EQ(u.BackupVersion, "7.1.1");
  EXPECT_EQ(u.CurrentVersionDirectory, "/opt/ztv");
  EXPECT_EQ(u.BackupDirectory, "/var/backups/ztv");
  EXPECT_EQ(u.UpdateDirectory, "/var/cache/ztv/");
  EXPECT_EQ(u.ImdFileName, "/opt/ztv/ocx/IMD.DAT");
  EXPECT_EQ(u.UnpackDirectory, "/var/cache/ztv//_ZTV_UPDATE_");
}

TEST(Updater, RefreshStopsAtTheFirstFailureKeepingEarlierFields) {
  ScopedRegistry reg(FullKey());
  ScopedCommandLine cl({});
  TUpdater u;
  u.Refresh();
  reg.Write(std::string(kKey) + "\"CurrentVersion\"=\"9.9\"\n\"BackupVersion\"=\"9.8\"\n");
  EXPECT_EQ(MessageOf([&] { u.Refresh(); }), "Не удается считать информацию о состоянии текущей версии.");
  EXPECT_EQ(u.CurrentVersion, "9.9");       // read before the failure
  EXPECT_EQ(u.CurrentStatus, 1);            // previous values kept
  EXPECT_EQ(u.BackupVersion, "7.1.1");
  EXPECT_EQ(u.UnpackDirectory, "/var/cache/ztv//_ZTV_UPDATE_");

  TUpdater fresh;
  EXPECT_THROW(fresh.Refresh(), Exception);
  EXPECT_EQ(fresh.CurrentVersion, "9.9");
  EXPECT_EQ(fresh.CurrentStatus, 0);
}

}  // namespace
}  // namespace ztv
