#include "core/text.h"

#include <gtest/gtest.h>

#include "core/errors.h"

namespace ztv {
namespace {

TEST(Text, Cp1251RoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string utf8 = Cp1251ToUtf8(all);
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_EQ(Utf8ToCp1251(utf8), all);
}

TEST(Text, Cp1251KnownLetters) {
  EXPECT_EQ(Cp1251ToUtf8("\xC0\xE1\xE2\xA8\xB8"), "АбвЁё");
  EXPECT_EQ(Utf8ToCp1251("Журнал №1"), "\xC6\xF3\xF0\xED\xE0\xEB \xB9" "1");
}

TEST(Text, UnrepresentableTextIsAnErrorNotDamage) {
  std::string out;
  EXPECT_FALSE(TryUtf8ToCp1251("日本", out));
  EXPECT_FALSE(TryUtf8ToCp1251("\xFF\xFE", out));  // not UTF-8 at all
  EXPECT_THROW(Utf8ToCp1251("Ω"), Exception);
}

TEST(Text, CaseFoldingCoversLatinAndCyrillic) {
  EXPECT_TRUE(SameText("IsRelative", "isrelative"));
  EXPECT_TRUE(SameText("АВТОЗАПУСК ёлка", "автозапуск ЁЛКА"));
  EXPECT_TRUE(SameText("Ґ", "ґ"));
  EXPECT_FALSE(SameText("backup", "backup2"));
  EXPECT_FALSE(SameText("/IsRelative", "IsRelative"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("Яблоко", "абрикос"), 0);
  EXPECT_EQ(UpperCase("Привет, world"), "ПРИВЕТ, WORLD");
  EXPECT_EQ(LowerCase("ЁЖ"), "ёж");
}

TEST(Text, TrimRemovesBlanksAndControlCharacters) {
  EXPECT_EQ(Trim(" \t\r\n 7.1 \x01"), "7.1");
  EXPECT_EQ(Trim("\x1f\x20"), "");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
  // Non-ASCII letters are not trimmed.
  EXPECT_EQ(Trim(" Я "), "Я");
}

TEST(Text, FormatFollowsPrintfPatterns) {
  EXPECT_EQ(Format("Директория %s не существует", "/x"), "Директория /x не существует");
  EXPECT_EQ(Format("%d%%", 37), "37%");
  EXPECT_EQ(Format("%08x", 0xabcU), "00000abc");
}

// The JSON and tab-separated outputs of the tool keep every value on its
// line and readable by a JSON parser, Cyrillic included.
TEST(ToolOutputText, JsonQuotedAndTabFieldEscapeOnlyWhatBreaksTheFormat) {
  EXPECT_EQ(JsonQuoted(""), "\"\"");
  EXPECT_EQ(JsonQuoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonQuoted("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(JsonQuoted(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  EXPECT_EQ(JsonQuoted(std::string(1, '\0')), "\"\\u0000\"");
  EXPECT_EQ(JsonQuoted("База\x7f"), "\"База\x7f\"");
  EXPECT_EQ(TabField("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\e");
  EXPECT_EQ(TabField("Склад"), "Склад");
}

}  // namespace
}  // namespace ztv
