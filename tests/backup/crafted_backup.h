// Backups written by hand for the restore and check tests: any index, any
// members, so that damaged and hostile archives can be made at will.
#pragma once

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace ztv::test {

// One index record: ID, Name, IsDirectory.
using IndexRecord = std::tuple<int, std::string, bool>;
// One tar member: its name, its content, its typeflag and link target.
struct TarMember {
  TarMember(std::string n, std::string c, char t = '0', std::string l = {})
      : name(std::move(n)), content(std::move(c)), typeflag(t), linkName(std::move(l)) {}
  std::string name;
  std::string content;
  char typeflag;
  std::string linkName;
};

// Writes a tar holding `members` and, with `withIndex`, an index packet of
// `records` as its last member; with `withAttributes` the index has the
// fields of a backup that keeps modes and owners (left empty).
void WriteCraftedBackup(const std::string& file, const std::vector<IndexRecord>& records,
                        const std::vector<TarMember>& members, bool withIndex = true, bool withAttributes = false);

}  // namespace ztv::test
