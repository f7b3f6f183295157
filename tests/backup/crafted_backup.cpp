#include "crafted_backup.h"

#include "backup/tar_backup.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"

namespace ztv::test {

void WriteCraftedBackup(const std::string& file, const std::vector<IndexRecord>& records,
                        const std::vector<TarMember>& members, bool withIndex, bool withAttributes) {
  auto index = CreateIndexSet(kIndexNameSize, withAttributes);
  for (const auto& [id, name, isDir] : records) {
    index->Append();
    index->FieldByName("ID").SetAsInteger(id);
    index->FieldByName("Name").SetAsString(name);
    index->FieldByName("IsDirectory").SetAsBoolean(isDir);
    index->Post();
  }
  TTarWriter w(file);
  for (const TarMember& m : members) {
    if (m.typeflag == '0') {
      TZVMemoryStream s(m.content);
      w.AddStream(s, m.name, kUnixEpochDate);
      continue;
    }
    TTarDirRec r;
    r.Name = m.name;
    r.FileType = LinkFlagToFileType(m.typeflag);
    r.LinkName = m.linkName;
    r.Permissions = 0644;
    r.ModTime = kUnixEpochDate;
    r.MagicText = "ustar";
    w.WriteTarHeader(r);
  }
  if (withIndex) {
    TZVMemoryStream packet;
    index->First();
    SaveDataSetToStream(*index, packet);
    packet.SetPosition(0);
    w.AddStream(packet, kIndexMemberName, kUnixEpochDate);
  }
  w.Close();
}

}  // namespace ztv::test
