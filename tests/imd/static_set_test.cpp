#include "formats/imd/static_set.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "imd_test_util.h"

namespace ztv {
namespace {

using test::AppendIndex;
using test::DefineIndex;

std::vector<std::string> Names(TStaticSet& set) {
  std::vector<std::string> out;
  for (set.First(); !set.Eof(); set.Next()) out.push_back(set.FieldByName("Name").AsString());
  return out;
}

TEST(StaticSet, AppendPostCancelAndTypedAccess) {
  TStaticSet set;
  DefineIndex(set);
  set.AddField("Amount", TFieldType::BCD);
  set.Open();
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_TRUE(set.Bof());
  EXPECT_TRUE(set.Eof());

  set.Append();
  set.FieldByName("id").SetAsInteger(7);  // names ignore case
  set.FieldByName("Name").SetAsString("Журнал");
  set.FieldByName("IsDirectory").SetAsBoolean(true);
  set.FieldByName("Amount").SetAsCurrency(TCurrency::FromDouble(12.5));
  set.Post();

  set.Append();
  set.FieldByName("ID").SetAsInteger(8);
  set.Cancel();
  EXPECT_EQ(set.RecordCount(), 1);
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 7);

  EXPECT_EQ(set.FieldByName("Name").AsString(), "Журнал");
  EXPECT_TRUE(set.FieldByName("IsDirectory").AsBoolean());
  EXPECT_EQ(set.FieldByName("Amount").AsCurrency().Scaled, 125000);
  EXPECT_EQ(set.FieldByName("Amount").AsString(), "12.5");
  EXPECT_EQ(set.FieldByName("ID").AsString(), "7");
  EXPECT_EQ(set.FieldByName("IsDirectory").AsString(), "True");

  set.Edit();
  set.FieldByName("Name").Clear();
  set.FieldByName("ID").SetAsString(" 42 ");
  set.Post();
  EXPECT_TRUE(set.FieldByName("Name").IsNull());
  EXPECT_EQ(set.FieldByName("Name").AsString(), "");
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 42);

  // Values need an edit; bad conversions and unknown fields are errors.
  EXPECT_THROW(set.FieldByName("ID").SetAsInteger(1), Exception);
  set.Edit();
  EXPECT_THROW(set.FieldByName("ID").SetAsString("abc"), Exception);
  EXPECT_THROW(set.FieldByName("IsDirectory").SetAsString("maybe"), Exception);
  set.Cancel();
  try {
    set.FieldByName("Missing");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Поле 'Missing' не найдено");
  }
}

TEST(StaticSet, LongTextsKeepTheirFirstCharacters) {
  TStaticSet set;
  set.AddField("S", TFieldType::String, 5);
  set.AddField("W", TFieldType::WideString, 3);
  set.Open();
  set.Append();
  set.FieldByName("S").SetAsString("Привет, мир");
  set.FieldByName("W").SetAsString("abcdef");
  set.Post();
  EXPECT_EQ(set.FieldByName("S").AsString(), "Приве");
  EXPECT_EQ(set.FieldByName("W").AsString(), "abc");
}

TEST(StaticSet, IntegerRangesAreChecked) {
  TStaticSet set;
  set.AddField("Small", TFieldType::Smallint);
  set.AddField("W", TFieldType::Word);
  set.AddField("Big", TFieldType::Largeint);
  set.Open();
  set.Append();
  EXPECT_THROW(set.FieldByName("Small").SetAsInteger(40000), Exception);
  EXPECT_THROW(set.FieldByName("W").SetAsInteger(-1), Exception);
  set.FieldByName("Big").SetAsLargeInt(int64_t{1} << 40);
  set.Post();
  EXPECT_EQ(set.FieldByName("Big").AsLargeInt(), int64_t{1} << 40);
  EXPECT_THROW(set.FieldByName("Big").AsInteger(), Exception);
}

TEST(StaticSet, BofAndEofFollowTheWalk) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  // Empty: Last leaves both flags set, so a backward walk does nothing.
  set.Last();
  EXPECT_TRUE(set.Bof());
  EXPECT_TRUE(set.Eof());

  AppendIndex(set, 1, "a", false);
  AppendIndex(set, 2, "b", false);
  AppendIndex(set, 3, "c", false);

  std::vector<int> backward;
  for (set.Last(); !set.Bof(); set.Prior()) backward.push_back(set.FieldByName("ID").AsInteger());
  EXPECT_EQ(backward, (std::vector<int>{3, 2, 1}));

  set.First();
  EXPECT_TRUE(set.Bof());
  EXPECT_FALSE(set.Eof());
  set.Next();
  set.Next();
  EXPECT_FALSE(set.Eof());
  EXPECT_EQ(set.RecNo(), 3);
  set.Next();
  EXPECT_TRUE(set.Eof());
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 3);  // stays on the last record
}

TEST(StaticSet, DeleteMovesToTheNextRecord) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  for (int i = 1; i <= 5; ++i) AppendIndex(set, i, std::to_string(i).c_str(), false);
  // The usual removal loop: delete odd IDs.
  set.First();
  while (!set.Eof()) {
    if (set.FieldByName("ID").AsInteger() % 2)
      set.Delete();
    else
      set.Next();
  }
  EXPECT_EQ(Names(set), (std::vector<std::string>{"2", "4"}));
  set.Last();
  set.Delete();
  EXPECT_TRUE(set.Eof());
  set.Delete();
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_THROW(set.Delete(), Exception);
}

TEST(StaticSet, LocateWithAndWithoutCase) {
  TStaticSet set;
  set.AddField("Kind", TFieldType::String, 20);
  set.AddField("FileName", TFieldType::String, 100);
  set.Open();
  for (auto [k, f] : {std::pair{"File", "a.001"}, {"sourceversion", "1.2.3"}, {"File", "a.002"}}) {
    set.Append();
    set.FieldByName("Kind").SetAsString(k);
    set.FieldByName("FileName").SetAsString(f);
    set.Post();
  }
  set.First();
  EXPECT_FALSE(set.Locate("Kind", "SourceVersion"));
  EXPECT_EQ(set.FieldByName("FileName").AsString(), "a.001");  // position kept
  EXPECT_TRUE(set.Locate("Kind", "SourceVersion", {.CaseInsensitive = true}));
  EXPECT_EQ(set.FieldByName("FileName").AsString(), "1.2.3");
  EXPECT_TRUE(set.Locate("Kind;FileName", {"FILE", "A.002"}, {.CaseInsensitive = true}));
  EXPECT_EQ(set.RecNo(), 3);
  EXPECT_TRUE(set.Locate("FileName", "1.2", {.PartialKey = true}));
  EXPECT_EQ(set.RecNo(), 2);
  EXPECT_FALSE(set.Eof());

  // Cyrillic case folding.
  set.Append();
  set.FieldByName("Kind").SetAsString("Ёлка");
  set.Post();
  EXPECT_TRUE(set.Locate("Kind", "ёЛКА", {.CaseInsensitive = true}));
  EXPECT_EQ(set.RecNo(), 4);
}

TEST(StaticSet, SortedVisitsInKeyOrderAndBackToInsertionOrder) {
  TStaticSet set;
  DefineIndex(set);
  set.SetIndexFieldNames("ID");
  set.Open();
  AppendIndex(set, 3, "c", false);
  AppendIndex(set, 1, "a", false);
  AppendIndex(set, 2, "b", false);
  AppendIndex(set, 1, "a2", false);
  EXPECT_EQ(Names(set), (std::vector<std::string>{"c", "a", "b", "a2"}));
  set.SetSorted(true);
  EXPECT_EQ(Names(set), (std::vector<std::string>{"a", "a2", "b", "c"}));  // equal keys keep insertion order
  // New and edited records take their sorted place.
  AppendIndex(set, 0, "zero", false);
  EXPECT_EQ(set.RecNo(), 1);
  set.Locate("Name", "c");
  set.Edit();
  set.FieldByName("ID").SetAsInteger(-5);
  set.Post();
  EXPECT_EQ(set.RecNo(), 1);
  EXPECT_EQ(set.FieldByName("Name").AsString(), "c");
  EXPECT_EQ(Names(set), (std::vector<std::string>{"c", "zero", "a", "a2", "b"}));
  set.SetSorted(false);
  EXPECT_EQ(Names(set), (std::vector<std::string>{"c", "a", "b", "a2", "zero"}));

  // Two fields, descending is not offered: Name breaks ties of IsDirectory.
  set.SetIndexFieldNames("IsDirectory;Name");
  set.SetSorted(true);
  EXPECT_EQ(Names(set).front(), "a");
  EXPECT_THROW(set.SetIndexFieldNames("Nope"), Exception);
  EXPECT_EQ(set.IndexFieldNames(), "IsDirectory;Name");
}

TEST(StaticSet, FindByKeySortedAndUnsorted) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  for (int id : {5, 3, 9, 1, 7}) AppendIndex(set, id, std::string(1, 'n').append(std::to_string(id)).c_str(), false);
  EXPECT_THROW(set.FindByKey(3), Exception);  // no key fields
  set.SetKeyFieldNames("ID");
  ASSERT_TRUE(set.FindByKey(9));
  EXPECT_EQ(set.FieldByName("Name").AsString(), "n9");
  EXPECT_FALSE(set.FindByKey(4));
  EXPECT_EQ(set.FieldByName("Name").AsString(), "n9");
  EXPECT_FALSE(set.FindByKey("not a number"));

  set.SetIndexFieldNames("ID");
  set.SetSorted(true);
  for (int id : {1, 3, 5, 7, 9}) {
    ASSERT_TRUE(set.FindByKey(id));
    EXPECT_EQ(set.FieldByName("ID").AsInteger(), id);
  }
  EXPECT_FALSE(set.FindByKey(0));
  EXPECT_FALSE(set.FindByKey(10));
  EXPECT_TRUE(set.FindByKey("7"));  // a text value converts to the key's type
  EXPECT_EQ(set.FieldByName("Name").AsString(), "n7");
}

TEST(StaticSet, FilterExpression) {
  TStaticSet set;
  set.AddField("Kind", TFieldType::String, 20);
  set.AddField("FileName", TFieldType::String, 100);
  set.AddField("FileLength", TFieldType::Integer);
  set.Open();
  struct Row {
    const char* kind;
    const char* file;
    int len;
  };
  for (Row r : {Row{"File", "p1", 10}, Row{"SourceVersion", "1.0", 0}, Row{"file", "p2", 20}, Row{"File", "p3", 30}}) {
    set.Append();
    set.FieldByName("Kind").SetAsString(r.kind);
    set.FieldByName("FileName").SetAsString(r.file);
    set.FieldByName("FileLength").SetAsInteger(r.len);
    set.Post();
  }
  set.SetFilter("Kind=\"File\"");
  set.SetFiltered(true);
  auto files = [&] {
    std::vector<std::string> out;
    for (set.First(); !set.Eof(); set.Next()) out.push_back(set.FieldByName("FileName").AsString());
    return out;
  };
  EXPECT_EQ(files(), (std::vector<std::string>{"p1", "p3"}));  // exact comparison
  EXPECT_EQ(set.RecordCount(), 2);
  std::vector<std::string> back;
  for (set.Last(); !set.Bof(); set.Prior()) back.push_back(set.FieldByName("FileName").AsString());
  EXPECT_EQ(back, (std::vector<std::string>{"p3", "p1"}));

  set.SetFilterOptions({.CaseInsensitive = true});
  EXPECT_EQ(files(), (std::vector<std::string>{"p1", "p2", "p3"}));
  set.SetFilterOptions({});

  set.SetFilter("Kind = 'File' and (FileLength > 15 or [FileName] = \"p1\")");
  EXPECT_EQ(files(), (std::vector<std::string>{"p1", "p3"}));
  set.SetFilter("not Kind = 'File' AND FileLength <> 0");
  EXPECT_EQ(files(), (std::vector<std::string>{"p2"}));

  // A record appended while filtered that fails the filter is stored, hidden.
  set.SetFilter("Kind=\"File\"");
  set.Append();
  set.FieldByName("Kind").SetAsString("UseLZMA");
  set.Post();
  EXPECT_EQ(set.RecordCount(), 2);
  set.SetFiltered(false);
  EXPECT_EQ(set.RecordCount(), 5);

  EXPECT_THROW(set.SetFilter("Kind = "), Exception);
  EXPECT_THROW(set.SetFilter("Kind \"File\""), Exception);
  EXPECT_EQ(set.Filter(), "Kind=\"File\"");  // a bad expression changes nothing
  set.SetFilter("Nope = 1");
  EXPECT_THROW(set.SetFiltered(true), Exception);
  EXPECT_FALSE(set.Filtered());
}

TEST(StaticSet, AssignCopiesStructureAndRecords) {
  TStaticSet source;
  DefineIndex(source);
  source.FieldByName("ID").SetRequired(true);
  source.Params().Add("Origin", TFieldType::String).SetAsString("test");
  source.Open();
  AppendIndex(source, 1, "bin", true);
  AppendIndex(source, 2, nullptr, false);
  source.Last();

  TStaticSet copy;
  copy.AddField("Other", TFieldType::Integer);
  copy.Assign(source);
  EXPECT_EQ(copy.FieldCount(), 3);
  EXPECT_TRUE(copy.FieldByName("ID").Required());
  EXPECT_EQ(copy.FieldByName("Name").Size(), 255);
  EXPECT_EQ(copy.Params().ParamByName("origin").AsString(), "test");
  EXPECT_EQ(copy.RecNo(), 1);
  EXPECT_EQ(source.RecNo(), 2);  // the source keeps its position
  EXPECT_EQ(test::Rows(copy), test::Rows(source));
  EXPECT_EQ(copy.FindField("Other"), nullptr);
}

TEST(StaticSet, BlobStreams) {
  TStaticSet set;
  set.AddField("Data", TFieldType::Blob);
  set.AddField("Note", TFieldType::Memo);
  set.Open();
  set.Append();
  {
    auto s = set.FieldByName("Data").CreateBlobStream(TBlobStreamMode::Write);
    s->WriteString(std::string("\x00\x01\xFF", 3));
  }
  auto note = set.FieldByName("Note").CreateBlobStream(TBlobStreamMode::Write);
  note->WriteString("заметка");
  set.Post();  // flushes the stream still open
  note.reset();
  EXPECT_EQ(set.FieldByName("Data").AsBytes(), std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(set.FieldByName("Note").AsString(), "заметка");

  auto r = set.FieldByName("Data").CreateBlobStream(TBlobStreamMode::Read);
  EXPECT_EQ(r->Size(), 3);
  EXPECT_THROW(set.FieldByName("Data").CreateBlobStream(TBlobStreamMode::Write), Exception);  // not editing

  set.Edit();
  {
    auto s = set.FieldByName("Data").CreateBlobStream(TBlobStreamMode::ReadWrite);
    s->Seek(0, SeekOrigin::End);
    s->WriteString("!");
  }
  set.Post();
  EXPECT_EQ(set.FieldByName("Data").AsBytes(), std::string("\x00\x01\xFF!", 4));

  // A write stream that outlives a cancelled edit changes nothing.
  set.Edit();
  auto late = set.FieldByName("Data").CreateBlobStream(TBlobStreamMode::Write);
  late->WriteString("lost");
  set.Cancel();
  late.reset();
  EXPECT_EQ(set.FieldByName("Data").AsBytes().size(), 4u);
}

TEST(StaticSet, RequiredAndReadOnlyFields) {
  TStaticSet set;
  DefineIndex(set);
  set.FieldByName("ID").SetRequired(true);
  set.FieldByName("IsDirectory").SetReadOnly(true);
  set.Open();
  set.Append();
  EXPECT_THROW(set.FieldByName("IsDirectory").SetAsBoolean(true), Exception);
  try {
    set.Post();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Поле 'ID' должно иметь значение");
  }
  set.FieldByName("ID").SetAsInteger(1);
  set.Post();
  EXPECT_EQ(set.RecordCount(), 1);
}

TEST(StaticSet, StructureChangesOnlyWhileClosedAndCloseDropsRecords) {
  TStaticSet set;
  DefineIndex(set);
  EXPECT_THROW(set.AddField("id", TFieldType::Integer), Exception);  // duplicate ignoring case
  EXPECT_THROW(set.AddField("", TFieldType::Integer), Exception);
  EXPECT_THROW(set.AddField("X", static_cast<TFieldType>(36)), Exception);
  set.Open();
  EXPECT_THROW(set.AddField("More", TFieldType::Integer), Exception);
  AppendIndex(set, 1, "x", false);
  set.Close();
  EXPECT_THROW(set.First(), Exception);
  set.Open();
  EXPECT_TRUE(set.IsEmpty());
  AppendIndex(set, 1, "x", false);
  set.EmptyDataSet();
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_TRUE(set.Active());
}

TEST(Currency, TextAndRounding) {
  EXPECT_EQ(TCurrency::FromScaled(125000).ToString(), "12.5");
  EXPECT_EQ(TCurrency::FromScaled(-1).ToString(), "-0.0001");
  EXPECT_EQ(TCurrency::FromScaled(70000).ToString(), "7");
  EXPECT_EQ(TCurrency::FromDouble(0.00005).Scaled, 1);
  TCurrency c;
  EXPECT_TRUE(TCurrency::TryParse("-12,25", c));
  EXPECT_EQ(c.Scaled, -122500);
  EXPECT_FALSE(TCurrency::TryParse("1.23456", c));
  EXPECT_FALSE(TCurrency::TryParse("abc", c));
  EXPECT_FALSE(TCurrency::TryParse("99999999999999999", c));
  EXPECT_TRUE(TCurrency::TryParse("922337203685477.5807", c));
  EXPECT_EQ(c.Scaled, INT64_MAX);
}

}  // namespace
}  // namespace ztv
