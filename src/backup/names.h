// Checks of names that come from stored indexes before they become paths.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

// Decimal text to integer as the index IDs are written; anything else raises
// "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& text);

// One path component from a stored image: not empty, not "." or "..", no
// separator, no NUL. Raises naming it otherwise.
void CheckStoredComponentName(const std::string& name);

// The existing entry of `dir` whose name equals `name` ignoring letter case
// (the exact name first); `name` itself when there is none.
std::string MatchEntryCase(const std::string& dir, const std::string& name);

// Replaces a symbolic link at `path` by nothing, so that what is written
// there next never lands outside the tree.
void RemoveIfSymlink(const std::string& path);

}  // namespace ztv
