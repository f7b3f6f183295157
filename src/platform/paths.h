// Paths on the file system. Directory settings and derived paths are native
// (on Linux absolute POSIX paths); relative names inside stored formats keep
// "\" separators and are converted here at the file-system boundary.
#pragma once

#include <string>

namespace ztv {

// The native separator ('/' on Linux).
extern const char kPathSeparator;

// dir + separator + name (plain concatenation with one separator, as the
// settings derive their paths; an empty dir gives separator + name).
std::string JoinPath(const std::string& dir, const std::string& name);

// Drops one trailing separator (a Windows "\" is accepted too).
std::string DropTrailingSeparator(const std::string& path);

// Directory part of a path without its trailing separator ("/a/b/c" -> "/a/b").
std::string ExtractFileDir(const std::string& path);
// Name part ("/a/b/c.txt" -> "c.txt").
std::string ExtractFileName(const std::string& path);

// Converts a stored relative name ("dir\sub\file") to the native form.
std::string StoredToNative(const std::string& stored);
// Converts a native relative name to the stored form with "\" separators.
std::string NativeToStored(const std::string& native);

// Finds an existing path whose components match `path` ignoring letter case
// (Latin and Cyrillic). Returns `path` itself when it exists or when no
// match is found.
std::string ResolvePathCase(const std::string& path);

// The full path of the running program's executable.
std::string RunningProgramPath();

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Flushes a directory's entries to the disk (after a rename into it).
void SyncDirectory(const std::string& dir);

}  // namespace ztv
