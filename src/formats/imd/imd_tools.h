// Packing a dataset into an IMD packet and unpacking one into a dataset.
//
//   TStaticSet index = ...;
//   TZVMemoryStream s;
//   SaveDataSetToStream(index, s);             // options 10, as "Index.trs" is written
//   s.SetPosition(0);
//   TStaticSet copy;
//   LoadDataSetFromStream(s, copy);            // fields recreated from the packet
//
// The layout and the messages are described in imd_format.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"
#include "formats/imd/dataset.h"

namespace ztv {

namespace PackOptions {
inline constexpr uint32_t WithParams = 2;      // store the dataset's parameters
inline constexpr uint32_t LegacyLayout = 4;    // the older layout without signature
inline constexpr uint32_t WithAttributes = 8;  // store required/read-only/fixed-length bits
inline constexpr uint32_t SkipCalculated = 16; // leave out calculated and lookup fields
inline constexpr uint32_t RepeatMarks = 32;    // version "1": repeated long texts cost 4 bytes
inline constexpr uint32_t StrictStatus = 64;   // version "2": repeat marks and strict status bytes
}  // namespace PackOptions

namespace UnpackOptions {
inline constexpr uint32_t RecreateFields = 1;     // replace the dataset's fields by the packet's
inline constexpr uint32_t WithParams = 2;         // load the packet's parameters
inline constexpr uint32_t SkipMissingFields = 4;  // pass over packet fields the dataset lacks
inline constexpr uint32_t WithAttributes = 8;     // apply the stored attribute bits to recreated fields
}  // namespace UnpackOptions

// A field mapping: absent (empty text) = every field under its own name;
// otherwise entries "Name" or "Name=Other" separated by commas. A field
// takes part when an entry names it (ignoring case) or is "*"; a named entry
// wins over "*". After "=" stands the name on the other side; an empty one
// leaves the field out. Unlisted fields are left out.
class TFieldMapping {
 public:
  explicit TFieldMapping(std::string_view text);
  // The name on the other side; empty when the field does not take part.
  std::string Map(std::string_view name) const;
  bool IsAbsent() const { return absent_; }

 private:
  struct Entry {
    std::string from;
    std::optional<std::string> to;
  };
  bool absent_ = true;
  std::vector<Entry> entries_;
};

// Appends one packet of `dataSet` (its fields, parameters with WithParams,
// and all its records from the first when it is open) at the stream's
// position. Returns the number of records written. The dataset is left
// after its last record.
int PackMappedData(TDataSet* dataSet, TZVStream* stream, std::string_view fieldMapping = {}, uint32_t options = 0);

// Reads one packet at the stream's position and appends its records to
// `dataSet` (opened when closed). The stream is left after the packet.
// Returns the number of records appended. On failure the records appended
// so far stay, the one being read is dropped.
int UnPackMappedData(TZVStream* stream, TDataSet* dataSet, uint32_t options = 0, std::string_view fieldMapping = {});

// The two short forms: save = options WithParams + WithAttributes, no
// mapping; load = the given options plus WithParams, no mapping.
int SaveDataSetToStream(TDataSet& dataSet, TZVStream& stream);
int LoadDataSetFromStream(TZVStream& stream, TDataSet& dataSet, uint32_t options = UnpackOptions::RecreateFields);

}  // namespace ztv
