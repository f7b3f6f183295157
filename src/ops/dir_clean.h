// Deleting what lies below a directory, as the update cache clearing does.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

namespace DeleteOptions {
inline constexpr uint8_t Recurse = 1;          // descend into sub-directories
inline constexpr uint8_t ContinueOnError = 2;  // go on after a failed deletion
inline constexpr uint8_t ResetAttributes = 8;  // make read-only entries writable first
inline constexpr uint8_t RemoveSubDirs = 16;   // remove each sub-directory after emptying it
}  // namespace DeleteOptions

inline constexpr uint32_t kDeleteFailedBit = 0x80000000u;

// Deletes below `dir` (never `dir` itself) as `options` say. Returns the
// number of deleted files plus removed directories, with bit 31 set when a
// deletion failed; `firstFailure`, when given, receives the path of the
// first entry that could not go (a directory that could not be read counts
// as one). Symbolic links are deleted as files, never followed.
uint32_t DeleteDirContents(const std::string& dir, uint8_t options, std::string* firstFailure = nullptr);

// True when the path exists and is a directory.
bool IsDirectory(const std::string& path);

}  // namespace ztv
