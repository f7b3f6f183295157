// Compound files exchanged with independent implementations: files made by
// libgsf's "gsf createole" are read by our reader, and files our writer makes
// are read by Python's olefile in its strict mode.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "cfb_test_util.h"
#include "core/errors.h"
#include "formats/cfb/compound_writer.h"
#include "support/temp_dir.h"

namespace ztv::cfb::test {
namespace {

namespace fs = std::filesystem;
using ztv::test::ReadFile;
using ztv::test::TempDir;
using ztv::test::WriteFile;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int RunShell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool HaveProgram(const std::string& check) { return RunShell(check + " >/dev/null 2>&1") == 0; }

// The files and folders below `dir`, as the reader's walk would list them
// (sorted by path, since the two sides order differently).
std::vector<Item> TreeOf(const std::string& dir) {
  std::vector<Item> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    Item item;
    item.path = fs::relative(e.path(), dir).generic_string();
    item.storage = e.is_directory();
    if (!item.storage) {
      item.data = ReadFile(e.path().string());
      item.size = item.data.size();
    }
    out.push_back(std::move(item));
  }
  std::sort(out.begin(), out.end(), [](const Item& a, const Item& b) { return a.path < b.path; });
  return out;
}

std::vector<Item> Sorted(std::vector<Item> items) {
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.path < b.path; });
  return items;
}

// A tree at the edges of the format: empty, mini-stream boundary and
// multi-sector files, nested and Cyrillic folder and file names.
void MakeSourceTree(const std::string& dir, size_t bigSize) {
  WriteFile(dir + "/empty.txt", "");
  WriteFile(dir + "/one", "1");
  WriteFile(dir + "/b4095", Pattern(4095, 1));
  WriteFile(dir + "/b4096", Pattern(4096, 2));
  WriteFile(dir + "/b4097", Pattern(4097, 3));
  WriteFile(dir + "/Папка/Документ.txt", Pattern(777, 4));
  WriteFile(dir + "/Папка/вложенная/большой.bin", Pattern(bigSize, 5));
  WriteFile(dir + "/Папка/вложенная/12", Pattern(64, 6));
  for (int i = 0; i < 40; ++i) WriteFile(dir + "/many/" + std::to_string(i), Pattern(static_cast<size_t>(i) * 100, i));
}

TEST(CfbInterop, ReadsFilesMadeByGsf) {
  if (!HaveProgram("gsf help")) GTEST_SKIP() << "gsf (package libgsf-bin) is not installed";
  // 9 MB for the big file: gsf then needs DIFAT sectors as well.
  for (size_t bigSize : {size_t{100000}, size_t{9000000}}) {
    TempDir tmp;
    const std::string src = tmp / "src";
    MakeSourceTree(src, bigSize);
    const std::string out = tmp / "gsf.ole";
    std::string cmd = "cd " + Quote(src) + " && gsf createole " + Quote(out);
    for (const auto& e : fs::directory_iterator(src)) cmd += " " + Quote(e.path().filename().string());
    ASSERT_EQ(RunShell(cmd + " >/dev/null 2>&1"), 0) << cmd;

    ASSERT_TRUE(IsCompoundFile(out));
    CompoundFile cf(out);
    EXPECT_EQ(cf.MajorVersion(), 3);
    std::vector<Item> walked = Walk(cf.Root());
    EXPECT_EQ(Sorted(walked), TreeOf(src));
    if (bigSize > 7000000) {
      EXPECT_GT(U32(ReadFile(out), 72), 0u) << "expected DIFAT sectors";
    }

    // The enumeration follows the format's order: shorter names first.
    Storage many = cf.Root().OpenStorage("MANY");
    std::vector<std::string> names;
    for (const Element& e : many.Elements()) names.push_back(e.name);
    std::vector<std::string> numeric;
    for (int i = 0; i < 40; ++i) numeric.push_back(std::to_string(i));
    EXPECT_EQ(names, numeric);
    EXPECT_EQ(cf.Root().OpenStorage("папка").ReadStream("ДОКУМЕНТ.TXT"), Pattern(777, 4));
  }
}

constexpr const char* kOlefileScript = R"PY(
import os, sys, olefile
path, out = sys.argv[1], sys.argv[2]
# Strict: any defect the library notices is an error.
ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
lines = []
for entry in ole.listdir(streams=True, storages=True):
    target = os.path.join(out, *entry)
    if ole.get_type(entry) == olefile.STGTY_STORAGE:
        os.makedirs(target, exist_ok=True)
        lines.append('storage\t' + '/'.join(entry))
    else:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, 'wb') as f:
            f.write(ole.openstream(entry).read())
        lines.append('stream\t%s\t%d' % ('/'.join(entry), ole.get_size(entry)))
lines.append('sector\t%d' % ole.sectorsize)
sys.stdout.buffer.write(('\n'.join(lines) + '\n').encode('utf-8'))
)PY";

class OlefileTest : public ::testing::TestWithParam<int> {};

TEST_P(OlefileTest, OlefileReadsWhatWeWrite) {
  const std::string python = "/usr/bin/python3";
  if (!HaveProgram(python + " -c 'import olefile'")) GTEST_SKIP() << "python3-olefile is not installed";
  TempDir tmp;
  const std::string src = tmp / "src";
  MakeSourceTree(src, 7500000);
  WriteFile(src + "/Папка/пустая/.placeholder", "");
  fs::remove(src + "/Папка/пустая/.placeholder");

  // The source tree as storages and file-backed streams.
  CompoundFileWriter w(GetParam());
  std::function<void(const std::string&, CompoundFileWriter::StorageNode&)> add =
      [&](const std::string& dir, CompoundFileWriter::StorageNode& node) {
        for (const auto& e : fs::directory_iterator(dir)) {
          if (e.is_directory())
            add(e.path().string(), node.AddStorage(e.path().filename().string()));
          else
            node.AddFile(e.path().filename().string(), e.path().string());
        }
      };
  add(src, w.Root());
  const std::string file = tmp / "ours.cfb";
  w.SaveToFile(file);

  WriteFile(tmp / "dump.py", kOlefileScript);
  const std::string extracted = tmp / "olefile";
  int rc = RunShell(python + " " + Quote(tmp / "dump.py") + " " + Quote(file) + " " + Quote(extracted) + " >" +
               Quote(tmp / "listing.txt") + " 2>" + Quote(tmp / "err.txt"));
  ASSERT_EQ(rc, 0) << ReadFile(tmp / "err.txt");

  // What olefile extracted equals the source, and its listing agrees with
  // ours element by element.
  EXPECT_EQ(TreeOf(extracted), TreeOf(src));
  std::vector<std::string> theirs;
  std::istringstream listing(ReadFile(tmp / "listing.txt"));
  for (std::string line; std::getline(listing, line);) theirs.push_back(line);
  std::vector<std::string> expected;
  for (const Item& item : TreeOf(src))
    expected.push_back(item.storage ? "storage\t" + item.path
                                    : "stream\t" + item.path + "\t" + std::to_string(item.size));
  expected.push_back("sector\t" + std::string(GetParam() == 4 ? "4096" : "512"));
  std::sort(theirs.begin(), theirs.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(theirs, expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, OlefileTest, ::testing::Values(3, 4));

}  // namespace
}  // namespace ztv::cfb::test
