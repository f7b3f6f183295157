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
// the backup keeps permission bits and owners, and CRC (integer), the CRC-32
// of each regular file's content.
std::unique_ptr<TStaticSet> CreateIndexSet(int nameSize = kIndexNameSize, bool withAttributes = false);

inline constexpr const char* kIndexModeField = "Mode";
inline constexpr const char* kIndexOwnerField = "OwnerId";
inline constexpr const char* kIndexGroupField = "GroupId";
inline constexpr const char* kIndexCrcField = "CRC";
// The dataset parameter of the index that names the backed-up version.
inline constexpr const char* kIndexVersionParam = "BackupVersion";

// Checks a relative name from a stored index ("dir\sub\file"): it must not
// be empty, absolute, carry a drive letter, or contain an empty, "." or ".."
// component. Raises a clear error naming it otherwise.
void CheckStoredRelativeName(const std::string& name);

// What the check of an index knows of one entry.
struct TIndexEntry {
  std::string name;
  bool isDirectory = false;
  bool hasCrc = false;  // a regular file whose content checksum the index records
  uint32_t crc = 0;
  bool hasMember = false;  // set by CheckBackupMember
};
using TIndexEntries = std::unordered_map<int32_t, TIndexEntry>;

// Checks a whole index as a restore will use it, before anything changes:
// the fields ID, Name and IsDirectory are there, every name is valid
// (CheckStoredRelativeName), no ID or name comes twice, and the folder of
// every name is a directory record of the index itself, so that no path
// runs through a symbolic link or through a folder the restore does not
// make. Raises naming the entry otherwise.
TIndexEntries CheckBackupIndex(TStaticSet& index);

// Checks one member of a tar backup against its index: its name is an ID of
// the index, that entry is not a directory and has no member yet, and the
// member is of a kind a restore can write (a file, a symbolic link, a FIFO);
// a file whose checksum the index records must be a file member. The member
// "Index.trs" is not passed here. Returns the entry, marked as having its
// member.
TIndexEntry& CheckBackupMember(const std::string& memberName, char typeflag, TIndexEntries& entries);

// After all members were checked: every file whose checksum the index
// records had its member.
void CheckBackupMembersComplete(const TIndexEntries& entries);

class TTarArchive;

// Walks a tar backup's headers from the start: loads the first member
// "Index.trs" into `index` (fields recreated from the packet, and the
// parameters with UnpackOptions::WithParams in `options`) and returns the
// name and typeflag of every other member. Raises "Не найден файл индекса в
// резервной копии." when there is none.
std::vector<std::pair<std::string, char>> ReadTarBackupIndex(TTarArchive& archive, TStaticSet& index,
                                                             uint32_t options);

// The version a backup names in its index (empty for a backup that names
// none, or the compound form). Reads the index only; raises when the file
// cannot be read or holds no index.
std::string ReadBackupVersion(const std::string& fileName);

// Writes the backup of `directory` into `fileName` without ever leaving less
// than was there: the archive is written beside it as fileName + ".new" (a
// leftover of an interrupted run is written over), synced, renamed over
// fileName, and the folder synced. On failure the partial file is removed
// and fileName is as it was. `replaced`, when given, tells whether the
// rename happened (a failure after it leaves the new backup in place).
// `version` is kept in the index as the version the backup holds.
void WriteBackupFile(const std::string& directory, const std::string& fileName, const TBackupProgress& progress,
                     bool* replaced = nullptr, const std::string& version = "");

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
  // The version of the installation being backed up, kept in the index.
  std::string Version;
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
