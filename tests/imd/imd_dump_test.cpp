#include "formats/imd/imd_dump.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "imd_test_util.h"

namespace ztv {
namespace {

std::string Dump(const std::string& packet, TIMDDumpFormat format, int64_t offset = 0) {
  TZVMemoryStream s(packet);
  s.SetPosition(offset);
  return DumpIMDPacket(s, format);
}

std::string Packed(TDataSet& set, uint32_t options) {
  TZVMemoryStream s;
  PackMappedData(&set, &s, {}, options);
  return s.AsString();
}

TEST(ImdDump, JsonShowsStoredDescriptorsAndTypedValues) {
  TStaticSet set;
  test::DefineIndex(set);
  set.AddField("Amount", TFieldType::BCD);
  set.AddField("Data", TFieldType::Blob);
  set.AddField("Note", TFieldType::Memo);
  set.FieldByName("Name").SetFixedChar(true);
  set.Open();
  set.Append();
  set.FieldByName("ID").SetAsInteger(-3);
  set.FieldByName("Name").SetAsString("a\"b\\c\tЖ");
  set.FieldByName("IsDirectory").SetAsBoolean(false);
  set.FieldByName("Amount").SetAsCurrency(TCurrency::FromScaled(125000));
  set.FieldByName("Data").SetAsBytes(std::string("\x00\xAB", 2));
  set.FieldByName("Note").SetAsString("Я");
  set.Post();
  set.Append();
  set.Post();
  std::string packet = Packed(set, PackOptions::WithAttributes | PackOptions::RepeatMarks);
  EXPECT_EQ(Dump(packet, TIMDDumpFormat::Json),
            "{\"layout\":\"TRN\",\"version\":\"1\",\"fields\":["
            "{\"name\":\"ID\",\"type\":3,\"size\":4,\"flags\":0},"
            "{\"name\":\"Name\",\"type\":1,\"size\":256,\"flags\":8224},"
            "{\"name\":\"IsDirectory\",\"type\":5,\"size\":2,\"flags\":0},"
            "{\"name\":\"Amount\",\"type\":8,\"size\":8,\"flags\":0},"
            "{\"name\":\"Data\",\"type\":15,\"size\":0,\"flags\":0},"
            "{\"name\":\"Note\",\"type\":16,\"size\":0,\"flags\":0}],"
            "\"records\":[[-3,\"a\\\"b\\\\c\\tЖ\",false,12.5,\"00ab\",\"df\"],[null,null,null,null,null,null]]}\n");
  EXPECT_EQ(Dump(packet, TIMDDumpFormat::Text),
            "layout\tTRN\nversion\t1\n"
            "field\tID\t3\t4\t0\nfield\tName\t1\t256\t8224\nfield\tIsDirectory\t5\t2\t0\n"
            "field\tAmount\t8\t8\t0\nfield\tData\t15\t0\t0\nfield\tNote\t16\t0\t0\n"
            "record\t-3\ta\"b\\\\c\\tЖ\tfalse\t12.5\t00ab\tdf\n"
            "record\t<null>\t<null>\t<null>\t<null>\t<null>\t<null>\n");
}

TEST(ImdDump, LegacyLayoutAndOffsets) {
  TStaticSet set;
  test::DefineIndex(set);
  set.Open();
  test::AppendIndex(set, 1, "bin", true);
  TZVMemoryStream s;
  s.WriteString("head");
  PackMappedData(&set, &s, {}, PackOptions::LegacyLayout);
  EXPECT_EQ(Dump(s.AsString(), TIMDDumpFormat::Json, 4),
            "{\"layout\":\"legacy\",\"version\":\"-\",\"fields\":["
            "{\"name\":\"ID\",\"type\":3,\"size\":4,\"flags\":0},"
            "{\"name\":\"Name\",\"type\":1,\"size\":255,\"flags\":0},"
            "{\"name\":\"IsDirectory\",\"type\":5,\"size\":2,\"flags\":0}],"
            "\"records\":[[1,\"bin\",true]]}\n");
}

TEST(ImdDump, FailuresCarryTheReadersMessages) {
  try {
    Dump("short", TIMDDumpFormat::Json);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "В потоке не достаточно места для заголовка");
  }
  std::string noEnd = test::Bytes("54 52 4E F1 '0' 00 00 00 00");
  EXPECT_THROW(Dump(noEnd, TIMDDumpFormat::Text), Exception);
  EXPECT_EQ(Dump(noEnd + "\xFF", TIMDDumpFormat::Json),
            "{\"layout\":\"TRN\",\"version\":\"0\",\"fields\":[],\"records\":[]}\n");
}

}  // namespace
}  // namespace ztv
