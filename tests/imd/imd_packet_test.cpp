#include <gtest/gtest.h>

#include <functional>

#include "core/text.h"

#include "core/errors.h"
#include "formats/imd/imd_format.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "formats/imd/transporter.h"
#include "imd_test_util.h"

namespace ztv {
namespace {

using test::AppendIndex;
using test::Bytes;
using test::DefineIndex;
using test::Hex;

const std::string kEmptyIndexHeader = Bytes(
    "54 52 4E F1 '0' 03 00"
    " 03 00 00 04 00 00 00 02 'ID'"
    " 01 00 00 00 01 00 00 04 'Name'"
    " 05 00 00 02 00 00 00 0B 'IsDirectory'"
    " 00 00");

std::string Pack(TDataSet& set, uint32_t options = PackOptions::WithParams | PackOptions::WithAttributes,
                 std::string_view mapping = {}) {
  TZVMemoryStream s;
  PackMappedData(&set, &s, mapping, options);
  return s.AsString();
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no error)";
}

std::string UnpackError(const std::string& packet, uint32_t options = UnpackOptions::RecreateFields) {
  return MessageOf([&] {
    TZVMemoryStream s(packet);
    TStaticSet set;
    UnPackMappedData(&s, &set, options);
  });
}

TEST(ImdPacket, EmptyIndexIsByteExact) {
  TStaticSet index;
  DefineIndex(index);
  index.Open();
  TZVMemoryStream s;
  EXPECT_EQ(SaveDataSetToStream(index, s), 0);
  EXPECT_EQ(Hex(s.AsString()), Hex(kEmptyIndexHeader + "\xFF"));
}

TEST(ImdPacket, OneRecordAndANullName) {
  TStaticSet index;
  DefineIndex(index);
  index.Open();
  AppendIndex(index, 1, "bin", true);
  EXPECT_EQ(Hex(Pack(index)), Hex(kEmptyIndexHeader + Bytes("20 07 01 00 00 00 03 00 00 00 'bin' 01 00 FF")));

  TStaticSet nulls;
  DefineIndex(nulls);
  nulls.Open();
  AppendIndex(nulls, 1, nullptr, false);
  EXPECT_EQ(Hex(Pack(nulls)), Hex(kEmptyIndexHeader + Bytes("20 05 01 00 00 00 00 00 FF")));

  // And they read back.
  TZVMemoryStream s(kEmptyIndexHeader + Bytes("20 07 01 00 00 00 03 00 00 00 'bin' 01 00 20 05 02 00 00 00 FF FF FF") );
  TStaticSet back;
  EXPECT_EQ(LoadDataSetFromStream(s, back), 2);
  back.First();
  EXPECT_EQ(back.FieldByName("Name").AsString(), "bin");
  EXPECT_TRUE(back.FieldByName("IsDirectory").AsBoolean());
  back.Next();
  EXPECT_TRUE(back.FieldByName("Name").IsNull());
  EXPECT_TRUE(back.FieldByName("IsDirectory").AsBoolean());  // any non-zero is true
}

TEST(ImdPacket, RepeatMarksOnlyForLongTexts) {
  TStaticSet set;
  set.AddField("Name", TFieldType::String, 30);
  set.Open();
  for (const char* t : {"twelve chars", "twelve chars", "8 chars!", "8 chars!"}) {
    set.Append();
    set.FieldByName("Name").SetAsString(t);
    set.Post();
  }
  std::string header = Bytes("54 52 4E F1 '1' 01 00 01 00 20 1F 00 00 00 04 'Name' 00 00");
  EXPECT_EQ(Hex(Pack(set, PackOptions::RepeatMarks)),
            Hex(header + Bytes("20 01 0C 00 00 00 'twelve chars'"
                               " 20 01 FF FF FF FF"
                               " 20 01 08 00 00 00 '8 chars!'"
                               " 20 01 08 00 00 00 '8 chars!' FF")));
  // Version "0" never uses them; version "2" does.
  EXPECT_EQ(Pack(set, 0).find("\xFF\xFF\xFF\xFF"), std::string::npos);
  std::string v2 = Pack(set, PackOptions::StrictStatus);
  EXPECT_EQ(v2[4], '2');
  EXPECT_NE(v2.find("\xFF\xFF\xFF\xFF"), std::string::npos);

  // A null between equal texts breaks the repetition.
  set.Append();
  set.FieldByName("Name").SetAsString("a long repeated text");
  set.Post();
  set.Append();
  set.Post();
  set.Append();
  set.FieldByName("Name").SetAsString("a long repeated text");
  set.Post();
  std::string packet = Pack(set, PackOptions::RepeatMarks);
  EXPECT_EQ(packet.find("\xFF\xFF\xFF\xFF", packet.find("8 chars!")), std::string::npos);
  TZVMemoryStream s(packet);
  TStaticSet back;
  LoadDataSetFromStream(s, back);
  back.Last();
  EXPECT_EQ(back.FieldByName("Name").AsString(), "a long repeated text");
}

TEST(ImdPacket, VersionThreeIsRefused) {
  std::string packet = kEmptyIndexHeader + "\xFF";
  packet[4] = '3';
  EXPECT_EQ(UnpackError(packet), "Не поддерживаемая версия формата IMD: получено \"3\", поддерживается: 0..2");
}

TEST(ImdPacket, MissingEndMarkIsAnUnexpectedEnd) {
  EXPECT_EQ(UnpackError(kEmptyIndexHeader), "Неверные данные в потоке IMD: неожиданный конец потока");
  // A record cut inside its values fails the same way, and the records
  // read before it stay.
  TZVMemoryStream s(kEmptyIndexHeader + Bytes("20 07 01 00 00 00 03 00 00 00 'bin' 01 00 20 07 02 00 00 00 09 00 00 00 'ab'"));
  TStaticSet set;
  EXPECT_THROW(LoadDataSetFromStream(s, set), Exception);
  EXPECT_TRUE(set.Active());
  EXPECT_EQ(set.RecordCount(), 1);
  EXPECT_EQ(set.State(), TDataSetState::Browse);
}

TEST(ImdPacket, StreamStandsRightAfterThePacket) {
  TStaticSet index;
  DefineIndex(index);
  index.Open();
  AppendIndex(index, 1, "bin", true);
  TZVMemoryStream s;
  s.WriteString("lead");
  PackMappedData(&index, &s, {}, 10);
  const int64_t end = s.Position();
  s.WriteString("trailing data");
  s.SetPosition(4);
  TStaticSet back;
  EXPECT_EQ(LoadDataSetFromStream(s, back), 1);
  EXPECT_EQ(s.Position(), end);

  // The same for the older layout, placed after other bytes.
  TZVMemoryStream legacy;
  legacy.WriteString("lead");
  PackMappedData(&index, &legacy, {}, PackOptions::LegacyLayout);
  const int64_t legacyEnd = legacy.Position();
  legacy.WriteString("trailing");
  legacy.SetPosition(4);
  TStaticSet back2;
  EXPECT_EQ(LoadDataSetFromStream(legacy, back2), 1);
  EXPECT_EQ(legacy.Position(), legacyEnd);
  EXPECT_EQ(test::Rows(back2), test::Rows(back));
}

TEST(ImdPacket, NilArgumentsAndShortStreams) {
  TStaticSet set;
  TZVMemoryStream s;
  EXPECT_EQ(MessageOf([&] { PackMappedData(nullptr, &s); }), "PackMappedData: Передан пустой (nil) набор данных");
  EXPECT_EQ(MessageOf([&] { PackMappedData(&set, nullptr); }), "PackMappedData: Передан пустой (nil) поток с данными");
  EXPECT_EQ(MessageOf([&] { UnPackMappedData(nullptr, &set); }), "UnPackMappedData: Передан пустой (nil) поток с данными");
  EXPECT_EQ(MessageOf([&] { UnPackMappedData(&s, nullptr); }), "UnPackMappedData: Передан пустой (nil) набор данных");
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 00 00 00")),
            "UnPackMappedData: В потоке не достаточно места для заголовка");
  // Nine bytes make a header; an empty packet without fields reads fine.
  TZVMemoryStream nine(Bytes("54 52 4E F1 '0' 00 00 00 00 FF"));
  EXPECT_EQ(UnPackMappedData(&nine, &set, UnpackOptions::RecreateFields), 0);
}

TEST(ImdPacket, MalformedHeadersAreRejected) {
  const std::string bad = "Некорректный формат пакета IMD";
  // Descriptors cut short, an impossible type, an oversized optional text.
  EXPECT_EQ(UnpackError(kEmptyIndexHeader.substr(0, 20) + std::string(10, '\0')), bad);
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 01 00 24 00 00 04 00 00 00 01 'A' 00 00 FF")), bad);
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 01 00 00 00 00 04 00 00 00 01 'A' 00 00 FF")), bad);
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 01 00 03 00 80 04 00 00 00 01 'A' FF FF FF 7F 00 00 FF")), bad);
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 01 00 03 00 80 04 00 00 00 01 'A' FE FF FF FF 00 00 FF")), bad);
  // A string of descriptor size 0 cannot hold even the empty text.
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 01 00 01 00 00 00 00 00 00 01 'A' 00 00 FF")), bad);
  // A parameter whose value runs past the end.
  EXPECT_EQ(UnpackError(Bytes("54 52 4E F1 '0' 00 00 01 00 01 01 FF FF 00 00 01 'P' 'abc' FF")), bad);
  // Huge sizes are refused when the field would be made, not allocated.
  std::string huge = UnpackError(Bytes("54 52 4E F1 '0' 01 00 0C 00 00 FF FF FF FF 01 'A' 00 00 FF"));
  EXPECT_NE(huge.find("Недопустимый размер поля"), std::string::npos) << huge;

  // Older layout: count, field count, start, end, zero.
  auto legacy = [](int32_t count, int32_t n, int32_t start, int32_t end, std::string rest = {}) {
    std::string h;
    for (int32_t v : {count, n, start, end, 0}) PutLE(h, static_cast<uint32_t>(v), 4);
    return h + rest;
  };
  std::string field = std::string(1, '\x01') + "A" + std::string(31, '\0') + Bytes("03 04 00");
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 56, field)), "(no error)");
  EXPECT_EQ(UnpackError(legacy(-1, 1, 56, 56, field)), bad);
  EXPECT_EQ(UnpackError(legacy(0, 1001, 56, 56, field)), bad);
  EXPECT_EQ(UnpackError(legacy(0, -1, 56, 56, field)), bad);
  EXPECT_EQ(UnpackError(legacy(0, 1, 19, 56, field)), bad);
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 55, field)), bad);
  EXPECT_EQ(UnpackError(legacy(0, 0, 20, 30, std::string(10, '\0'))), bad);  // records without fields
  EXPECT_EQ(UnpackError(legacy(0, 2, 92, 92, field)), bad);  // second descriptor missing
  std::string type0 = field;
  type0[33] = 0;
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 56, type0)), bad);
  type0[33] = 36;
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 56, type0)), bad);
  std::string longName = field;
  longName[0] = 33;
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 56, longName)), bad);
  EXPECT_EQ(UnpackError(legacy(0, 1, 56, 56).substr(0, 12) + "\x01\x02\x03"), bad);  // short header
  // A record running past the recorded end.
  EXPECT_EQ(UnpackError(legacy(1, 1, 56, 58, field + Bytes("01 05 00 00 00"))), bad);
}

TEST(ImdPacket, MalformedRecordsAreRejected) {
  const std::string prefix = "Неверные данные в потоке IMD: ";
  std::string v2 = kEmptyIndexHeader + Bytes("21 01 05 00 00 00 FF");
  v2[4] = '2';
  EXPECT_EQ(UnpackError(v2), prefix + "ошибка чтения статуса: получено 33, ожидается 32");
  v2[4] = '0';  // versions "0" and "1" take any status byte
  EXPECT_EQ(UnpackError(v2), "(no error)");
  EXPECT_EQ(UnpackError(kEmptyIndexHeader + "\x20"), prefix + "ошибка чтения статуса: получено 32, ожидается 255");

  // String length above the declared size; the position is the length's.
  EXPECT_EQ(UnpackError(kEmptyIndexHeader + Bytes("20 02 00 01 00 00") + std::string(256, 'x') + "\xFF"),
            prefix + "ошибка чтения строки\r\nпрочитанный размер: 256, допустимый размер: 255, поле: \"Name\"\r\nпозиция: 52");
  // A repeat mark: refused in version "0", and without a previous text.
  EXPECT_EQ(UnpackError(kEmptyIndexHeader + Bytes("20 02 FF FF FF FF FF")),
            prefix + "ошибка чтения строки\r\nпрочитанный размер: -1, допустимый размер: 255, поле: \"Name\"\r\nпозиция: 52");
  std::string v1 = kEmptyIndexHeader + Bytes("20 02 FF FF FF FF FF");
  v1[4] = '1';
  EXPECT_EQ(UnpackError(v1), prefix + "ошибка чтения строки\r\nпрочитанный размер: -1, допустимый размер: 255, поле: \"Name\"\r\nпозиция: 52");
  // Negative and oversized blob lengths.
  std::string blobHeader = Bytes("54 52 4E F1 '0' 01 00 0F 00 00 00 00 00 00 01 'B' 00 00");
  EXPECT_EQ(UnpackError(blobHeader + Bytes("20 01 FE FF FF FF FF")),
            prefix + "ошибка чтения данных поля\r\nпрочитанный размер: -2, поле: \"B\"\r\nпозиция: 20");
  EXPECT_EQ(UnpackError(blobHeader + Bytes("20 01 FF FF FF 7F 'abc' FF")), prefix + "неожиданный конец потока");
}

TEST(ImdPacket, OptionalDescriptorTextsAreSkipped) {
  std::string packet = Bytes(
      "54 52 4E F1 '0' 01 00 03 04 C0 04 00 00 00 02 'ID' 03 00 00 00 'one' 00 00 00 00 00 00"
      " 20 01 2A 00 00 00 FF");
  TZVMemoryStream s(packet);
  TStaticSet set;
  ASSERT_EQ(UnPackMappedData(&s, &set, UnpackOptions::RecreateFields | UnpackOptions::WithAttributes), 1);
  EXPECT_EQ(set.FieldByName("ID").AsInteger(), 42);
  EXPECT_TRUE(set.FieldByName("ID").Required());
  // Writing it again drops the texts and their flags.
  std::string again = Pack(set, PackOptions::WithAttributes);
  EXPECT_EQ(Hex(again.substr(7, 3)), "03 04 00");
}

void ExpectSameStructure(TDataSet& a, TDataSet& b) {
  ASSERT_EQ(a.FieldCount(), b.FieldCount());
  for (int i = 0; i < a.FieldCount(); ++i) {
    EXPECT_EQ(a.Fields(i).FieldName(), b.Fields(i).FieldName());
    EXPECT_EQ(a.Fields(i).DataType(), b.Fields(i).DataType()) << a.Fields(i).FieldName();
    EXPECT_EQ(a.Fields(i).Size(), b.Fields(i).Size()) << a.Fields(i).FieldName();
  }
}

TEST(ImdPacket, EveryTypeRoundTripsThroughEveryLayout) {
  TStaticSet source;
  test::BuildAllTypes(source);
  auto rows = test::Rows(source);
  for (uint32_t options : {0u, 32u, 64u, 96u, 4u, 10u, 14u}) {
    SCOPED_TRACE(options);
    TZVMemoryStream s;
    EXPECT_EQ(PackMappedData(&source, &s, {}, options), 4);
    s.SetPosition(0);
    TStaticSet back;
    EXPECT_EQ(LoadDataSetFromStream(s, back), 4);
    EXPECT_EQ(s.Position(), s.Size());
    ExpectSameStructure(source, back);
    EXPECT_EQ(test::Rows(back), rows);

    // Packing the copy again gives the same bytes.
    TZVMemoryStream again;
    PackMappedData(&back, &again, {}, options);
    EXPECT_EQ(Hex(again.AsString()), Hex(s.AsString()));
  }
  // Typed values survive, including the currency amount and wide text.
  TZVMemoryStream s;
  PackMappedData(&source, &s, {}, 32);
  s.SetPosition(0);
  TStaticSet back;
  LoadDataSetFromStream(s, back);
  back.First();
  EXPECT_EQ(back.FieldByName("Bcd").AsString(), "12345.6789");
  EXPECT_EQ(back.FieldByName("Wide").AsString(), "Ωλ");
  EXPECT_EQ(back.FieldByName("Fixed").AsString(), "Абв");
  EXPECT_EQ(back.FieldByName("VarBytes").AsBytes(), "xyz");
  EXPECT_EQ(back.FieldByName("Memo").AsString(), "Многострочный\r\nтекст");
  EXPECT_DOUBLE_EQ(back.FieldByName("Cur").AsFloat(), -0.5);
}

TEST(ImdPacket, DescriptorSizesAndLegacyLayout) {
  TStaticSet set;
  set.AddField("Name", TFieldType::String, 10);
  set.AddField("Amount", TFieldType::BCD);
  set.AddField("Raw", TFieldType::Bytes, 3);
  set.AddField("AVeryLongFieldNameThatIsLongerThan32", TFieldType::Integer);
  set.Open();
  set.Append();
  set.FieldByName("Name").SetAsString("Иван");
  set.FieldByName("Amount").SetAsCurrency(TCurrency::FromScaled(5));
  set.Post();

  std::string trn = Pack(set, 0);
  // Name: size 11 (declared + 1); Amount: 8; Raw: 3.
  EXPECT_EQ(Hex(trn.substr(7, 7)), "01 00 00 0b 00 00 00");
  EXPECT_EQ(Hex(trn.substr(19, 7)), "08 00 00 08 00 00 00");

  std::string legacy = Pack(set, PackOptions::LegacyLayout);
  const int32_t start = 20 + 36 * 4;
  std::string record = Bytes("03 04 00 00 00 C8 E2 E0 ED 05 00 00 00 00 00 00 00");
  const int32_t end = start + static_cast<int32_t>(record.size());
  std::string expected;
  for (int32_t v : {1, 4, start, end, 0}) PutLE(expected, static_cast<uint32_t>(v), 4);
  EXPECT_EQ(Hex(legacy.substr(0, 20)), Hex(expected));
  EXPECT_EQ(Hex(legacy.substr(20, 36)), Hex(std::string("\x04Name", 5) + std::string(28, '\0') + Bytes("01 0A 00")));
  EXPECT_EQ(Hex(legacy.substr(20 + 108, 36)),
            Hex("\x20" + std::string("AVeryLongFieldNameThatIsLongerTh") + Bytes("03 04 00")));
  EXPECT_EQ(Hex(legacy.substr(static_cast<size_t>(start))), Hex(record));

  // Field sizes above 65535 do not fit the older layout.
  TStaticSet wide;
  wide.AddField("Big", TFieldType::String, 70000);
  wide.Open();
  EXPECT_NE(MessageOf([&] { Pack(wide, PackOptions::LegacyLayout); }).find("Недопустимый размер поля"), std::string::npos);
}

TEST(ImdPacket, FieldMappingOnBothSides) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  AppendIndex(set, 5, "x", false);

  auto names = [](TDataSet& d) {
    std::string out;
    for (int i = 0; i < d.FieldCount(); ++i) out += (i ? "," : "") + d.Fields(i).FieldName();
    return out;
  };
  auto roundTrip = [&](std::string_view packMap, std::string_view unpackMap) {
    TZVMemoryStream s;
    PackMappedData(&set, &s, packMap, 0);
    s.SetPosition(0);
    auto back = std::make_unique<TStaticSet>();
    UnPackMappedData(&s, back.get(), UnpackOptions::RecreateFields, unpackMap);
    return back;
  };
  EXPECT_EQ(names(*roundTrip("", "")), "ID,Name,IsDirectory");
  EXPECT_EQ(names(*roundTrip("id, name", "")), "ID,Name");  // unlisted fields are left out
  EXPECT_EQ(names(*roundTrip("*", "")), "ID,Name,IsDirectory");
  EXPECT_EQ(names(*roundTrip("*,Name=FileName", "")), "ID,FileName,IsDirectory");  // exact wins over "*"
  EXPECT_EQ(names(*roundTrip("Name=FileName,*", "")), "ID,FileName,IsDirectory");
  EXPECT_EQ(names(*roundTrip("*,IsDirectory=", "")), "ID,Name");  // mapped to nothing
  EXPECT_EQ(names(*roundTrip("", "ID=Number, IsDirectory")), "Number,IsDirectory");
  EXPECT_EQ(names(*roundTrip("ID=Key", "")), "Key");
  auto renamed = roundTrip("ID=Key,*", "Key=ID,*");
  EXPECT_EQ(names(*renamed), "ID,Name,IsDirectory");
  renamed->First();
  EXPECT_EQ(renamed->FieldByName("ID").AsInteger(), 5);
}

TEST(ImdPacket, UnpackingIntoExistingFields) {
  TStaticSet source;
  DefineIndex(source);
  source.Open();
  AppendIndex(source, 1, "first", true);
  std::string packet = Pack(source, 0);

  TStaticSet target;
  target.AddField("ID", TFieldType::String, 3);  // a different type: values convert
  target.AddField("Name", TFieldType::String, 3);  // shorter: texts are cut
  target.Open();
  target.Append();  // existing records stay
  target.FieldByName("ID").SetAsString("0");
  target.Post();
  TZVMemoryStream s(packet);
  EXPECT_EQ(MessageOf([&] { UnPackMappedData(&s, &target, 0); }), "Поле 'IsDirectory' не найдено");
  s.SetPosition(0);
  EXPECT_EQ(UnPackMappedData(&s, &target, UnpackOptions::SkipMissingFields), 1);
  EXPECT_EQ(target.RecordCount(), 2);
  target.Last();
  EXPECT_EQ(target.FieldByName("ID").AsString(), "1");
  EXPECT_EQ(target.FieldByName("Name").AsString(), "fir");
}

TEST(ImdPacket, AttributesAndCalculatedFields) {
  TStaticSet set;
  DefineIndex(set);
  set.FieldByName("ID").SetRequired(true);
  set.FieldByName("Name").SetReadOnly(true);
  set.FieldByName("Name").SetFixedChar(true);
  set.FieldByName("IsDirectory").SetFieldKind(TFieldKind::Calculated);
  set.Open();
  std::string with = Pack(set, PackOptions::WithAttributes);
  EXPECT_EQ(Hex(with.substr(8, 2)), "04 00");
  EXPECT_EQ(Hex(with.substr(18, 2)), "22 00");
  EXPECT_EQ(Hex(Pack(set, 0).substr(8, 2)), "00 00");
  EXPECT_EQ(Hex(Pack(set, PackOptions::RepeatMarks).substr(18, 2)), "00 20");  // strings carry bit 13
  std::string skip = Pack(set, PackOptions::SkipCalculated);
  EXPECT_EQ(Hex(skip.substr(5, 2)), "02 00");
  EXPECT_EQ(skip.find("IsDirectory"), std::string::npos);

  TZVMemoryStream s(with);
  TStaticSet back;
  UnPackMappedData(&s, &back, UnpackOptions::RecreateFields | UnpackOptions::WithAttributes);
  EXPECT_TRUE(back.FieldByName("ID").Required());
  EXPECT_TRUE(back.FieldByName("Name").ReadOnly());
  EXPECT_TRUE(back.FieldByName("Name").FixedChar());
  s.SetPosition(0);
  TStaticSet plain;
  UnPackMappedData(&s, &plain, UnpackOptions::RecreateFields);
  EXPECT_FALSE(plain.FieldByName("ID").Required());
}

TEST(ImdPacket, UnstorableTypesAreLeftOut) {
  TStaticSet set;
  set.AddField("V", TFieldType::Variant, 16);
  set.AddField("I", TFieldType::Integer);
  set.AddField("X", TFieldType::IDispatch, 8);
  set.Open();
  std::string packet = Pack(set, 0);
  EXPECT_EQ(Hex(packet.substr(5, 2)), "01 00");
  EXPECT_EQ(packet[7], '\x03');
}

TEST(ImdPacket, ParametersRoundTripWhenAsked) {
  TStaticSet set;
  DefineIndex(set);
  set.Params().Add("Version", TFieldType::String).SetAsString("4.0.12 сборка");
  set.Params().Add("Count", TFieldType::Integer, TParamType::Output).SetAsInteger(-7);
  set.Params().Add("Price", TFieldType::BCD).SetAsCurrency(TCurrency::FromScaled(15000));
  set.Params().Add("Notes", TFieldType::Memo).SetAsString("memo");
  set.Params().Add("Empty", TFieldType::Integer);
  set.Open();
  std::string packet = Pack(set, PackOptions::WithParams);

  TZVMemoryStream s(packet);
  TStaticSet back;
  back.Params().Add("Stale", TFieldType::Integer);
  LoadDataSetFromStream(s, back);
  ASSERT_EQ(back.Params().Count(), 5);
  EXPECT_EQ(back.Params().ParamByName("Version").AsString(), "4.0.12 сборка");
  EXPECT_EQ(back.Params().ParamByName("Count").AsInteger(), -7);
  EXPECT_EQ(back.Params().ParamByName("Count").ParamType(), TParamType::Output);
  EXPECT_EQ(back.Params().ParamByName("Price").AsCurrency().Scaled, 15000);
  EXPECT_EQ(back.Params().ParamByName("Notes").AsString(), "memo");
  EXPECT_TRUE(back.Params().ParamByName("Empty").IsNull());
  EXPECT_EQ(back.Params().FindParam("Stale"), nullptr);

  // Without the option the parameters are read past and dropped.
  s.SetPosition(0);
  TStaticSet noParams;
  UnPackMappedData(&s, &noParams, UnpackOptions::RecreateFields);
  EXPECT_EQ(noParams.Params().Count(), 0);
  EXPECT_EQ(noParams.FieldCount(), 3);
  // And a dataset packed without WithParams writes a count of 0.
  EXPECT_EQ(Pack(set, 0).size(), kEmptyIndexHeader.size() + 1);
}

TEST(ImdPacket, TextThatCp1251CannotHoldIsAnError) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  AppendIndex(set, 1, "日本", false);
  TZVMemoryStream s;
  std::string msg = MessageOf([&] { PackMappedData(&set, &s, {}, 10); });
  EXPECT_NE(msg.find("\"Name\""), std::string::npos) << msg;
  EXPECT_NE(msg.find("Windows-1251"), std::string::npos) << msg;

  TStaticSet badName;
  badName.AddField("Поле Ω", TFieldType::Integer);
  badName.Open();
  EXPECT_NE(MessageOf([&] { Pack(badName, 0); }).find("Windows-1251"), std::string::npos);
  EXPECT_NE(MessageOf([&] { Pack(badName, PackOptions::LegacyLayout); }).find("Windows-1251"), std::string::npos);

  // Every CP1251 character survives, in names and values.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  TStaticSet every;
  every.AddField(Cp1251ToUtf8("Имя\x98"), TFieldType::String, 300);
  every.Open();
  every.Append();
  every.Fields(0).SetAsString(Cp1251ToUtf8(all));
  every.Post();
  TZVMemoryStream packed(Pack(every, 0));
  TStaticSet back;
  LoadDataSetFromStream(packed, back);
  back.First();
  EXPECT_EQ(back.Fields(0).FieldName(), Cp1251ToUtf8("Имя\x98"));
  EXPECT_EQ(Utf8ToCp1251(back.Fields(0).AsString()), all);
}

TEST(ImdPacket, PackingWalksFromTheFirstRecordAndCountsThem) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  for (int i = 1; i <= 3; ++i) AppendIndex(set, i, "n", false);
  set.Last();
  TZVMemoryStream s;
  EXPECT_EQ(PackMappedData(&set, &s, {}, 10), 3);
  EXPECT_TRUE(set.Eof());
  // A closed dataset writes its structure and no records.
  TStaticSet closed;
  DefineIndex(closed);
  TZVMemoryStream c;
  EXPECT_EQ(PackMappedData(&closed, &c, {}, 10), 0);
  EXPECT_EQ(c.AsString(), kEmptyIndexHeader + "\xFF");
}

TEST(ImdPacket, TextsEndAtTheirFirstNul) {
  // A string holding a NUL reads as the text before it, as it would be written.
  std::string packet = Bytes("54 52 4E F1 '0' 02 00 01 00 00 0B 00 00 00 01 'S' 17 00 00 04 00 00 00 01 'F' 00 00"
                             " 20 03 05 00 00 00 'ab' 00 'cd' 'wxyz' FF");
  TZVMemoryStream s(packet);
  TStaticSet set;
  LoadDataSetFromStream(s, set);
  set.First();
  EXPECT_EQ(set.FieldByName("S").AsString(), "ab");
  // A fixed-length text that fills its whole area keeps Size characters.
  EXPECT_EQ(set.FieldByName("F").Size(), 3);
  EXPECT_EQ(set.FieldByName("F").AsString(), "wxy");
  EXPECT_EQ(Hex(Pack(set, 0).substr(27)), Hex(Bytes("20 03 02 00 00 00 'ab' 'wxy' 00 FF")));
}

}  // namespace
}  // namespace ztv
