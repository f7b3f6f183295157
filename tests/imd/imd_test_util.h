// Helpers shared by the IMD tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"
#include "formats/imd/dataset.h"
#include "formats/imd/static_set.h"

namespace ztv::test {

// "54 52 4E F1 'TRN'" -> bytes; quoted parts are literal text.
inline std::string Bytes(std::string_view spec) {
  std::string out;
  for (size_t i = 0; i < spec.size();) {
    char c = spec[i];
    if (c == ' ') {
      ++i;
    } else if (c == '\'') {
      size_t end = spec.find('\'', i + 1);
      if (end == std::string_view::npos) end = spec.size();
      out.append(spec.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      out += static_cast<char>(std::stoi(std::string(spec.substr(i, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

inline std::string Hex(std::string_view bytes) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

// The backup index: ID integer, Name string of 255, IsDirectory boolean.
inline void DefineIndex(TDataSet& set) {
  set.AddField("ID", TFieldType::Integer);
  set.AddField("Name", TFieldType::String, 255);
  set.AddField("IsDirectory", TFieldType::Boolean);
}

inline void AppendIndex(TDataSet& set, int id, const char* name, bool isDir) {
  set.Append();
  set.FieldByName("ID").SetAsInteger(id);
  if (name) set.FieldByName("Name").SetAsString(name);
  set.FieldByName("IsDirectory").SetAsBoolean(isDir);
  set.Post();
}

// Every record as rows of native values (nullopt = null), from the first.
inline std::vector<std::vector<TNativeValue>> Rows(TDataSet& set) {
  std::vector<std::vector<TNativeValue>> rows;
  for (set.First(); !set.Eof(); set.Next()) {
    std::vector<TNativeValue> row;
    for (int i = 0; i < set.FieldCount(); ++i) row.push_back(set.Fields(i).Native());
    rows.push_back(std::move(row));
  }
  return rows;
}


// A set with a field of every type a packet can carry and three records:
// every value set, every value null, and values that repeat the first
// record's long texts.
inline void BuildAllTypes(TStaticSet& set) {
  set.AddField("S", TFieldType::String, 20);
  set.AddField("Small", TFieldType::Smallint);
  set.AddField("Int", TFieldType::Integer);
  set.AddField("W", TFieldType::Word);
  set.AddField("B", TFieldType::Boolean);
  set.AddField("F", TFieldType::Float);
  set.AddField("Cur", TFieldType::Currency);
  set.AddField("Bcd", TFieldType::BCD);
  set.AddField("D", TFieldType::Date);
  set.AddField("T", TFieldType::Time);
  set.AddField("DT", TFieldType::DateTime);
  set.AddField("Bytes", TFieldType::Bytes, 4);
  set.AddField("VarBytes", TFieldType::VarBytes, 6);
  set.AddField("Auto", TFieldType::AutoInc);
  set.AddField("Blob", TFieldType::Blob);
  set.AddField("Memo", TFieldType::Memo);
  set.AddField("Graphic", TFieldType::Graphic);
  set.AddField("FmtMemo", TFieldType::FmtMemo);
  set.AddField("Ole", TFieldType::OleObject);
  set.AddField("Ole2", TFieldType::OleObject2);
  set.AddField("Typed", TFieldType::TypedBinary);
  set.AddField("Cursor", TFieldType::Cursor, 3);
  set.AddField("Fixed", TFieldType::FixedChar, 5);
  set.AddField("Wide", TFieldType::WideString, 4);
  set.AddField("Large", TFieldType::Largeint);
  set.AddField("Adt", TFieldType::ADT, 2);
  set.AddField("Arr", TFieldType::Array, 2);
  set.AddField("Ref", TFieldType::Reference, 2);
  set.AddField("DS", TFieldType::DataSet, 2);
  set.AddField("ExtBlob", TFieldType::ExtBlob);
  set.AddField("ExtBlob2", TFieldType::ExtBlob2);
  set.AddField("Guid", TFieldType::Guid, 38);
  set.Open();
  auto fill = [&](const char* text) {
    set.FieldByName("S").SetAsString(text);
    set.FieldByName("Small").SetAsInteger(-1234);
    set.FieldByName("Int").SetAsInteger(-2000000000);
    set.FieldByName("W").SetAsInteger(65535);
    set.FieldByName("B").SetAsBoolean(true);
    set.FieldByName("F").SetAsFloat(3.25);
    set.FieldByName("Cur").SetAsFloat(-0.5);
    set.FieldByName("Bcd").SetAsCurrency(TCurrency::FromScaled(123456789));
    set.FieldByName("D").SetAsInteger(738000);
    set.FieldByName("T").SetAsInteger(3600000);
    set.FieldByName("DT").SetAsFloat(45000.75);
    set.FieldByName("Bytes").SetAsBytes(std::string("\x01\x00\xFE", 3));
    set.FieldByName("VarBytes").SetAsBytes("xyz");
    set.FieldByName("Auto").SetAsInteger(17);
    set.FieldByName("Blob").SetAsBytes(std::string("\x00\xFF\x10", 3));
    set.FieldByName("Memo").SetAsString("Многострочный\r\nтекст");
    set.FieldByName("Graphic").SetAsBytes("GIF89a");
    set.FieldByName("FmtMemo").SetAsString("{\\rtf1 Ж}");
    set.FieldByName("Ole").SetAsBytes("ole");
    set.FieldByName("Ole2").SetAsBytes("");
    set.FieldByName("Typed").SetAsBytes("typed");
    set.FieldByName("Cursor").SetAsBytes("abc");
    set.FieldByName("Fixed").SetAsString("Абв");
    set.FieldByName("Wide").SetAsString("Ωλ");
    set.FieldByName("Large").SetAsLargeInt(-(int64_t{1} << 50));
    set.FieldByName("Adt").SetAsBytes("ad");
    set.FieldByName("Arr").SetAsBytes("ar");
    set.FieldByName("Ref").SetAsBytes("re");
    set.FieldByName("DS").SetAsBytes("ds");
    set.FieldByName("ExtBlob").SetAsBytes("ext");
    set.FieldByName("ExtBlob2").SetAsBytes("ext2");
    set.FieldByName("Guid").SetAsString("{00000000-0000-0000-0000-000000000001}");
  };
  set.Append();
  fill("Длинный текст 123");
  set.Post();
  set.Append();
  set.Post();
  set.Append();
  fill("Длинный текст 123");
  set.Post();
  set.Append();
  fill("short");
  set.Post();
}

}  // namespace ztv::test
