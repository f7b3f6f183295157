// The version backup: a directory tree written into a tar archive, one member
// per file named by the file's index ID, plus the index "Index.trs" (an IMD
// packet with the fields ID, Name, IsDirectory); and the restore that makes
// the directory equal to such a backup again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "formats/imd/static_set.h"

namespace ztv {

using TBackupProgress = std::function<void(int32_t percent, const std::string& text)>;

inline constexpr const char* kIndexMemberName = "Index.trs";
// The longest relative path the index can hold.
inline constexpr int kIndexNameSize = 255;

// A new, open, empty index dataset: ID (integer), Name (string), IsDirectory.
std::unique_ptr<TStaticSet> CreateIndexSet(int nameSize = kIndexNameSize);

// Checks a relative name from a stored index ("dir\sub\file"): it must not
// be empty, absolute, carry a drive letter, or contain an empty, "." or ".."
// component. Raises a clear error naming it otherwise.
void CheckStoredRelativeName(const std::string& name);

class TTarBackup {
 public:
  TTarBackup(std::string directory, std::string archiveFileName);
  ~TTarBackup();

  // Writes the archive from the directory.
  void Backup();
  // Makes the directory equal to the archive.
  void Restore();
  // Appends the entries of Directory\subDir to `dataset`, depth first, and
  // returns the next free ID.
  int ScanDirectory(TStaticSet& dataset, const std::string& subDir, int nextId);

  std::string Directory;
  std::string ArchiveFileName;
  std::unique_ptr<TStaticSet> BackupIndex;
  std::unique_ptr<TStaticSet> DiskList;
  TBackupProgress OnProgress;

 private:
  void Progress(int32_t percent, const std::string& text);
  void RemoveFromDiskList(const std::string& name);

  // The kind of each entry (a dirent type) the last scan saw, by ID.
  std::vector<unsigned char> scanKinds_;
};

}  // namespace ztv
