#include "engine/updater.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>

#include "backup/backup_verify.h"
#include "backup/file_ops.h"
#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/text.h"
#include "engine/update_package.h"
#include "engine/ztv_procs.h"
#include "platform/launcher.h"
#include "platform/paths.h"

namespace ztv {

inline constexpr const char* kBackupFileName = "Backup.DAT";

void TUpdater::Refresh() {
  CurrentVersion = GetCurrentVersion();
  CurrentStatus = GetCurrentStatus();
  BackupVersion = GetBackupVersion();
  CurrentVersionDirectory = GetCurrentVersionDirectory();
  BackupDirectory = GetBackupDirectory();
  UpdateDirectory = GetUpdateDirectory();
  ImdFileName = GetImdFileName();
  UnpackDirectory = GetUnpackDirectory();
  RecoverBackupVersion();
}

void TUpdater::RecoverBackupVersion() {
  // A backup that was put in place by a run killed before it wrote the
  // settings names its version itself.
  if (!Trim(BackupVersion).empty() || BackupDirectory.empty()) return;
  const std::string file = BackupFileName();
  if (!FileExists(file) || IsStorageFile(file)) return;
  std::string version;
  try {
    version = ReadBackupVersion(file);
  } catch (const Exception&) {
    return;  // not a backup that can tell; the check of a restore will say more
  }
  if (Trim(version).empty()) return;
  BackupVersion = version;
  try {
    SetBackupVersion(version);
  } catch (const Exception&) {
    // Settings this user may not write: the version is known for this run.
  }
}

std::string TUpdater::BackupFileName() const { return JoinPath(BackupDirectory, kBackupFileName); }

void TUpdater::MakeBackup() {
  if (CurrentStatus != 1) throw Exception("Текущая версия ЗТВ является нерабочей. Копирование прервано.");
  // A missing installation directory would give an empty backup in place of
  // the good one.
  if (!DirectoryExists(CurrentVersionDirectory))
    throw Exception(std::string("Ошибка создания резервной копии: ") +
                    Format("Директория %s не существует", CurrentVersionDirectory));
  // The version of the backup on the disk now, for as long as it stays there.
  const std::string previousVersion = BackupVersion;
  SetBackupVersion("");
  BackupVersion.clear();

  bool replaced = false;
  try {
    WriteBackupFile(CurrentVersionDirectory, BackupFileName(), OnProgress, &replaced, CurrentVersion);
  } catch (const Exception& e) {
    // Whichever backup is on the disk now is named again, so that a good
    // one can still be restored.
    const std::string onDisk = replaced ? CurrentVersion : previousVersion;
    try {
      SetBackupVersion(onDisk);
      BackupVersion = onDisk;
    } catch (const Exception&) {
      // The settings cannot be written: "BackupVersion" stays empty, which
      // offers no restore rather than a wrong one.
    }
    throw Exception(std::string("Ошибка создания резервной копии: ") + e.what());
  }

  SetBackupVersion(CurrentVersion);
  BackupVersion = CurrentVersion;
}

TBackupSummary TUpdater::CheckBackup() const {
  const std::string backupFile = BackupFileName();
  if (Trim(BackupVersion).empty() || !FileExists(backupFile)) throw Exception("Резервная копия отсутствует");
  std::optional<TCheckedFile> identity;
  struct stat st;
  if (::stat(backupFile.c_str(), &st) == 0) {
    identity = TCheckedFile{backupFile,
                            static_cast<uint64_t>(st.st_dev),
                            static_cast<uint64_t>(st.st_ino),
                            static_cast<int64_t>(st.st_size),
                            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                            static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
    if (checkedFile_ && *checkedFile_ == *identity) return checkedSummary_;
  }
  checkedFile_.reset();
  try {
    checkedSummary_ = VerifyBackup(backupFile);
  } catch (const Exception& e) {
    throw Exception(std::string("Ошибка восстановления из резервной копии: ") + e.what());
  }
  checkedFile_ = identity;
  return checkedSummary_;
}

void TUpdater::CheckRestoreCanFinish(const TBackupSummary& summary) const {
  const std::string dir = CurrentVersionDirectory;
  auto refuse = [](const std::string& why) {
    throw Exception(std::string("Ошибка восстановления из резервной копии: ") + why);
  };
  struct statvfs fs;
  if (::statvfs(dir.c_str(), &fs) != 0)
    refuse(Format("каталог установки [%s] недоступен: %s", dir, FileErrorText(errno)));
  if ((fs.f_flag & ST_RDONLY) != 0) refuse(Format("каталог установки [%s]: %s", dir, FileErrorText(EROFS)));
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    refuse(Format("каталог установки [%s]: %s", dir, FileErrorText(errno)));
  // The restore first empties the folder, so the space its files hold now
  // counts as free; what the backup holds must fit into that and the free
  // space.
  const int64_t free = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
  const int64_t needed = summary.dataBytes;
  if (needed <= free) return;
  const int64_t held = DiskUsage(dir);
  if (needed > free + held)
    refuse(Format("недостаточно места на диске для каталога [%s]: нужно %d МБ, доступно %d МБ", dir,
                  static_cast<long long>((needed + (1 << 20) - 1) >> 20),
                  static_cast<long long>((free + held) >> 20)));
}

void TUpdater::RestoreFromBackup() {
  RestoreChangedInstallation = false;
  // Nothing is changed before the whole backup has been checked and the
  // installation's folder is known to take it.
  const TBackupSummary summary = CheckBackup();
  CheckRestoreCanFinish(summary);
  const std::string backupFile = BackupFileName();

  SetCurrentStatus(0);
  CurrentStatus = 0;
  RestoreChangedInstallation = true;
  try {
    ClearDirectory(CurrentVersionDirectory, false);
    if (IsStorageFile(backupFile)) {
      RestoreDirFromStorage(backupFile, CurrentVersionDirectory, true);
    } else {
      TTarBackup backup(CurrentVersionDirectory, backupFile);
      backup.OnProgress = OnProgress;
      backup.Restore();
    }
  } catch (const Exception& e) {
    throw Exception(std::string("Ошибка восстановления из резервной копии: ") + e.what());
  }

  SetCurrentVersion(BackupVersion);
  CurrentVersion = BackupVersion;
  SetCurrentStatus(1);
  CurrentStatus = 1;
}

void TUpdater::UnpackUpdate() {
  if (CurrentStatus != 1) throw Exception("Текущая версия неработоспособна и не может быть обновлена");
  UnpackPackage(UpdateDirectory, UnpackDirectory, CurrentVersion);
}

void TUpdater::RunInstaller() {
  const std::string path = JoinPath(UnpackDirectory, kInstallerName);
  if (!FileExists(path)) throw Exception(Format("Файл установки обновления [%s] не найден.", path));
  // Unpacked files carry no permissions of their own.
  EnsureExecutable(path);
  ProgramLauncher& launcher = Launcher ? *Launcher : SystemLauncher();
  const LaunchResult result = launcher.Exec(path, kShowNormal);
  if (result.code > 31) return;
  const char* reason;
  switch (result.code) {
    case 0: reason = "недостаточно системных ресурсов"; break;
    case 2: reason = "файл не найден"; break;
    case 3: reason = "путь к файлу не найден"; break;
    case 11: reason = "неверный формат файла"; break;
    default: reason = "неизвестная ошибка"; break;
  }
  throw Exception(Format("Ошибка: %s [%s]", reason, path));
}

}  // namespace ztv
