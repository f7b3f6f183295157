#include "engine/updater.h"

#include "engine/ztv_procs.h"

namespace ztv {

void TUpdater::Refresh() {
  CurrentVersion = GetCurrentVersion();
  CurrentStatus = GetCurrentStatus();
  BackupVersion = GetBackupVersion();
  CurrentVersionDirectory = GetCurrentVersionDirectory();
  BackupDirectory = GetBackupDirectory();
  UpdateDirectory = GetUpdateDirectory();
  ImdFileName = GetImdFileName();
  UnpackDirectory = GetUnpackDirectory();
}

}  // namespace ztv
