// The IMD packet: the byte form of a dataset (field descriptors, optional
// parameters, records). This header holds the format's building blocks,
// shared by PackMappedData/UnPackMappedData (imd_tools.h), TTransporter
// (transporter.h) and the tools that inspect packets.
//
// "TRN" layout (integers little-endian):
//   54 52 4E F1, version "0"/"1"/"2", u16 field count, descriptors,
//   parameter block, records (status 20 hex, presence bitmap, values), FF.
// Descriptor: u8 type, u16 flags, u32 size, u8 name length + CP1251 name,
//   then a u32-length text when flag 8000 hex is set and another when 4000
//   hex is set (both skipped on reading).
// Older layout: u32 record count, u32 field count, u32 absolute position of
//   the first record, u32 absolute position after the last, u32 0, then
//   36-byte descriptors (33-byte name area, u8 type, u16 size); records are
//   bitmap and values with no status and no end mark.
// Values: blobs and strings as u32 length + bytes (a string length of -1
// in versions "1" and "2" repeats the field's previous text), every other
// type as exactly descriptor-size bytes. Texts are CP1251 and end at their
// first NUL byte, if any.
//
// Every length and count read from a packet is checked against the bytes
// that remain in the stream before it is used.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/stream.h"
#include "formats/imd/dataset.h"
#include "formats/imd/field_types.h"

namespace ztv {

// The unit's message table.
namespace imd_messages {
inline constexpr const char* kNilDataSet = "Передан пустой (nil) набор данных";
inline constexpr const char* kNilStream = "Передан пустой (nil) поток с данными";
inline constexpr const char* kNoRoomForHeader = "В потоке не достаточно места для заголовка";
inline constexpr const char* kBadFormat = "Некорректный формат пакета IMD";
inline constexpr const char* kBadVersion = "Не поддерживаемая версия формата IMD: получено \"%s\", поддерживается: %s";
inline constexpr const char* kSupportedVersions = "0..2";
inline constexpr const char* kBadData = "Неверные данные в потоке IMD: ";
inline constexpr const char* kUnexpectedEnd = "неожиданный конец потока";
inline constexpr const char* kBadStatus = "ошибка чтения статуса: получено %d, ожидается %d";
inline constexpr const char* kBadString =
    "ошибка чтения строки\r\nпрочитанный размер: %d, допустимый размер: %d, поле: \"%s\"\r\nпозиция: %d";
// A blob length below zero (a continuation of kBadData, like the two above).
inline constexpr const char* kBadBlob = "ошибка чтения данных поля\r\nпрочитанный размер: %d, поле: \"%s\"\r\nпозиция: %d";
}  // namespace imd_messages

inline constexpr uint8_t kIMDSignature[4] = {0x54, 0x52, 0x4E, 0xF1};
inline constexpr uint8_t kIMDRecordStatus = 0x20;
inline constexpr uint8_t kIMDEndMark = 0xFF;
// Bytes a packet needs at least (signature, version, field count, parameter
// count); fewer make no header.
inline constexpr int64_t kIMDMinimumSize = 9;
inline constexpr int kIMDMaxLegacyFields = 1000;
inline constexpr int kIMDLegacyHeaderSize = 20;
inline constexpr int kIMDLegacyDescriptorSize = 36;
inline constexpr int kIMDLegacyNameLength = 32;

// Descriptor flag bits.
namespace TIMDFlags {
inline constexpr uint16_t ReadOnly = 0x0002;
inline constexpr uint16_t Required = 0x0004;
inline constexpr uint16_t FixedChar = 0x0020;
inline constexpr uint16_t Attributes = ReadOnly | Required | FixedChar;
inline constexpr uint16_t RepeatMarks = 0x2000;
inline constexpr uint16_t SecondText = 0x4000;
inline constexpr uint16_t FirstText = 0x8000;
}  // namespace TIMDFlags

// One field descriptor: what the packet stores, and what a run keeps with it.
struct TIMDFieldRec {
  TFieldType DataType = TFieldType::Unknown;
  uint16_t Flags = 0;
  uint32_t Size = 0;  // as stored (older layout: strings without the +1)
  std::string Name;   // UTF-8

  // Bytes of a fixed-size value in a record; for strings the longest text + 1.
  int64_t ValueSize = 0;
  // How the packet's values of this field read as native values.
  TValueShape Shape;
  // The dataset field the values go to or come from (-1: none).
  int Bound = -1;
  // Previous record's text of a string field (CP1251), for repeat marks.
  std::optional<std::string> PrevText;
};
using TIMDFields = std::vector<TIMDFieldRec>;

// State of one packing or unpacking run.
struct TIMDHeader {
  char Version = '0';  // '0', '1', '2'; '-' for the older layout
  TIMDFields Fields;
  int64_t RecordsStart = 0;
  int64_t RecordsEnd = std::numeric_limits<int64_t>::max();  // bounded only in the older layout
  int32_t LegacyRecordCount = 0;
  uint32_t Options = 0;

  bool IsLegacy() const { return Version == '-'; }
  bool AllowsRepeatMarks() const { return Version == '1' || Version == '2'; }
  int64_t BitmapSize() const { return (static_cast<int64_t>(Fields.size()) + 7) / 8; }
};

// Fills ValueSize and Shape of a descriptor from its type and stored size
// (`legacy`: the older layout, where strings store their size without +1).
// A size the type cannot have raises kBadFormat.
void PrepareIMDField(TIMDFieldRec& field, bool legacy);

// Reads the header at the stream's position (either layout): descriptors
// and parameters. Parameters go to `params` when given, else are dropped.
// The stream is left at the first record. Needs at least kIMDMinimumSize
// bytes; the caller checks that with its own message.
void ReadIMDHeader(TZVStream& stream, TIMDHeader& header, TParams* params);

// One value of a record as read.
struct TIMDValue {
  bool Present = false;
  TNativeValue Value;    // decoded, when the value was asked for
  int64_t BlobPos = -1;  // stream position of a blob's length, when blobs are read by position
};

enum class TIMDBlobMode { Read, ByPosition };

// Reads one record at the stream's position into `values` (one per
// descriptor). Values of descriptors with Bound < 0 are passed over unless
// `decodeAll`. Returns false at the end: after the end mark ("TRN", the
// stream then stands right after it) or at the recorded end (older layout).
bool ReadIMDRecord(TZVStream& stream, TIMDHeader& header, std::vector<TIMDValue>& values, bool decodeAll,
                   TIMDBlobMode blobs);

// Reads the blob whose length lies at `position` as the descriptor's native
// value; the stream's position is restored.
TNativeValue ReadIMDBlobAt(TZVStream& stream, const TIMDFieldRec& field, int64_t position);

// Writing. Texts are converted to CP1251; text that cannot be expressed
// raises an error naming the field.
void WriteIMDHeader(TZVStream& stream, const TIMDHeader& header, const TParams* params);
// Status, bitmap and values of one record; `values` has one entry per
// descriptor. Updates PrevText for repeat marks when `repeatMarks`.
void WriteIMDRecord(TZVStream& stream, TIMDHeader& header, const std::vector<TNativeValue>& values,
                    bool repeatMarks, bool legacy);

// UTF-16LE helpers for wide strings (invalid UTF-8 raises on encoding).
std::string Utf8ToUtf16Le(std::string_view utf8);
std::string Utf16LeToUtf8(std::string_view utf16, bool stopAtNul);

}  // namespace ztv
