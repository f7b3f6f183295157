// The check of a whole version backup before anything is restored from it.
#pragma once

#include <string>

namespace ztv {

// Checks Backup.DAT in either form without changing anything. Tar form: the
// index "Index.trs" is there and readable and passes CheckBackupIndex (valid
// and unique names, each inside a directory of the index), every member
// header has a good checksum, every member's data lies whole inside the file,
// and every member is an entry of the index that is not a directory and of a
// kind a restore writes (CheckBackupMember). Compound form: the
// index is readable, every element is listed and has a valid name, and every
// stream can be read. Member data is not read, only the headers and the
// index, so the check costs little more than a directory listing.
//
// A damaged backup raises "Резервная копия [FILE] повреждена: CAUSE"; a file
// that cannot be opened raises the file layer's own message.
void VerifyBackup(const std::string& fileName);

}  // namespace ztv
