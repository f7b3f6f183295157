#include "db/rotation_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>

#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

std::string NumberedLines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "line " + std::to_string(i) + "\r\n";
  return text;
}

int64_t CountLineFeeds(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(RotationLog, ThousandAndFirstLineLeavesFiveHundredAndOne) {
  test::TempDir dir;
  const std::string path = dir / "base_B-R.log";
  test::WriteFile(path, NumberedLines(1, 1000));
  TRotationLog log(path, 500, 1000);
  log.WriteLine("line 1001", true);
  EXPECT_EQ(test::ReadFile(path), NumberedLines(501, 1001));
  EXPECT_EQ(log.LineCount(), 501);
}

TEST(RotationLog, ThousandLinesStayWithoutRotation) {
  test::TempDir dir;
  const std::string path = dir / "log";
  test::WriteFile(path, NumberedLines(1, 999));
  TRotationLog log(path, 500, 1000);
  log.WriteLine("line 1000");
  EXPECT_EQ(test::ReadFile(path), NumberedLines(1, 1000));
  EXPECT_EQ(log.LineCount(), 1000);
}

TEST(RotationLog, LongRunKeepsTheNewestLinesAndAnExactCount) {
  test::TempDir dir;
  const std::string path = dir / "log";
  TRotationLog log(path, 500, 1000);
  // The model: whenever more than 1000 lines would remain, the first 500 go.
  std::deque<int> model;
  for (int i = 1; i <= 2600; ++i) {
    log.WriteLine("line " + std::to_string(i));
    model.push_back(i);
    if (model.size() > 1000) model.erase(model.begin(), model.begin() + 500);
    if (i % 250 == 0 || i == 1001 || i == 1002) {
      const std::string text = test::ReadFile(path);
      ASSERT_EQ(log.LineCount(), CountLineFeeds(text)) << "after line " << i;
      ASSERT_EQ(text, NumberedLines(model.front(), model.back())) << "after line " << i;
    }
  }
}

TEST(RotationLog, ExistingLogIsContinuedAndCountedOnce) {
  test::TempDir dir;
  const std::string path = dir / "log";
  test::WriteFile(path, "old 1\r\nold 2\r\nold 3\r\n");
  TRotationLog log(path, 500, 1000);
  EXPECT_EQ(log.LineCount(), -1);
  log.WriteLine("new");
  EXPECT_EQ(log.LineCount(), 4);
  EXPECT_EQ(test::ReadFile(path), "old 1\r\nold 2\r\nold 3\r\nnew\r\n");
  // Between writes the count is not read again: lines another program adds
  // are only found by the next count.
  test::WriteFile(path, test::ReadFile(path) + "other\r\n");
  log.WriteLine("next");
  EXPECT_EQ(log.LineCount(), 5);
  TRotationLog second(path, 500, 1000);
  second.WriteLine("third");
  EXPECT_EQ(second.LineCount(), 7);
}

TEST(RotationLog, MissingLineEndIsRepairedFirst) {
  test::TempDir dir;
  struct Case {
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"abc", "abc\r\ndef\r\n"},       // no line end at all
      {"x", "x\r\ndef\r\n"},           // a single byte
      {"abc\r\n", "abc\r\ndef\r\n"},   // a proper line end
      {"abc\n", "abc\ndef\r\n"},       // a line feed alone ends a line too
      {"abc\r", "abc\rdef\r\n"},       // a CR counts as the start of a line end
      {"", "def\r\n"},                 // an empty file
  };
  for (const Case& c : cases) {
    const std::string path = dir / "log";
    test::WriteFile(path, c.before);
    TRotationLog log(path, 500, 1000);
    log.WriteLine("def", true);
    EXPECT_EQ(test::ReadFile(path), c.after) << "before: " << c.before;
  }
}

TEST(RotationLog, TextWithoutLineBreakIsEndedByTheNextLine) {
  test::TempDir dir;
  const std::string path = dir / "log";
  TRotationLog log(path, 500, 1000);
  log.WriteLine("a", false);
  log.WriteLine("b", true);
  EXPECT_EQ(test::ReadFile(path), "a\r\nb\r\n");
  EXPECT_EQ(log.LineCount(), 2);
}

TEST(RotationLog, EmptyNameFailsAtTheFirstWrite) {
  TRotationLog log("", 500, 1000);
  try {
    log.WriteLine("x", true);
    FAIL() << "wrote without a name";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "DoRotation: не задано имя файла.");
  }
}

TEST(RotationLog, UnopenableFileNamesFileAndSystemText) {
  test::TempDir dir;
  const std::string path = dir / "no-such-dir/log";
  TRotationLog log(path, 500, 1000);
  try {
    log.WriteLine("x", true);
    FAIL() << "wrote into a missing directory";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Не удается создать файл с именем: " + path + ". Ошибка: " + SystemErrorText(ENOENT));
  }
  EXPECT_EQ(log.LineCount(), -1);
}

TEST(RotationLog, CutLinesAboveTheLimitNeverCutsAndNeverLoses) {
  test::TempDir dir;
  const std::string path = dir / "log";
  TRotationLog log(path, 50, 10);
  for (int i = 1; i <= 30; ++i) log.WriteLine("line " + std::to_string(i));
  EXPECT_EQ(test::ReadFile(path), NumberedLines(1, 30));
  EXPECT_EQ(log.LineCount(), 30);
}

}  // namespace
}  // namespace ztv
