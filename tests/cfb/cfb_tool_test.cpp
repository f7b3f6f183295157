// `ztvtool cfb list`: one line per element in the directory's order, the
// root left out; a damaged file gives its message as the only stderr line
// and exit code 1.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "formats/cfb/compound_writer.h"
#include "support/temp_dir.h"

namespace ztv::cfb::test {
namespace {

using ztv::test::ReadFile;
using ztv::test::TempDir;

struct Result {
  int code = -1;
  std::string out, err;
};

Result List(const TempDir& tmp, const std::string& file) {
  std::string cmd = std::string(ZTVTOOL_PATH) + " cfb list '" + file + "' >'" + (tmp / "out") + "' 2>'" +
                    (tmp / "err") + "'";
  int rc = std::system(cmd.c_str());
  Result r;
  r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFile(tmp / "out");
  r.err = ReadFile(tmp / "err");
  return r;
}

TEST(CfbTool, ListsElementsInDirectoryOrder) {
  TempDir tmp;
  CompoundFileWriter w;
  w.Root().AddStream("0", std::string(123, 'x'));
  auto& dir = w.Root().AddStorage("1");
  dir.AddStream("10", std::string(5000, 'y'));
  dir.AddStream("2", "");
  dir.AddStorage("Пустой");
  w.Root().AddStream("3", "z");
  w.SaveToFile(tmp / "image.cfb");

  Result r = List(tmp, tmp / "image.cfb");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "stream\t0\t123\n"
            "storage\t1\n"
            "stream\t1/2\t0\n"
            "stream\t1/10\t5000\n"
            "storage\t1/Пустой\n"
            "stream\t3\t1\n");
}

TEST(CfbTool, FailureIsOneLineOnStderr) {
  TempDir tmp;
  ztv::test::WriteFile(tmp / "text.txt", std::string(1000, 'a'));
  Result r = List(tmp, tmp / "text.txt");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Файл не является составным файлом [" + (tmp / "text.txt") + "]\n");

  CompoundFileWriter w;
  w.Root().AddStream("big", std::string(10000, 'b'));
  w.SaveToFile(tmp / "cut.cfb");
  std::string bytes = ReadFile(tmp / "cut.cfb");
  ztv::test::WriteFile(tmp / "cut.cfb", bytes.substr(0, 400));
  r = List(tmp, tmp / "cut.cfb");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Повреждённый составной файл [" + (tmp / "cut.cfb") + "]: файл короче заголовка\n");
}

}  // namespace
}  // namespace ztv::cfb::test
