// Whether a program runs, and how many instances of it.
#pragma once

#include <string>

namespace ztv {

// The number of running processes whose executable matches `name`. A bare
// name (no directory part) is compared, ignoring letter case, with each
// process's file name without extension: the name it was started under and
// its image's name. A path is compared with each process's full executable
// path, both normalised. Raises "I don't no create" when the process list
// cannot be read.
int ProcessCount(const std::string& name);

// ProcessCount(name) > 0.
bool IsProcessRunning(const std::string& name);

// Whether the process file `exe` matches `name` in the way ProcessCount
// compares them. An error while normalising counts as no match.
bool SameProcessFile(const std::string& exe, const std::string& name);

// Expands environment variables (%NAME%, $NAME, ${NAME}; unknown ones are
// left as they are) and gives the path's canonical form: absolute, symbolic
// links resolved as far as the path exists, "." and ".." removed. Network
// paths ("\\server\share") are left after the expansion.
std::string NormalizePath(const std::string& path);

}  // namespace ztv
