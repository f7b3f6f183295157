// The update engine: the in-memory copy of the installation settings that
// the main window shows and the engine's operations work on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "backup/backup_verify.h"

#include "core/stream.h"

namespace ztv {

class ProgramLauncher;

// Progress report: percentage (below 1 shows as nothing) and a text.
using TProgressEvent = std::function<void(int32_t percent, const std::string& text)>;

class TUpdater {
 public:
  TUpdater() = default;
  TUpdater(const TUpdater&) = delete;
  TUpdater& operator=(const TUpdater&) = delete;

  // Reloads the fields from the settings in their fixed order. The first
  // value that cannot be read stops it with the settings' error; fields read
  // before keep their new values, later ones their previous values.
  void Refresh();
  // When the settings name no backup version but Backup.DAT names its own
  // (a run was killed after the backup was put in place and before the
  // settings were written), takes that version and writes it back.
  void RecoverBackupVersion();

  // Writes Backup.DAT from the installation directory. "BackupVersion" is
  // emptied first and set to the installed version at the end. The new
  // archive is written beside the old one and takes its place only when
  // complete, so a failed backup never destroys the previous file, and
  // "BackupVersion" then names the version of the file still there again.
  void MakeBackup();
  // Rebuilds the installation directory from Backup.DAT; "CurrentStatus" is
  // 0 while it runs and 1 after, "CurrentVersion" becomes the backup's. The
  // whole backup is checked first (CheckBackup): a restore that cannot
  // succeed changes nothing.
  void RestoreFromBackup();
  // What a restore needs before it changes anything: a backup version, the
  // file, and a backup that passes the whole check. Raises what
  // RestoreFromBackup would raise.
  // Returns what the check found (the size of the content to restore). A
  // file found whole by the last check and unchanged since (same inode,
  // size and times) is not read again.
  TBackupSummary CheckBackup() const;
  // Refuses, before anything changes, a restore that could not finish: an
  // installation folder that cannot be written (a read-only file system,
  // missing rights) or too little space for the backup's content once the
  // folder is emptied.
  void CheckRestoreCanFinish(const TBackupSummary& summary) const;
  // Checks, joins, decompresses and extracts the package into the unpack
  // directory.
  void UnpackUpdate();
  // Starts the unpacked UpdateInstaller.exe without waiting for it.
  void RunInstaller();

  // The backup file: BackupDirectory + "Backup.DAT".
  std::string BackupFileName() const;

  // Whether the last RestoreFromBackup got as far as changing the
  // installation directory (a failure before that left it as it was).
  bool RestoreChangedInstallation = false;

  // How programs are started (the system's launcher unless a test sets one).
  ProgramLauncher* Launcher = nullptr;

  TProgressEvent OnProgress;

  std::string CurrentVersion;
  int32_t CurrentStatus = 0;
  std::string BackupVersion;
  std::string CurrentVersionDirectory;
  std::string BackupDirectory;
  std::string UpdateDirectory;
  std::string ImdFileName;
  std::string UnpackDirectory;

  // Exist only while an update package is being unpacked.
  std::unique_ptr<TZVMemoryStream> JointStream;
  std::unique_ptr<TZVMemoryStream> UnpackedStream;

 private:
  // The backup file the last CheckBackup found whole, as the file system
  // identified it then: a restore right after the check before it does not
  // read the whole file again unless the file changed in between.
  struct TCheckedFile {
    std::string path;
    uint64_t device = 0, inode = 0;
    int64_t size = 0, mtimeNs = 0, ctimeNs = 0;
    bool operator==(const TCheckedFile&) const = default;
  };
  mutable std::optional<TCheckedFile> checkedFile_;
  mutable TBackupSummary checkedSummary_;
};

}  // namespace ztv
