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
// One tar member: its name and its content.
using TarMember = std::pair<std::string, std::string>;

// Writes a tar holding `members` and, with `withIndex`, an index packet of
// `records` as its last member.
void WriteCraftedBackup(const std::string& file, const std::vector<IndexRecord>& records,
                        const std::vector<TarMember>& members, bool withIndex = true);

}  // namespace ztv::test
