// A workplace installation in a temporary directory for the operations'
// tests: the installation, backup and update directories, the settings in a
// registry file of the test's own, the workplace program ("Bureo") and a
// database server as real stand-in processes, a machine without a service
// manager. Everything the test starts from its directory is killed at its
// end.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/tar_backup.h"
#include "control/control_env.h"
#include "control_support.h"
#include "core/errors.h"
#include "engine/updater.h"
#include "platform/processes.h"
#include "platform/services.h"
#include "support/registry_fixture.h"

namespace ztv::test {

namespace fs = std::filesystem;

// The running processes with the bare name.
inline std::vector<ProcessEntry> Running(const std::string& name) {
  std::vector<ProcessEntry> found;
  if (auto all = EnumerateProcesses())
    for (const auto& p : *all)
      if (ProcessHasName(p, name)) found.push_back(p);
  return found;
}

inline bool Alive(const ProcessEntry& p) { return p.pid != 0 && ProcessAlive(p.pid, p.startTime); }

class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NoForeignProcess("Bureo"));
    ASSERT_TRUE(NoForeignProcess("firebird"));
    fs::create_directories(backup_);
    fs::create_directories(updates_);
    WriteFile(inst_ + "/bin/bureo.ini", "[Settings]\nServer=localhost\n");
    WriteFile(inst_ + "/bin/version.txt", "workplace client 7.1.2\n");
    WriteFile(inst_ + "/ocx/IMD.DAT", "imd");
    WriteFile(inst_ + "/Данные/шаблон.gdb", std::string(70000, 'D'));
    fs::create_directories(inst_ + "/Пустой");
    InstallStandin(inst_ + "/bin/Bureo");
    // No service manager here: servers run as programs.
    services_ = CreateSystemdServices(dir_ / "no-systemd");
    control_.services = services_.get();
  }

  void WriteSettings(const std::string& version, int status, const std::string& backupVersion) {
    registry_.Write("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                    "\"CurrentVersionDirectory\"=\"" + inst_ + "\"\n"
                    "\"BackupDirectory\"=\"" + backup_ + "/\"\n"
                    "\"UpdateDirectory\"=\"" + updates_ + "\"\n"
                    "\"CurrentVersion\"=\"" + version + "\"\n"
                    "\"CurrentStatus\"=dword:" + Format("%08x", status) + "\n"
                    "\"BackupVersion\"=\"" + backupVersion + "\"\n\n" +
                    serverKey_);
  }
  std::string RegistryText() const { return ReadFile(dir_ / "registry.reg"); }

  // A Firebird installation whose server is the stand-in: it ends on the
  // first SIGTERM and listens on its port, as the server does.
  void InstallStandinServer() {
    standinServer_ = std::make_unique<StandinFirebird>(dir_);
    serverDir_ = standinServer_->Dir();
    serverKey_ = standinServer_->RegistryKey();
    // The stand-in cannot be asked about its attachments; it has none.
    control_.attachments = [](int, std::string&) { return 0; };
  }
  ProcessEntry StartStandinServer() { return standinServer_->Start("exit"); }
  std::string StandinServerExe() const { return standinServer_->ServerExe(); }
  ProcessEntry StartWorkplace() {
    ProcessEntry p = StartStandin(inst_ + "/bin/Bureo", "exit");
    fs::remove(inst_ + "/bin/Bureo.ready");
    return p;
  }

  // Makes Backup.DAT of the installation as it is now, through the engine.
  void MakeBackupNow() {
    TUpdater u;
    u.Refresh();
    u.MakeBackup();
  }

  // What Backup.DAT holds, restored into a directory of its own.
  std::map<std::string, std::string> BackupContents() {
    const std::string out = dir_ / ("restored" + std::to_string(++restoreCount_));
    fs::create_directories(out);
    TTarBackup(out, backup_ + "/Backup.DAT").Restore();
    return Snapshot(out);
  }

  ProcessTestLock lock_;
  TempDir dir_;
  ProcessReaper reaper_{dir_.Path()};
  TestRegistry registry_{dir_, ""};
  ScopedCommandLine commandLine_{{}};
  std::string inst_ = dir_ / "ЗТВ";
  std::string backup_ = dir_ / "backup";
  std::string updates_ = dir_ / "updates";
  std::string serverDir_;
  std::string serverKey_;
  std::unique_ptr<StandinFirebird> standinServer_;
  std::unique_ptr<ServiceManager> services_;
  ControlEnv control_;
  int restoreCount_ = 0;
};

}  // namespace ztv::test
