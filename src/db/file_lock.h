// Whether a database file is held by a database engine or another program.
#pragma once

#include <string>

namespace ztv {

// True when the file exists and another holder keeps it from being taken
// for exclusive use: an exclusive whole-file lock on it is refused, or it
// cannot be opened for anything but a lack of permission (a folder, for
// one). The lock is the kind the Firebird engine itself takes on a database
// it has open (flock: exclusive for the SuperServer, shared for the Classic
// variants), so a file that a server has open, or that any other program has
// locked the same way, counts as held. A file this process may not write is
// tried for reading; one it may not read at all, and a missing file, are not
// taken for locked.
bool IsFileLocked(const std::string& path);

}  // namespace ztv
