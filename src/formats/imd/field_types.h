// Field types and values of the dataset model.
//
// Type codes are the numbers stored in IMD packets; they must never be
// renumbered. Each type has one in-memory ("native") value form, held as a
// byte string:
//   - text types (String, FixedChar, Guid, WideString, Memo, FmtMemo): UTF-8;
//   - the other blob types: the bytes themselves;
//   - every other type: exactly DataSize bytes, little-endian (see below).
// Native forms of the fixed-size types:
//   Smallint int16, Integer int32, Word uint16, AutoInc int32, Largeint int64,
//   Date int32 (day number), Time int32 (milliseconds since midnight),
//   Boolean 2 bytes (0 false, anything else true; written as 1),
//   Float, Currency and DateTime an IEEE double,
//   BCD a TCurrency (int64 amount x 10000),
//   Bytes Size bytes, VarBytes a uint16 length then Size bytes,
//   Cursor, ADT, Array, Reference, DataSet, Variant, Interface, IDispatch:
//   Size opaque bytes.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ztv {

enum class TFieldType : uint8_t {
  Unknown = 0,
  String = 1,
  Smallint = 2,
  Integer = 3,
  Word = 4,
  Boolean = 5,
  Float = 6,
  Currency = 7,
  BCD = 8,
  Date = 9,
  Time = 10,
  DateTime = 11,
  Bytes = 12,
  VarBytes = 13,
  AutoInc = 14,
  Blob = 15,
  Memo = 16,
  Graphic = 17,
  FmtMemo = 18,
  OleObject = 19,
  OleObject2 = 20,
  TypedBinary = 21,
  Cursor = 22,
  FixedChar = 23,
  WideString = 24,
  Largeint = 25,
  ADT = 26,
  Array = 27,
  Reference = 28,
  DataSet = 29,
  ExtBlob = 30,
  ExtBlob2 = 31,
  Variant = 32,
  Interface = 33,
  IDispatch = 34,
  Guid = 35,
};

constexpr int kMaxFieldTypeCode = 35;

// How a value of a type is read and written through the typed accessors.
enum class TValueKind { Text, Integer, Boolean, Float, Currency, Bytes };

TValueKind KindOf(TFieldType type);
// Blob types keep their value outside the record (length-prefixed in packets).
bool IsBlobType(TFieldType type);
// Blob types whose content is text (CP1251 in packets, UTF-8 in memory).
bool IsMemoType(TFieldType type);
// Types whose value is text held in memory as UTF-8.
bool IsTextType(TFieldType type);
// Types a packet never carries (variant and interface kinds).
bool IsUnstorableType(TFieldType type);
// Types whose size is fixed by the type itself; AddField ignores their size.
bool HasIntrinsicSize(TFieldType type);
// Bytes of the native value of a non-blob field of this type and declared
// size; 0 for blobs. For String/FixedChar/Guid this is size + 1 (the room a
// terminated text takes), as the packet descriptor stores it.
int64_t DataSizeOf(TFieldType type, int64_t size);
// A readable name of the type ("String", "Integer", ...).
const char* FieldTypeName(TFieldType type);

// A fixed-point amount with four decimals, stored as the amount x 10000.
struct TCurrency {
  int64_t Scaled = 0;

  static TCurrency FromScaled(int64_t scaled) { return TCurrency{scaled}; }
  // Rounds to four decimals; out-of-range values are an error.
  static TCurrency FromDouble(double value);
  double ToDouble() const { return static_cast<double>(Scaled) / 10000.0; }
  // "12.5", "-0.0001", "7": no trailing zeros, "." as separator.
  std::string ToString() const;
  // Accepts an optional sign, digits and up to four decimals after "." or ",".
  static bool TryParse(std::string_view text, TCurrency& out);

  auto operator<=>(const TCurrency&) const = default;
};

// A loosely typed value, used where a caller names values to look for
// (Locate, FindByKey, filters). Default-constructed it is null.
class TVarValue {
 public:
  using Storage = std::variant<std::monostate, int64_t, double, bool, std::string, TCurrency>;

  TVarValue() = default;
  TVarValue(std::nullptr_t) {}
  TVarValue(int v) : v_(static_cast<int64_t>(v)) {}
  TVarValue(int64_t v) : v_(v) {}
  TVarValue(uint32_t v) : v_(static_cast<int64_t>(v)) {}
  TVarValue(double v) : v_(v) {}
  TVarValue(bool v) : v_(v) {}
  TVarValue(const char* v) : v_(std::string(v)) {}
  TVarValue(std::string v) : v_(std::move(v)) {}
  TVarValue(std::string_view v) : v_(std::string(v)) {}
  TVarValue(TCurrency v) : v_(v) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
  const Storage& Value() const { return v_; }
  // The value as text (null gives "").
  std::string ToString() const;

 private:
  Storage v_;
};

using TVarValues = std::vector<TVarValue>;

// The shape of one value: what the native bytes mean. Fields and parameters
// both have one; the conversions below work on shapes so that packet values,
// field values and parameter values share one set of rules.
struct TValueShape {
  TFieldType Type = TFieldType::Unknown;
  int64_t Size = 0;      // declared size (characters, bytes)
  int64_t DataSize = 0;  // native bytes of fixed-size types
  std::string Name;      // for messages

  static TValueShape Of(TFieldType type, int64_t size, std::string name = {});
};

using TNativeValue = std::optional<std::string>;

// Typed reading of a native value. A null value reads as "", 0, false or
// empty bytes. Impossible conversions raise Exception.
std::string NativeAsString(const TValueShape& shape, const TNativeValue& value);
int64_t NativeAsLargeInt(const TValueShape& shape, const TNativeValue& value);
bool NativeAsBoolean(const TValueShape& shape, const TNativeValue& value);
double NativeAsFloat(const TValueShape& shape, const TNativeValue& value);
TCurrency NativeAsCurrency(const TValueShape& shape, const TNativeValue& value);
// Fixed types: the native bytes; VarBytes: the stored bytes without the
// length; text and blobs: the content.
std::string NativeAsBytes(const TValueShape& shape, const TNativeValue& value);

// Typed writing: builds the native value of `shape` from a typed value.
// Text is cut to the declared size (in characters) of sized text types.
std::string NativeFromString(const TValueShape& shape, std::string_view text);
std::string NativeFromLargeInt(const TValueShape& shape, int64_t value);
std::string NativeFromBoolean(const TValueShape& shape, bool value);
std::string NativeFromFloat(const TValueShape& shape, double value);
std::string NativeFromCurrency(const TValueShape& shape, TCurrency value);
std::string NativeFromBytes(const TValueShape& shape, std::string_view bytes);
TNativeValue NativeFromVar(const TValueShape& shape, const TVarValue& value);
// Converts a value of one shape into another: a plain copy (size adjusted)
// when the types agree, otherwise through the target's value kind.
TNativeValue ConvertNative(const TValueShape& from, const TNativeValue& value, const TValueShape& to);
// Orders two non-null native values of one shape (texts by code point,
// numbers numerically, bytes lexicographically).
int CompareNative(const TValueShape& shape, const std::string& a, const std::string& b);

// Little-endian helpers shared by the format code.
void PutLE(std::string& out, uint64_t value, int bytes);
uint64_t GetLE(const char* p, int bytes);

}  // namespace ztv
