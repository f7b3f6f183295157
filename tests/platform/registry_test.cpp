#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "core/text.h"
#include "platform/linux/registry_file.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

using test::ScopedRegistry;

TEST(RegFile, ParsesStringsEscapesDwordsAndOtherTypes) {
  auto doc = ParseRegFile(
      "REGEDIT4\r\n\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\\\\"q\\\"\"\r\n"
      "@=\"default\"\r\n"
      "\"N\"=dword:0000002A\r\n"
      "\"Bin\"=hex:01,02,\\\r\n  03\r\n"
      "\"Bad\"=dword:xyz\r\n"
      "\"Gone\"=-\r\n");
  ASSERT_TRUE(doc);
  RegKey* k = doc->FindKey("hkey_local_machine\\software\\a");
  ASSERT_TRUE(k);
  ASSERT_EQ(k->values.size(), 5u);
  EXPECT_EQ(k->values[0].text, "C:\\Program Files\\\"q\"");
  EXPECT_EQ(k->values[1].name, "");
  EXPECT_EQ(k->values[2].dword, 42u);
  EXPECT_EQ(k->values[3].type, RegValue::Type::Other);
  EXPECT_EQ(k->values[3].text, "hex:01,02,03");
  EXPECT_EQ(k->values[4].type, RegValue::Type::Invalid);

  // Formatting and parsing again gives the same values.
  auto again = ParseRegFile(FormatRegFile(*doc));
  ASSERT_TRUE(again);
  EXPECT_EQ(FormatRegFile(*again), FormatRegFile(*doc));
}

TEST(RegFile, RejectsFilesThatAreNotRegistryFiles) {
  EXPECT_FALSE(ParseRegFile(""));
  EXPECT_FALSE(ParseRegFile("hello\n"));
  EXPECT_FALSE(ParseRegFile("REGEDIT4\n\"orphan\"=\"value before any key\"\n"));
  EXPECT_FALSE(ParseRegFile("REGEDIT4\n[unterminated\n"));
  EXPECT_FALSE(ParseRegFile("REGEDIT4\n[K]\nnot a value line\n"));
  EXPECT_FALSE(ParseRegFile(std::string("\0\1\2\3", 4)));
}

TEST(RegFile, ReadsCp1251FilesAndWritesUtf8) {
  ScopedRegistry reg;
  reg.WriteRaw(Utf8ToCp1251("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"Имя\"=\"Значение\"\n"));
  FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
  ASSERT_TRUE(r.OpenKey("K", false));
  EXPECT_EQ(r.ReadString("имя"), "Значение");
  r.WriteString("Другое", "ё");
  EXPECT_TRUE(IsValidUtf8(reg.Text()));
  EXPECT_EQ(r.ReadString("Имя"), "Значение");
  EXPECT_EQ(r.ReadString("ДРУГОЕ"), "ё");
}

TEST(FileRegistryTest, KeysOpenWithoutCreationAndCreateOnRequest) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n[HKEY_LOCAL_MACHINE\\Software\\A\\B]\n");
  FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(r.OpenKey("Software\\Missing", false));
  EXPECT_EQ(reg.Text().find("Missing"), std::string::npos);
  EXPECT_TRUE(r.OpenKey("Software\\New", true));
  EXPECT_NE(reg.Text().find("[HKEY_LOCAL_MACHINE\\Software\\New]"), std::string::npos);
  ASSERT_TRUE(r.OpenKey("\\software\\a\\", false));
  EXPECT_EQ(r.GetKeyNames(), std::vector<std::string>{"B"});
  EXPECT_EQ(r.GetValueNames(), std::vector<std::string>{"x"});
  EXPECT_THROW(r.ReadInteger("x"), ERegistryException);        // wrong type
  EXPECT_THROW(r.ReadInteger("absent"), ERegistryException);   // absent
  EXPECT_EQ(r.ReadString("absent"), "");
  r.CloseKey();
  EXPECT_THROW(r.WriteString("x", "2"), ERegistryException);   // no key open
}

TEST(FileRegistryTest, ReadOnlyOpeningAndReadOnlyFiles) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:5\n");
  ASSERT_EQ(::chmod(reg.File().c_str(), 0444), 0);
  FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(r.OpenKey("K", false));
  ASSERT_TRUE(r.OpenKeyReadOnly("K"));
  EXPECT_EQ(r.ReadInteger("v"), 5);
  EXPECT_THROW(r.WriteInteger("v", 6), ERegistryException);
}

TEST(FileRegistryTest, DamagedFileFailsReadsAndIsNeverOverwritten) {
  ScopedRegistry reg;
  reg.WriteRaw("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\ngarbage line\n");
  FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
  ASSERT_TRUE(r.OpenKey("K", false));
  EXPECT_THROW(r.ReadString("v"), ERegistryException);
  EXPECT_THROW(r.ReadInteger("v"), ERegistryException);
  EXPECT_THROW(r.WriteString("v", "x"), ERegistryException);
  EXPECT_EQ(reg.Text(), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\ngarbage line\n");
}

TEST(FileRegistryTest, WritesKeepPermissionsAndLeaveNoTemporaryFiles) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\K]\n");
  ASSERT_EQ(::chmod(reg.File().c_str(), 0640), 0);
  FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
  ASSERT_TRUE(r.OpenKey("K", false));
  for (int i = 0; i < 20; ++i) r.WriteInteger("n", i);
  EXPECT_EQ(r.ReadInteger("n"), 19);
  struct stat st;
  ASSERT_EQ(::stat(reg.File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(reg.Dir().Path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2);  // the file and its lock file
}

// A writer killed at any moment leaves the old or the new file, never a
// broken one: a child rewrites the file in a loop and is killed at random.
TEST(FileRegistryTest, KilledWriterNeverLeavesABrokenFile) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"" + std::string(4000, 'a') + "\"\n");
  const std::string a(4000, 'a'), b(6000, 'b');
  std::mt19937 rng(12345);
  for (int round = 0; round < 25; ++round) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      FileRegistry w(reg.File(), "HKEY_LOCAL_MACHINE");
      if (!w.OpenKey("K", false)) ::_exit(2);
      for (int i = 0;; ++i) {
        w.WriteString("v", i % 2 ? b : a);
        w.WriteInteger("n", i);
      }
    }
    ::usleep(std::uniform_int_distribution<int>(200, 20000)(rng));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own";
    auto doc = ParseRegFile(reg.Text());
    ASSERT_TRUE(doc) << "broken file after round " << round;
    FileRegistry r(reg.File(), "HKEY_LOCAL_MACHINE");
    ASSERT_TRUE(r.OpenKey("K", false));
    std::string v = r.ReadString("v");
    EXPECT_TRUE(v == a || v == b) << "value of length " << v.size();
  }
}

}  // namespace
}  // namespace ztv
