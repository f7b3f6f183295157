// The version backup: a directory tree written into a tar archive, one member
// per file named by the file's index ID, plus the index "Index.trs" (an IMD
// packet with the fields ID, Name, IsDirectory); and the restore that makes
// the directory equal to such a backup again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/imd/static_set.h"

namespace ztv {

using TBackupProgress = std::function<void(int32_t percent, const std::string& text)>;

inline constexpr const char* kIndexMemberName = "Index.trs";
// The longest relative path the index can hold.
inline constexpr int kIndexNameSize = 255;

// A new, open, empty index dataset: ID (integer), Name (string),
// IsDirectory; with `withAttributes` also Mode, OwnerId and GroupId
// (integers), which a backup fills for its directories (files and links
// carry theirs in their tar headers) and whose presence tells a restore that
// the backup keeps permission bits and owners.
std::unique_ptr<TStaticSet> CreateIndexSet(int nameSize = kIndexNameSize, bool withAttributes = false);

inline constexpr const char* kIndexModeField = "Mode";
inline constexpr const char* kIndexOwnerField = "OwnerId";
inline constexpr const char* kIndexGroupField = "GroupId";

// Checks a relative name from a stored index ("dir\sub\file"): it must not
// be empty, absolute, carry a drive letter, or contain an empty, "." or ".."
// component. Raises a clear error naming it otherwise.
void CheckStoredRelativeName(const std::string& name);

// Checks a whole index as a restore will use it, before anything changes:
// the fields ID, Name and IsDirectory are there, every name is valid
// (CheckStoredRelativeName), no ID or name comes twice, and the folder of
// every name is a directory record of the index itself, so that no path
// runs through a symbolic link or through a folder the restore does not
// make. Returns, for each ID, whether it is a directory. Raises naming the
// entry otherwise.
std::unordered_map<int32_t, bool> CheckBackupIndex(TStaticSet& index);

// Checks one member of a tar backup against its index (the result of
// CheckBackupIndex): its name is an ID of the index, that entry is not a
// directory, and the member is of a kind a restore can write (a file, a
// symbolic link, a FIFO). The member "Index.trs" is not passed here.
void CheckBackupMember(const std::string& memberName, char typeflag, const std::unordered_map<int32_t, bool>& ids);

// Writes the backup of `directory` into `fileName` without ever leaving less
// than was there: the archive is written beside it as fileName + ".new" (a
// leftover of an interrupted run is written over), synced, renamed over
// fileName, and the folder synced. On failure the partial file is removed
// and fileName is as it was. `replaced`, when given, tells whether the
// rename happened (a failure after it leaves the new backup in place).
void WriteBackupFile(const std::string& directory, const std::string& fileName, const TBackupProgress& progress,
                     bool* replaced = nullptr);

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
  // A backup's scan fails on a folder it cannot read; a restore's scan of
  // the target passes over it.
  bool strictScan_ = false;
};

}  // namespace ztv
