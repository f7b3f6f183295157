#include "formats/imd/field_types.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "core/errors.h"
#include "core/text.h"

namespace ztv {

TValueKind KindOf(TFieldType type) {
  switch (type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
    case TFieldType::Guid:
    case TFieldType::WideString:
    case TFieldType::Memo:
    case TFieldType::FmtMemo:
      return TValueKind::Text;
    case TFieldType::Smallint:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::AutoInc:
    case TFieldType::Largeint:
    case TFieldType::Date:
    case TFieldType::Time:
      return TValueKind::Integer;
    case TFieldType::Boolean:
      return TValueKind::Boolean;
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::DateTime:
      return TValueKind::Float;
    case TFieldType::BCD:
      return TValueKind::Currency;
    default:
      return TValueKind::Bytes;
  }
}

bool IsBlobType(TFieldType type) {
  int code = static_cast<int>(type);
  return (code >= 15 && code <= 21) || code == 30 || code == 31;
}

bool IsMemoType(TFieldType type) { return type == TFieldType::Memo || type == TFieldType::FmtMemo; }

bool IsTextType(TFieldType type) { return KindOf(type) == TValueKind::Text; }

bool IsUnstorableType(TFieldType type) {
  return type == TFieldType::Variant || type == TFieldType::Interface || type == TFieldType::IDispatch;
}

bool HasIntrinsicSize(TFieldType type) {
  switch (type) {
    case TFieldType::Smallint:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::Boolean:
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD:
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime:
    case TFieldType::AutoInc:
    case TFieldType::Largeint:
      return true;
    default:
      return false;
  }
}

int64_t DataSizeOf(TFieldType type, int64_t size) {
  switch (type) {
    case TFieldType::Smallint:
    case TFieldType::Word:
    case TFieldType::Boolean:
      return 2;
    case TFieldType::Integer:
    case TFieldType::AutoInc:
    case TFieldType::Date:
    case TFieldType::Time:
      return 4;
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD:
    case TFieldType::DateTime:
    case TFieldType::Largeint:
      return 8;
    case TFieldType::String:
    case TFieldType::FixedChar:
    case TFieldType::Guid:
      return size + 1;
    case TFieldType::WideString:
      return size * 2;
    case TFieldType::VarBytes:
      return size + 2;
    default:
      return IsBlobType(type) ? 0 : size;
  }
}

const char* FieldTypeName(TFieldType type) {
  static const char* const names[] = {
      "Unknown",   "String",     "Smallint",    "Integer",  "Word",       "Boolean",   "Float",
      "Currency",  "BCD",        "Date",        "Time",     "DateTime",   "Bytes",     "VarBytes",
      "AutoInc",   "Blob",       "Memo",        "Graphic",  "FmtMemo",    "OleObject", "OleObject2",
      "TypedBinary", "Cursor",   "FixedChar",   "WideString", "Largeint", "ADT",       "Array",
      "Reference", "DataSet",    "ExtBlob",     "ExtBlob2", "Variant",    "Interface", "IDispatch",
      "Guid"};
  int code = static_cast<int>(type);
  return code <= kMaxFieldTypeCode ? names[code] : "Unknown";
}

// ---------------------------------------------------------------------------
// TCurrency

TCurrency TCurrency::FromDouble(double value) {
  double scaled = std::round(value * 10000.0);
  if (!std::isfinite(scaled) || scaled >= 9.2233720368547758e18 || scaled < -9.2233720368547758e18)
    throw Exception(Format("Значение %s вне допустимого диапазона денежного типа", fmt::format("{}", value)));
  return TCurrency{static_cast<int64_t>(scaled)};
}

std::string TCurrency::ToString() const {
  uint64_t magnitude = Scaled < 0 ? 0 - static_cast<uint64_t>(Scaled) : static_cast<uint64_t>(Scaled);
  std::string out = Scaled < 0 ? "-" : "";
  out += std::to_string(magnitude / 10000);
  uint64_t frac = magnitude % 10000;
  if (frac != 0) {
    std::string digits = fmt::format("{:04d}", frac);
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    out += "." + digits;
  }
  return out;
}

bool TCurrency::TryParse(std::string_view text, TCurrency& out) {
  std::string t = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  uint64_t whole = 0;
  int digits = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, ++digits) {
    if (whole > 922337203685477ULL) return false;
    whole = whole * 10 + static_cast<uint64_t>(t[i] - '0');
  }
  uint64_t frac = 0;
  int fracDigits = 0;
  if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
    ++i;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, ++fracDigits) {
      if (fracDigits >= 4) return false;
      frac = frac * 10 + static_cast<uint64_t>(t[i] - '0');
    }
  }
  if (i != t.size() || digits + fracDigits == 0) return false;
  for (int k = fracDigits; k < 4; ++k) frac *= 10;
  if (whole > 922337203685477ULL) return false;
  uint64_t scaled = whole * 10000 + frac;
  if (scaled > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0)) return false;
  out.Scaled = negative ? static_cast<int64_t>(0 - scaled) : static_cast<int64_t>(scaled);
  return true;
}

std::string TVarValue::ToString() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return fmt::format("{}", v); }
    std::string operator()(bool v) const { return v ? "True" : "False"; }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(TCurrency v) const { return v.ToString(); }
  };
  return std::visit(Visitor{}, v_);
}

TValueShape TValueShape::Of(TFieldType type, int64_t size, std::string name) {
  TValueShape s;
  s.Type = type;
  s.Size = HasIntrinsicSize(type) ? 0 : size;
  s.DataSize = DataSizeOf(type, s.Size);
  s.Name = std::move(name);
  return s;
}

// ---------------------------------------------------------------------------
// Little-endian helpers

void PutLE(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLE(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * i);
  return v;
}

namespace {

[[noreturn]] void ConversionError(const TValueShape& shape, const char* target) {
  throw Exception(Format("Поле '%s' типа %s нельзя преобразовать в %s", shape.Name, FieldTypeName(shape.Type),
                         target));
}

[[noreturn]] void RangeError(const TValueShape& shape, const std::string& value) {
  throw Exception(Format("Значение %s вне допустимого диапазона поля '%s'", value, shape.Name));
}

// The native bytes of a fixed-size value, made exactly DataSize long.
std::string Fixed(const TValueShape& shape, const std::string& native) {
  std::string v = native;
  v.resize(static_cast<size_t>(shape.DataSize), '\0');
  return v;
}

// Cuts UTF-8 text to at most `count` characters (code points; a byte that
// does not start a valid sequence counts as one character).
std::string CutToChars(std::string_view text, int64_t count, bool utf16Units) {
  int64_t seen = 0;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > text.size() || !IsValidUtf8(text.substr(i, len))) len = 1;
    int64_t units = (utf16Units && len == 4) ? 2 : 1;
    if (seen + units > count) break;
    seen += units;
    i += len;
  }
  return std::string(text.substr(0, i));
}

int64_t DecodeInteger(const TValueShape& shape, const std::string& native) {
  std::string v = Fixed(shape, native);
  switch (shape.Type) {
    case TFieldType::Smallint:
      return static_cast<int16_t>(GetLE(v.data(), 2));
    case TFieldType::Word:
      return static_cast<uint16_t>(GetLE(v.data(), 2));
    case TFieldType::Largeint:
      return static_cast<int64_t>(GetLE(v.data(), 8));
    default:
      return static_cast<int32_t>(GetLE(v.data(), 4));
  }
}

double DecodeDouble(const TValueShape& shape, const std::string& native) {
  std::string v = Fixed(shape, native);
  return std::bit_cast<double>(GetLE(v.data(), 8));
}

bool ParseInt64(std::string_view text, int64_t& out) {
  std::string t = Trim(text);
  const char* b = t.data();
  const char* e = t.data() + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e && b != e;
}

bool ParseDouble(std::string_view text, double& out) {
  std::string t = Trim(text);
  for (char& c : t)
    if (c == ',') c = '.';
  const char* b = t.data();
  const char* e = t.data() + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e && b != e;
}

std::string FormatDouble(double v) { return fmt::format("{}", v); }

}  // namespace

// ---------------------------------------------------------------------------
// Reading

std::string NativeAsBytes(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return {};
  if (shape.Type == TFieldType::VarBytes) {
    std::string v = Fixed(shape, *value);
    uint64_t len = v.size() >= 2 ? GetLE(v.data(), 2) : 0;
    len = std::min<uint64_t>(len, v.size() >= 2 ? v.size() - 2 : 0);
    return v.substr(2, static_cast<size_t>(len));
  }
  if (IsBlobType(shape.Type) || IsTextType(shape.Type)) return *value;
  return Fixed(shape, *value);
}

std::string NativeAsString(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return {};
  switch (KindOf(shape.Type)) {
    case TValueKind::Text:
      return *value;
    case TValueKind::Integer:
      return std::to_string(DecodeInteger(shape, *value));
    case TValueKind::Boolean:
      return NativeAsBoolean(shape, value) ? "True" : "False";
    case TValueKind::Float:
      return FormatDouble(DecodeDouble(shape, *value));
    case TValueKind::Currency:
      return NativeAsCurrency(shape, value).ToString();
    case TValueKind::Bytes:
      return NativeAsBytes(shape, value);
  }
  return {};
}

int64_t NativeAsLargeInt(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return 0;
  switch (KindOf(shape.Type)) {
    case TValueKind::Integer:
      return DecodeInteger(shape, *value);
    case TValueKind::Text: {
      int64_t v;
      if (!ParseInt64(*value, v)) throw Exception(Format("'%s' не является допустимым целым числом", *value));
      return v;
    }
    case TValueKind::Boolean:
      return NativeAsBoolean(shape, value) ? 1 : 0;
    case TValueKind::Float: {
      double d = std::round(DecodeDouble(shape, *value));
      if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d < -9.2233720368547758e18)
        RangeError(shape, FormatDouble(d));
      return static_cast<int64_t>(d);
    }
    case TValueKind::Currency: {
      int64_t s = NativeAsCurrency(shape, value).Scaled;
      int64_t q = s / 10000, r = s % 10000;
      if (r >= 5000) ++q;
      if (r <= -5000) --q;
      return q;
    }
    case TValueKind::Bytes:
      break;
  }
  ConversionError(shape, "Integer");
}

bool NativeAsBoolean(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return false;
  switch (KindOf(shape.Type)) {
    case TValueKind::Boolean: {
      std::string v = Fixed(shape, *value);
      return GetLE(v.data(), 2) != 0;
    }
    case TValueKind::Integer:
      return DecodeInteger(shape, *value) != 0;
    case TValueKind::Text: {
      std::string t = Trim(*value);
      if (SameText(t, "True") || t == "1") return true;
      if (SameText(t, "False") || t == "0") return false;
      throw Exception(Format("'%s' не является допустимым логическим значением", *value));
    }
    default:
      break;
  }
  ConversionError(shape, "Boolean");
}

double NativeAsFloat(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return 0;
  switch (KindOf(shape.Type)) {
    case TValueKind::Float:
      return DecodeDouble(shape, *value);
    case TValueKind::Integer:
      return static_cast<double>(DecodeInteger(shape, *value));
    case TValueKind::Currency:
      return NativeAsCurrency(shape, value).ToDouble();
    case TValueKind::Text: {
      double d;
      if (!ParseDouble(*value, d)) throw Exception(Format("'%s' не является допустимым числом", *value));
      return d;
    }
    default:
      break;
  }
  ConversionError(shape, "Float");
}

TCurrency NativeAsCurrency(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return {};
  switch (KindOf(shape.Type)) {
    case TValueKind::Currency: {
      std::string v = Fixed(shape, *value);
      return TCurrency{static_cast<int64_t>(GetLE(v.data(), 8))};
    }
    case TValueKind::Integer: {
      int64_t i = DecodeInteger(shape, *value);
      if (i > std::numeric_limits<int64_t>::max() / 10000 || i < std::numeric_limits<int64_t>::min() / 10000)
        RangeError(shape, std::to_string(i));
      return TCurrency{i * 10000};
    }
    case TValueKind::Float:
      return TCurrency::FromDouble(DecodeDouble(shape, *value));
    case TValueKind::Text: {
      TCurrency c;
      if (!TCurrency::TryParse(*value, c)) throw Exception(Format("'%s' не является допустимым числом", *value));
      return c;
    }
    default:
      break;
  }
  ConversionError(shape, "Currency");
}

// ---------------------------------------------------------------------------
// Writing

std::string NativeFromBytes(const TValueShape& shape, std::string_view bytes) {
  if (shape.Type == TFieldType::VarBytes) {
    std::string_view data = bytes.substr(0, static_cast<size_t>(std::min<int64_t>(shape.Size, 65535)));
    std::string v;
    PutLE(v, data.size(), 2);
    v.append(data);
    v.resize(static_cast<size_t>(shape.DataSize), '\0');
    return v;
  }
  if (IsTextType(shape.Type)) return NativeFromString(shape, bytes);
  if (IsBlobType(shape.Type)) return std::string(bytes);
  std::string v(bytes);
  v.resize(static_cast<size_t>(shape.DataSize), '\0');
  return v;
}

std::string NativeFromString(const TValueShape& shape, std::string_view text) {
  switch (KindOf(shape.Type)) {
    case TValueKind::Text:
      if (IsMemoType(shape.Type)) return std::string(text);
      return CutToChars(text, shape.Size, shape.Type == TFieldType::WideString);
    case TValueKind::Integer: {
      int64_t v;
      if (!ParseInt64(text, v)) throw Exception(Format("'%s' не является допустимым целым числом", std::string(text)));
      return NativeFromLargeInt(shape, v);
    }
    case TValueKind::Boolean: {
      std::string t = Trim(text);
      if (SameText(t, "True") || t == "1") return NativeFromBoolean(shape, true);
      if (SameText(t, "False") || t == "0") return NativeFromBoolean(shape, false);
      throw Exception(Format("'%s' не является допустимым логическим значением", std::string(text)));
    }
    case TValueKind::Float: {
      double d;
      if (!ParseDouble(text, d)) throw Exception(Format("'%s' не является допустимым числом", std::string(text)));
      return NativeFromFloat(shape, d);
    }
    case TValueKind::Currency: {
      TCurrency c;
      if (!TCurrency::TryParse(text, c)) throw Exception(Format("'%s' не является допустимым числом", std::string(text)));
      return NativeFromCurrency(shape, c);
    }
    case TValueKind::Bytes:
      return NativeFromBytes(shape, text);
  }
  return {};
}

std::string NativeFromLargeInt(const TValueShape& shape, int64_t value) {
  std::string v;
  switch (KindOf(shape.Type)) {
    case TValueKind::Integer: {
      int64_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
      int bytes = 4;
      if (shape.Type == TFieldType::Smallint) lo = -32768, hi = 32767, bytes = 2;
      if (shape.Type == TFieldType::Word) lo = 0, hi = 65535, bytes = 2;
      if (shape.Type == TFieldType::Largeint) lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max(), bytes = 8;
      if (value < lo || value > hi) RangeError(shape, std::to_string(value));
      PutLE(v, static_cast<uint64_t>(value), bytes);
      return v;
    }
    case TValueKind::Text:
      return NativeFromString(shape, std::to_string(value));
    case TValueKind::Boolean:
      return NativeFromBoolean(shape, value != 0);
    case TValueKind::Float:
      return NativeFromFloat(shape, static_cast<double>(value));
    case TValueKind::Currency:
      if (value > std::numeric_limits<int64_t>::max() / 10000 || value < std::numeric_limits<int64_t>::min() / 10000)
        RangeError(shape, std::to_string(value));
      return NativeFromCurrency(shape, TCurrency{value * 10000});
    case TValueKind::Bytes:
      break;
  }
  ConversionError(shape, "Integer");
}

std::string NativeFromBoolean(const TValueShape& shape, bool value) {
  switch (KindOf(shape.Type)) {
    case TValueKind::Boolean: {
      std::string v;
      PutLE(v, value ? 1 : 0, 2);
      return v;
    }
    case TValueKind::Integer:
      return NativeFromLargeInt(shape, value ? 1 : 0);
    case TValueKind::Text:
      return NativeFromString(shape, value ? "True" : "False");
    default:
      break;
  }
  ConversionError(shape, "Boolean");
}

std::string NativeFromFloat(const TValueShape& shape, double value) {
  switch (KindOf(shape.Type)) {
    case TValueKind::Float: {
      std::string v;
      PutLE(v, std::bit_cast<uint64_t>(value), 8);
      return v;
    }
    case TValueKind::Integer: {
      double d = std::round(value);
      if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d < -9.2233720368547758e18)
        RangeError(shape, FormatDouble(value));
      return NativeFromLargeInt(shape, static_cast<int64_t>(d));
    }
    case TValueKind::Currency:
      return NativeFromCurrency(shape, TCurrency::FromDouble(value));
    case TValueKind::Text:
      return NativeFromString(shape, FormatDouble(value));
    default:
      break;
  }
  ConversionError(shape, "Float");
}

std::string NativeFromCurrency(const TValueShape& shape, TCurrency value) {
  switch (KindOf(shape.Type)) {
    case TValueKind::Currency: {
      std::string v;
      PutLE(v, static_cast<uint64_t>(value.Scaled), 8);
      return v;
    }
    case TValueKind::Float:
      return NativeFromFloat(shape, value.ToDouble());
    case TValueKind::Integer: {
      int64_t q = value.Scaled / 10000, r = value.Scaled % 10000;
      if (r >= 5000) ++q;
      if (r <= -5000) --q;
      return NativeFromLargeInt(shape, q);
    }
    case TValueKind::Text:
      return NativeFromString(shape, value.ToString());
    default:
      break;
  }
  ConversionError(shape, "Currency");
}

TNativeValue NativeFromVar(const TValueShape& shape, const TVarValue& value) {
  struct Visitor {
    const TValueShape& shape;
    TNativeValue operator()(std::monostate) const { return std::nullopt; }
    TNativeValue operator()(int64_t v) const { return NativeFromLargeInt(shape, v); }
    TNativeValue operator()(double v) const { return NativeFromFloat(shape, v); }
    TNativeValue operator()(bool v) const { return NativeFromBoolean(shape, v); }
    TNativeValue operator()(const std::string& v) const { return NativeFromString(shape, v); }
    TNativeValue operator()(TCurrency v) const { return NativeFromCurrency(shape, v); }
  };
  return std::visit(Visitor{shape}, value.Value());
}

TNativeValue ConvertNative(const TValueShape& from, const TNativeValue& value, const TValueShape& to) {
  if (!value) return std::nullopt;
  if (from.Type == to.Type) {
    if (IsTextType(to.Type)) return NativeFromString(to, *value);
    if (to.Type == TFieldType::VarBytes) return NativeFromBytes(to, NativeAsBytes(from, value));
    if (IsBlobType(to.Type)) return value;
    return Fixed(to, *value);
  }
  switch (KindOf(to.Type)) {
    case TValueKind::Text:
      return NativeFromString(to, NativeAsString(from, value));
    case TValueKind::Integer:
      return NativeFromLargeInt(to, NativeAsLargeInt(from, value));
    case TValueKind::Boolean:
      return NativeFromBoolean(to, NativeAsBoolean(from, value));
    case TValueKind::Float:
      return NativeFromFloat(to, NativeAsFloat(from, value));
    case TValueKind::Currency:
      return NativeFromCurrency(to, NativeAsCurrency(from, value));
    case TValueKind::Bytes:
      return NativeFromBytes(to, NativeAsBytes(from, value));
  }
  return std::nullopt;
}

int CompareNative(const TValueShape& shape, const std::string& a, const std::string& b) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  switch (KindOf(shape.Type)) {
    case TValueKind::Text: {
      int c = a.compare(b);
      return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    case TValueKind::Integer:
      return sign(DecodeInteger(shape, a), DecodeInteger(shape, b));
    case TValueKind::Boolean:
      return sign(NativeAsBoolean(shape, a), NativeAsBoolean(shape, b));
    case TValueKind::Float:
      return sign(DecodeDouble(shape, a), DecodeDouble(shape, b));
    case TValueKind::Currency:
      return sign(NativeAsCurrency(shape, a).Scaled, NativeAsCurrency(shape, b).Scaled);
    case TValueKind::Bytes: {
      int c = NativeAsBytes(shape, a).compare(NativeAsBytes(shape, b));
      return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
  }
  return 0;
}

}  // namespace ztv
