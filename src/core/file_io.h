// The file layer through which the program writes and replaces files: every
// write, sync and rename of a file it creates goes through these calls, so
// that a test can make the Nth of them fail as a full disk, a failing device
// or a read-only file system would. `TReplacement` writes a file beside the
// one it replaces and puts it in place only when it is complete and synced.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace ztv {

enum class FileOp : uint8_t { Write = 0, Sync = 1, Rename = 2 };

// Test seam: the `nth` operation of kind `op` from now on (1 = the next one)
// fails with `error` (ENOSPC, EIO, EROFS, ...); counting is per kind, for the
// whole process. ClearFileFaults turns every fault off and resets the counts.
void InjectFileFault(FileOp op, int64_t nth, int error);
void ClearFileFaults();
// How many operations of kind `op` were made since the last ClearFileFaults.
int64_t FileOpCount(FileOp op);

// write(2), fsync(2) and rename(2) through the seam (EINTR is retried).
ssize_t FileWrite(int fd, const void* data, size_t n);
int FileSync(int fd);
int FileRename(const std::string& from, const std::string& to);

// The reason of a failed file operation in Russian, with the system's own
// text: "недостаточно места на диске (No space left on device)".
std::string FileErrorText(int error);
// "Ошибка записи в файл [NAME]: REASON".
std::string WriteErrorMessage(const std::string& fileName, int error);

// Writes all `n` bytes; a failure raises WriteErrorMessage.
void WriteAll(int fd, const void* data, size_t n, const std::string& fileName);

// A file written beside `target` as target + ".new" and renamed over it only
// by Commit, after it has been synced; the folder is synced after the
// rename. Until then the target is untouched: a failure (the object is
// destroyed without Commit) removes the partial file, and a kill leaves it
// for the next writer of the same target, which replaces it. The new file
// gets the owner (when allowed) and mode of the file it replaces, else
// 0644 less the umask.
class TReplacement {
 public:
  explicit TReplacement(std::string target);
  ~TReplacement();
  TReplacement(const TReplacement&) = delete;
  TReplacement& operator=(const TReplacement&) = delete;

  const std::string& Target() const { return target_; }
  // The name of the file to write.
  const std::string& PartialName() const { return partial_; }
  // Syncs the partial file and gives it the target's attributes (once), so
  // that several files can be made ready before the first is renamed.
  void Prepare();
  // Prepares the partial file when not done yet, renames it over the target
  // and syncs the folder. Raises naming the file and the reason; the target
  // is then as it was (or, after the rename, the new file).
  void Commit();
  bool Committed() const { return committed_; }

 private:
  std::string target_;
  std::string partial_;
  bool prepared_ = false;
  bool committed_ = false;
};

// Removes the temporary files ".NAME.XXXXXX" (mkstemp's pattern for the file
// `path` = DIR/NAME) that a write killed before its rename left beside
// `path`. Only for a caller that holds the lock every writer of `path`
// takes, so that no other write can be under way.
void RemoveStaleTemporaries(const std::string& path);

// The partial name TReplacement uses for `target`.
std::string PartialFileName(const std::string& target);

}  // namespace ztv
