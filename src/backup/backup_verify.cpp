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

TBackupSummary VerifyTarBackup(const std::string& fileName) {
  TTarArchive archive(fileName);
  const int64_t fileSize = archive.GetFileSize();
  std::vector<Member> members;
  bool indexFound = false;
  TIndexEntries entries;
  TBackupSummary summary;
  TTarDirRec r;
  // FindNext passes over member data by seeking: the first walk reads the
  // headers and the index only.
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
      entries = CheckBackupIndex(index);
      continue;
    }
    members.push_back({r.Name, FileTypeToChar(r.FileType)});
    summary.dataBytes += archive.PendingBytes();
  }
  if (!indexFound) throw ETyped("Не найден файл индекса в резервной копии.");
  bool anyCrc = false;
  for (const Member& m : members) anyCrc = CheckBackupMember(m.name, m.typeflag, entries).hasCrc || anyCrc;
  CheckBackupMembersComplete(entries);
  summary.entries = static_cast<int64_t>(entries.size());

  // The second walk reads every file's content and checks it against the
  // checksum the index records (a backup of an older version has none).
  if (anyCrc) {
    archive.Rewind();
    while (archive.FindNext(r)) {
      if (SameText(r.Name, kIndexMemberName)) continue;
      const TIndexEntry& e = entries.at(StrToInt(r.Name));
      if (!e.hasCrc) continue;
      const uint32_t crc = archive.ReadFileCrc();
      if (crc != e.crc)
        throw Exception(Format("содержимое файла [%s] (элемент %s) не совпадает с контрольной суммой индекса", e.name,
                               r.Name));
    }
  }
  return summary;
}

}  // namespace

TBackupSummary VerifyBackup(const std::string& fileName) {
  const bool storage = IsStorageFile(fileName);
  if (!storage) {
    // A file that cannot be opened is not a damaged backup: its own message
    // tells what is wrong.
    TTarArchive probe(fileName);
  }
  try {
    if (!storage) return VerifyTarBackup(fileName);
    CheckStorageImage(fileName);
    return {};
  } catch (const Exception& e) {
    throw Exception(Format("Резервная копия [%s] повреждена: %s", fileName, e.what()));
  }
}

}  // namespace ztv
