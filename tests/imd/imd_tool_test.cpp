// `ztvtool imd dump`, run as a program the way scripts run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/stream.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "imd_test_util.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

struct Result {
  int exitCode;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Result RunTool(const test::TempDir& dir, const std::vector<std::string>& args) {
  std::string cmd = Quote(ZTVTOOL_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " >" + Quote(dir / "stdout") + " 2>" + Quote(dir / "stderr");
  int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(dir / "stdout"), test::ReadFile(dir / "stderr")};
}

TEST(ImdTool, DumpsAPacketAtAnOffset) {
  test::TempDir dir;
  TStaticSet set;
  test::DefineIndex(set);
  set.Open();
  test::AppendIndex(set, 1, "bin", true);
  TZVMemoryStream s;
  s.WriteU32(0);
  PackMappedData(&set, &s, {}, 10);
  s.SaveToFile(dir / "Files.DAT");

  Result r = RunTool(dir, {"imd", "dump", dir / "Files.DAT", "--offset", "4", "--json"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "{\"layout\":\"TRN\",\"version\":\"0\",\"fields\":[{\"name\":\"ID\",\"type\":3,\"size\":4,\"flags\":0},"
            "{\"name\":\"Name\",\"type\":1,\"size\":256,\"flags\":0},"
            "{\"name\":\"IsDirectory\",\"type\":5,\"size\":2,\"flags\":0}],\"records\":[[1,\"bin\",true]]}\n");

  r = RunTool(dir, {"imd", "dump", dir / "Files.DAT", "--offset", "4"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("record\t1\tbin\ttrue\n"), std::string::npos);

  // A failure: the message as the only line on stderr, nothing on stdout.
  r = RunTool(dir, {"imd", "dump", dir / "Files.DAT", "--json"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Некорректный формат пакета IMD\n");
  r = RunTool(dir, {"imd", "dump", dir / "Files.DAT", "--offset", "1000"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "В потоке не достаточно места для заголовка\n");
}

}  // namespace
}  // namespace ztv
