// File-system routines of the version backup: moving a file out of the way
// when it cannot be deleted, and emptying a directory tree.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

// True when `fileName` no longer stands in the way: it did not exist, was
// deleted, or was renamed to "_delete_meN.$$$" in its directory. False only
// for the running program's own file when it can be neither deleted nor
// renamed; any other failure raises "Не удается удалить или переименовать
// файл [%s]". A symbolic link is removed itself, never followed.
bool DeleteOrRename(const std::string& fileName);

// Deletes everything inside `dir` (and `dir` itself with removeDir); true
// when everything went. A missing directory is true at once. Symbolic links
// are removed, never followed.
bool ClearDirectory(const std::string& dir, bool removeDir);

// The space the entries below `dir` hold on its file system, in bytes (links
// are not followed, other file systems mounted below are not counted).
int64_t DiskUsage(const std::string& dir);

// The name under which a file is moved aside: dir + "_delete_meN.$$$".
std::string DeleteMeName(const std::string& dir, int n);

}  // namespace ztv
