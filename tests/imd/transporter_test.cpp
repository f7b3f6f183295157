#include "formats/imd/transporter.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "imd_test_util.h"

namespace ztv {
namespace {

using test::AppendIndex;
using test::Bytes;
using test::DefineIndex;

std::string Pack(TDataSet& set, uint32_t options) {
  TZVMemoryStream s;
  PackMappedData(&set, &s, {}, options);
  return s.AsString();
}

// Reads `packet` both ways and checks that the results agree.
void ExpectAgreement(const std::string& packet) {
  TZVMemoryStream a(packet);
  TStaticSet unpacked;
  UnPackMappedData(&a, &unpacked, UnpackOptions::RecreateFields | UnpackOptions::WithParams);

  TZVMemoryStream b(packet);
  TTransporter reader(&b);
  ASSERT_EQ(reader.FieldCount(), unpacked.FieldCount());
  for (int i = 0; i < reader.FieldCount(); ++i) {
    EXPECT_EQ(reader.Fields(i).FieldName(), unpacked.Fields(i).FieldName());
    EXPECT_EQ(reader.Fields(i).DataType(), unpacked.Fields(i).DataType());
    EXPECT_EQ(reader.Fields(i).Size(), unpacked.Fields(i).Size());
  }
  EXPECT_EQ(reader.Params().Count(), unpacked.Params().Count());
  EXPECT_EQ(test::Rows(reader), test::Rows(unpacked));
  EXPECT_EQ(reader.RecordCount(), unpacked.RecordCount());
}

TEST(Transporter, AgreesWithUnPackMappedData) {
  TStaticSet source;
  test::BuildAllTypes(source);
  source.Params().Add("P", TFieldType::String).SetAsString("value");
  for (uint32_t options : {0u, 2u, 8u, 32u, 64u, 4u}) {
    SCOPED_TRACE(options);
    ExpectAgreement(Pack(source, options));
  }
  TStaticSet index;
  DefineIndex(index);
  index.Open();
  ExpectAgreement(Pack(index, 10));  // no records
  AppendIndex(index, 1, "bin", true);
  AppendIndex(index, 2, nullptr, false);
  ExpectAgreement(Pack(index, 10));
  // A descriptor without a name is read past by both.
  ExpectAgreement(Bytes("54 52 4E F1 '0' 02 00 03 00 00 04 00 00 00 00 03 00 00 04 00 00 00 01 'B' 00 00"
                        " 20 03 01 00 00 00 02 00 00 00 FF"));
}

TEST(Transporter, DefinesFieldsWithTheirClassesAndAttributes) {
  TStaticSet set;
  DefineIndex(set);
  set.AddField("Amount", TFieldType::BCD);
  set.FieldByName("ID").SetRequired(true);
  set.Params().Add("Origin", TFieldType::Integer).SetAsInteger(3);
  set.Open();
  TZVMemoryStream s(Pack(set, 10));
  TTransporter reader(&s);
  EXPECT_FALSE(reader.OwnsStream());
  EXPECT_TRUE(reader.FieldByName("ID").Required());
  EXPECT_EQ(reader.FieldByName("Name").Size(), 255);
  EXPECT_EQ(reader.FieldByName("Amount").DataType(), TFieldType::BCD);
  EXPECT_EQ(reader.Params().ParamByName("Origin").AsInteger(), 3);
  EXPECT_EQ(reader.Header().Version, '0');
  EXPECT_TRUE(reader.IsEmpty());
  EXPECT_FALSE(reader.CanModify());
  EXPECT_THROW(reader.Append(), Exception);
  EXPECT_THROW(reader.Edit(), Exception);
}

TEST(Transporter, WalksBackwardByReadingAgain) {
  TStaticSet set;
  set.AddField("N", TFieldType::Integer);
  set.AddField("Text", TFieldType::String, 40);
  set.Open();
  const char* texts[] = {"repeated long text", "repeated long text", "other long text", "repeated long text",
                         "repeated long text"};
  for (int i = 0; i < 5; ++i) {
    set.Append();
    set.FieldByName("N").SetAsInteger(i);
    set.FieldByName("Text").SetAsString(texts[i]);
    set.Post();
  }
  std::string packet = Pack(set, PackOptions::RepeatMarks);
  ASSERT_NE(packet.find("\xFF\xFF\xFF\xFF"), std::string::npos);
  TZVMemoryStream s(packet);
  TTransporter reader(&s);
  std::vector<std::string> back;
  for (reader.Last(); !reader.Bof(); reader.Prior())
    back.push_back(reader.FieldByName("N").AsString() + ":" + reader.FieldByName("Text").AsString());
  EXPECT_EQ(back, (std::vector<std::string>{"4:repeated long text", "3:repeated long text", "2:other long text",
                                            "1:repeated long text", "0:repeated long text"}));
  reader.SetRecNo(2);
  EXPECT_EQ(reader.RecordCount(), 5);
  EXPECT_EQ(reader.RecNo(), 2);  // counting kept the position
  EXPECT_TRUE(reader.Locate("Text", "OTHER LONG TEXT", {.CaseInsensitive = true}));
  EXPECT_EQ(reader.FieldByName("N").AsInteger(), 2);
  EXPECT_FALSE(reader.Locate("N", 9));
  EXPECT_EQ(reader.FieldByName("N").AsInteger(), 2);
}

TEST(Transporter, BlobsAreReadFromTheStreamOnDemand) {
  TStaticSet set;
  set.AddField("ID", TFieldType::Integer);
  set.AddField("Data", TFieldType::Blob);
  set.Open();
  set.Append();
  set.FieldByName("ID").SetAsInteger(1);
  set.FieldByName("Data").SetAsBytes("first-blob");
  set.Post();
  set.Append();
  set.FieldByName("ID").SetAsInteger(2);
  set.FieldByName("Data").SetAsBytes("second-blob");
  set.Post();
  std::string packet = Pack(set, 0);

  TZVMemoryStream s(packet);
  TTransporter reader(&s);
  int64_t before = s.Position();
  // The bytes are fetched when the field is read, not when the record was.
  size_t at = packet.find("first-blob");
  s.Memory()[at] = 'F';
  EXPECT_EQ(reader.FieldByName("Data").AsBytes(), "First-blob");
  EXPECT_EQ(s.Position(), before);
  auto blob = reader.FieldByName("Data").CreateBlobStream(TBlobStreamMode::Read);
  EXPECT_EQ(blob->Size(), 10);
  reader.Next();
  EXPECT_EQ(reader.FieldByName("Data").AsBytes(), "second-blob");
  reader.Next();
  EXPECT_TRUE(reader.Eof());
}

TEST(Transporter, StreamOwnershipAndShortStreams) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  AppendIndex(set, 1, "bin", true);
  std::string packet = Pack(set, 10);

  TTransporter owner(std::make_unique<TZVMemoryStream>(packet));
  EXPECT_TRUE(owner.OwnsStream());
  std::unique_ptr<TZVStream> kept = owner.ReleaseStream();
  EXPECT_FALSE(owner.OwnsStream());
  EXPECT_EQ(owner.FieldByName("Name").AsString(), "bin");
  owner.Close();
  EXPECT_EQ(kept->Size(), static_cast<int64_t>(packet.size()));  // still alive

  TTransporter empty;
  try {
    empty.Open();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Передан пустой (nil) поток с данными");
  }
  EXPECT_THROW(empty.OpenOnStream(static_cast<TZVStream*>(nullptr)), Exception);

  TZVMemoryStream shortStream(packet.substr(0, 8));
  empty.OpenOnStream(&shortStream);
  EXPECT_TRUE(empty.Active());
  EXPECT_EQ(empty.FieldCount(), 0);
  EXPECT_TRUE(empty.Eof());
  EXPECT_EQ(empty.RecordCount(), 0);
}

TEST(Transporter, FaultsSurfaceWhereTheyAre) {
  TStaticSet set;
  DefineIndex(set);
  set.Open();
  AppendIndex(set, 1, "bin", true);
  std::string packet = Pack(set, 10);
  std::string header = packet.substr(0, packet.size() - 1 - 15);

  std::string bad = packet;
  bad[4] = '3';
  TZVMemoryStream s1(bad);
  TTransporter reader;
  EXPECT_THROW(reader.OpenOnStream(&s1), Exception);
  EXPECT_FALSE(reader.Active());

  // The first record is fine, the second cut short: Next reports it.
  TZVMemoryStream s2(packet.substr(0, packet.size() - 1) + "\x20\x07\x02");
  reader.OpenOnStream(&s2);
  EXPECT_EQ(reader.FieldByName("ID").AsInteger(), 1);
  try {
    reader.Next();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Неверные данные в потоке IMD: неожиданный конец потока");
  }
  EXPECT_EQ(reader.FieldByName("ID").AsInteger(), 1);  // still on the good record
  reader.First();
  EXPECT_EQ(reader.FieldByName("Name").AsString(), "bin");

  // Without an end mark.
  TZVMemoryStream s3(header);
  EXPECT_THROW(reader.OpenOnStream(&s3), Exception);
}

TEST(Transporter, DescriptorFileFlow) {
  // A descriptor as the update engine reads it: length, packet, CRC.
  TStaticSet d;
  d.AddField("Kind", TFieldType::String, 20);
  d.AddField("FileName", TFieldType::String, 255);
  d.AddField("FileLength", TFieldType::Integer);
  d.AddField("FileCRC", TFieldType::Integer);
  d.Open();
  auto add = [&](const char* kind, const char* name, int len) {
    d.Append();
    d.FieldByName("Kind").SetAsString(kind);
    d.FieldByName("FileName").SetAsString(name);
    d.FieldByName("FileLength").SetAsInteger(len);
    d.FieldByName("FileCRC").SetAsInteger(-1);
    d.Post();
  };
  add("sourceversion", "4.0.xx.1", 0);
  add("DestVersion", "4.0.12.1", 0);
  add("File", "Files.001", 100);
  add("File", "Files.002", 50);
  add("SourceLength", "", 150);
  TZVMemoryStream file;
  file.WriteU32(0);
  PackMappedData(&d, &file, {}, 0);
  file.WriteU32(0);

  file.SetPosition(4);
  TStaticSet descriptor;
  {
    TTransporter reader(&file);
    descriptor.Assign(reader);
  }
  descriptor.SetFilter("Kind=\"File\"");
  descriptor.SetFiltered(true);
  std::vector<std::string> parts;
  for (descriptor.Last(); !descriptor.Bof(); descriptor.Prior()) parts.push_back(descriptor.FieldByName("FileName").AsString());
  EXPECT_EQ(parts, (std::vector<std::string>{"Files.002", "Files.001"}));
  descriptor.SetFiltered(false);
  descriptor.First();
  ASSERT_TRUE(descriptor.Locate("Kind", "SourceVersion", {.CaseInsensitive = true}));
  EXPECT_EQ(descriptor.FieldByName("FileName").AsString(), "4.0.xx.1");
  EXPECT_EQ(descriptor.FieldByName("FileCRC").AsInteger(), -1);
}

TEST(SharedStream, ReadsMemoryItDoesNotOwnAndStoresNothing) {
  const std::string block = "0123456789";
  TSharedStream s(block.data(), 3, static_cast<int64_t>(block.size()));
  EXPECT_EQ(s.Position(), 3);
  EXPECT_EQ(s.Size(), 10);
  char buf[4] = {};
  EXPECT_EQ(s.Read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(s.Write("xx", 2), 0);
  EXPECT_EQ(block, "0123456789");
  EXPECT_THROW(s.WriteBuffer("x", 1), EStreamError);
  EXPECT_THROW(s.SetSize(1), EStreamError);
  s.Seek(-2, SeekOrigin::End);
  EXPECT_EQ(s.Read(buf, 4), 2);
  EXPECT_THROW(s.Seek(-1, SeekOrigin::Begin), EStreamError);

  TStaticSet set;
  DefineIndex(set);
  set.Open();
  AppendIndex(set, 9, "x", false);
  std::string packet = "pre" + Pack(set, 10);
  TSharedStream shared(packet.data(), 3, static_cast<int64_t>(packet.size()));
  TTransporter reader(&shared);
  EXPECT_EQ(reader.FieldByName("ID").AsInteger(), 9);
}

}  // namespace
}  // namespace ztv
