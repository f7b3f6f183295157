#include "backup/backup_verify.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "backup/names.h"
#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/errors.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "formats/tar/tar.h"

namespace ztv {
namespace {

constexpr int64_t kTarBlock = 512;

struct Member {
  std::string name;
  char typeflag;
};

void VerifyTarBackup(const std::string& fileName) {
  TTarArchive archive(fileName);
  const int64_t fileSize = archive.GetFileSize();
  std::vector<Member> members;
  bool indexFound = false;
  std::unordered_map<int32_t, bool> ids;
  TTarDirRec r;
  // FindNext passes over member data by seeking; only the headers and the
  // index are read.
  while (archive.FindNext(r)) {
    if (!r.ChecksumValid)
      throw Exception(Format("неверная контрольная сумма заголовка элемента [%s] по смещению %d", r.Name,
                             static_cast<long long>(r.HeaderPos)));
    const int64_t dataEnd = r.HeaderPos + kTarBlock + archive.PendingBytes();
    if (r.Size < 0 || dataEnd > fileSize)
      throw Exception(Format("элемент [%s] неполон: ожидалось %d байт данных, в файле %d", r.Name,
                             static_cast<long long>(archive.PendingBytes()),
                             static_cast<long long>(std::max<int64_t>(0, fileSize - r.HeaderPos - kTarBlock))));
    if (SameText(r.Name, kIndexMemberName)) {
      if (indexFound) continue;  // the restore reads the first one
      indexFound = true;
      TZVMemoryStream indexStream;
      archive.ReadFileTo(indexStream);
      indexStream.SetPosition(0);
      TStaticSet index;
      LoadDataSetFromStream(indexStream, index, UnpackOptions::RecreateFields);
      ids = CheckBackupIndex(index);
      continue;
    }
    members.push_back({r.Name, FileTypeToChar(r.FileType)});
  }
  if (!indexFound) throw ETyped("Не найден файл индекса в резервной копии.");
  for (const Member& m : members) CheckBackupMember(m.name, m.typeflag, ids);
}

}  // namespace

void VerifyBackup(const std::string& fileName) {
  const bool storage = IsStorageFile(fileName);
  if (!storage) {
    // A file that cannot be opened is not a damaged backup: its own message
    // tells what is wrong.
    TTarArchive probe(fileName);
  }
  try {
    if (storage)
      CheckStorageImage(fileName);
    else
      VerifyTarBackup(fileName);
  } catch (const Exception& e) {
    throw Exception(Format("Резервная копия [%s] повреждена: %s", fileName, e.what()));
  }
}

}  // namespace ztv
