#include "crafted_backup.h"

#include "backup/tar_backup.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"

namespace ztv::test {

void WriteCraftedBackup(const std::string& file, const std::vector<IndexRecord>& records,
                        const std::vector<TarMember>& members, bool withIndex) {
  auto index = CreateIndexSet();
  for (const auto& [id, name, isDir] : records) {
    index->Append();
    index->FieldByName("ID").SetAsInteger(id);
    index->FieldByName("Name").SetAsString(name);
    index->FieldByName("IsDirectory").SetAsBoolean(isDir);
    index->Post();
  }
  TTarWriter w(file);
  for (const auto& [name, data] : members) {
    TZVMemoryStream s(data);
    w.AddStream(s, name, kUnixEpochDate);
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
