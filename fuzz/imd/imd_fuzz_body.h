// One fuzz input: the bytes are read as an IMD packet by UnPackMappedData,
// by TTransporter and by the listing of `ztvtool imd dump`. The first two
// must either both fail with a message or agree on every value; what
// UnPackMappedData read must survive packing and reading again. A disagreement aborts. Shared by the fuzz target and by the unit
// test that replays the corpus and the inputs that once failed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/stream.h"
#include "formats/imd/imd_dump.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "formats/imd/transporter.h"

namespace ztv::fuzz {

using Rows = std::vector<std::vector<TNativeValue>>;

inline Rows ReadRows(TDataSet& set) {
  Rows rows;
  for (set.First(); !set.Eof(); set.Next()) {
    std::vector<TNativeValue> row;
    for (int i = 0; i < set.FieldCount(); ++i) row.push_back(set.Fields(i).Native());
    rows.push_back(std::move(row));
  }
  return rows;
}

inline void Require(bool condition) {
  if (!condition) std::abort();
}

inline void CheckImdPacket(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  TStaticSet unpacked;
  std::optional<Rows> unpackedRows;
  try {
    TZVMemoryStream s(bytes);
    int count = UnPackMappedData(&s, &unpacked, UnpackOptions::RecreateFields | UnpackOptions::WithParams);
    unpackedRows = ReadRows(unpacked);
    Require(static_cast<int>(unpackedRows->size()) == count);
  } catch (const Exception&) {
  }

  std::optional<Rows> readerRows;
  TTransporter reader;
  try {
    TSharedStream s(data, 0, static_cast<int64_t>(size));
    reader.OpenOnStream(&s);
    readerRows = ReadRows(reader);
    // One step back, which reads again from the first record.
    if (readerRows->size() >= 2) {
      reader.Last();
      reader.Prior();
      std::vector<TNativeValue> row;
      for (int i = 0; i < reader.FieldCount(); ++i) row.push_back(reader.Fields(i).Native());
      Require(row == (*readerRows)[readerRows->size() - 2]);
    }
    reader.Close();
  } catch (const Exception&) {
    reader.Close();
  }

  for (TIMDDumpFormat format : {TIMDDumpFormat::Text, TIMDDumpFormat::Json}) {
    try {
      TSharedStream s(data, 0, static_cast<int64_t>(size));
      DumpIMDPacket(s, format);
    } catch (const Exception&) {
    }
  }

  if (size >= 9) {
    Require(unpackedRows.has_value() == readerRows.has_value());
    if (unpackedRows) Require(*unpackedRows == *readerRows);
  }
  if (!unpackedRows) return;
  // Variant and interface fields can be read but are never written.
  for (int i = 0; i < unpacked.FieldCount(); ++i)
    if (IsUnstorableType(unpacked.Fields(i).DataType())) return;

  // What was read packs and reads back to the same values.
  TZVMemoryStream again;
  PackMappedData(&unpacked, &again, {}, PackOptions::WithParams | PackOptions::RepeatMarks);
  again.SetPosition(0);
  TStaticSet back;
  UnPackMappedData(&again, &back, UnpackOptions::RecreateFields | UnpackOptions::WithParams);
  Require(ReadRows(back) == *unpackedRows);
}

}  // namespace ztv::fuzz
