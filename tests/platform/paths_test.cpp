#include "platform/paths.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace ztv {
namespace {

TEST(Paths, JoinAndSplit) {
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("", "_ZTV_UPDATE_"), "/_ZTV_UPDATE_");
  EXPECT_EQ(DropTrailingSeparator("/a/"), "/a");
  EXPECT_EQ(DropTrailingSeparator("/a//"), "/a/");
  EXPECT_EQ(DropTrailingSeparator("/"), "");
  EXPECT_EQ(ExtractFileDir("/a/b/c"), "/a/b");
  EXPECT_EQ(ExtractFileDir("/c"), "/");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(StoredToNative("bin\\ocx\\IMD.DAT"), "bin/ocx/IMD.DAT");
  EXPECT_EQ(NativeToStored("bin/ocx/IMD.DAT"), "bin\\ocx\\IMD.DAT");
}

TEST(Paths, ResolvesComponentsIgnoringCase) {
  test::TempDir dir;
  test::WriteFile(dir / "Ocx/Imd.dat", "x");
  test::WriteFile(dir / "Данные/База.GDB", "y");
  EXPECT_EQ(ResolvePathCase(dir / "OCX/IMD.DAT"), dir / "Ocx/Imd.dat");
  EXPECT_EQ(ResolvePathCase(dir / "данные/база.gdb"), dir / "Данные/База.GDB");
  EXPECT_EQ(ResolvePathCase(dir / "Ocx/Imd.dat"), dir / "Ocx/Imd.dat");
  // No match: the path comes back unchanged.
  EXPECT_EQ(ResolvePathCase(dir / "ocx/none"), dir / "ocx/none");
  EXPECT_TRUE(FileExists(dir / "Ocx/Imd.dat"));
  EXPECT_FALSE(FileExists(dir / "Ocx"));
  EXPECT_TRUE(DirectoryExists(dir / "Ocx"));
}

}  // namespace
}  // namespace ztv
