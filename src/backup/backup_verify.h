// The check of a whole version backup before anything is restored from it.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

// What the check found of a tar backup (zeros for the compound form).
struct TBackupSummary {
  int64_t dataBytes = 0;  // file content the restore writes
  int64_t entries = 0;    // index records
};

// Checks Backup.DAT in either form without changing anything. Tar form: the
// index "Index.trs" is there and readable and passes CheckBackupIndex (valid
// and unique names, each inside a directory of the index), every member
// header has a good checksum, every member's data lies whole inside the file,
// every member is an entry of the index that is not a directory and of a
// kind a restore writes (CheckBackupMember), and every file whose checksum
// the index records has its member; then every such file's content is read
// and compared with that CRC-32 (a backup of an older version, without
// checksums, is checked by its structure only). Compound form: the index is
// readable, every element is listed and has a valid name, and every stream
// can be read.
//
// A damaged backup raises "Резервная копия [FILE] повреждена: CAUSE"; a file
// that cannot be opened raises the file layer's own message.
TBackupSummary VerifyBackup(const std::string& fileName);

}  // namespace ztv
