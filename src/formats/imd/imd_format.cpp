#include "formats/imd/imd_format.h"

#include <algorithm>
#include <cstring>

#include "core/errors.h"
#include "core/text.h"

namespace ztv {

using namespace imd_messages;

namespace {

[[noreturn]] void BadFormat() { throw Exception(kBadFormat); }
[[noreturn]] void UnexpectedEnd() { throw Exception(std::string(kBadData) + kUnexpectedEnd); }

// Sequential reading of a header with every size checked against the bytes
// that remain; a shortage is a malformed packet.
class HeaderReader {
 public:
  HeaderReader(TZVStream& s) : s_(s), pos_(s.Position()), end_(s.Size()) {}

  void Need(int64_t n) {
    if (n < 0 || n > end_ - pos_) BadFormat();
  }
  std::string Bytes(int64_t n) {
    Need(n);
    std::string b(static_cast<size_t>(n), '\0');
    if (n > 0) s_.ReadBuffer(b.data(), n);
    pos_ += n;
    return b;
  }
  void Skip(int64_t n) {
    Need(n);
    s_.Seek(n, SeekOrigin::Current);
    pos_ += n;
  }
  uint64_t Int(int bytes) {
    std::string b = Bytes(bytes);
    return GetLE(b.data(), bytes);
  }
  int64_t Position() const { return pos_; }

 private:
  TZVStream& s_;
  int64_t pos_;
  int64_t end_;
};

// Reading of record values, positions tracked here so that a file stream is
// not asked for them once per value; a shortage is an unexpected end.
class RecordReader {
 public:
  RecordReader(TZVStream& s) : s_(s), pos_(s.Position()), end_(s.Size()) {}

  void Need(int64_t n) {
    if (n < 0 || n > end_ - pos_) UnexpectedEnd();
  }
  std::string Bytes(int64_t n) {
    Need(n);
    std::string b(static_cast<size_t>(n), '\0');
    if (n > 0) s_.ReadBuffer(b.data(), n);
    pos_ += n;
    return b;
  }
  void Skip(int64_t n) {
    Need(n);
    if (n > 0) s_.Seek(n, SeekOrigin::Current);
    pos_ += n;
  }
  int32_t I32() {
    std::string b = Bytes(4);
    return static_cast<int32_t>(GetLE(b.data(), 4));
  }
  // Reads up to n bytes; returns how many came.
  int64_t ReadSome(char* buf, int64_t n) {
    int64_t got = s_.Read(buf, n);
    if (got > 0) pos_ += got;
    return got;
  }
  int64_t Position() const { return pos_; }

 private:
  TZVStream& s_;
  int64_t pos_;
  int64_t end_;
};

std::string CutAtNul(std::string_view s) {
  size_t z = s.find('\0');
  return std::string(z == std::string_view::npos ? s : s.substr(0, z));
}

bool IsStringLike(TFieldType t) {
  return t == TFieldType::String || t == TFieldType::FixedChar || t == TFieldType::Guid;
}

// Packet bytes of a fixed-size value -> native value of the descriptor's shape.
std::string DecodeFixed(const TIMDFieldRec& f, const std::string& bytes) {
  switch (f.DataType) {
    case TFieldType::FixedChar:
    case TFieldType::Guid:
      // The last byte is the terminator's room; a text never fills it.
      return Cp1251ToUtf8(CutAtNul(std::string_view(bytes).substr(0, static_cast<size_t>(f.ValueSize - 1))));
    case TFieldType::WideString:
      return Utf16LeToUtf8(bytes, true);
    default: {
      std::string v = bytes;
      v.resize(static_cast<size_t>(f.Shape.DataSize), '\0');
      return v;
    }
  }
}

TNativeValue DecodeParamValue(TFieldType type, const std::string& bytes) {
  if (bytes.empty()) return std::nullopt;
  if (type == TFieldType::WideString) return Utf16LeToUtf8(bytes, true);
  if (IsTextType(type)) return Cp1251ToUtf8(bytes);
  return bytes;
}

std::string ToCp1251(const std::string& utf8, const std::string& fieldName) {
  std::string out;
  if (!TryUtf8ToCp1251(utf8, out))
    throw Exception(Format("Значение поля \"%s\" не может быть записано в кодировке Windows-1251: \"%s\"", fieldName,
                           utf8));
  return out;
}

std::string EncodeParamValue(TFieldType type, const TNativeValue& value, const std::string& name) {
  if (!value) return {};
  if (type == TFieldType::WideString) return Utf8ToUtf16Le(*value);
  if (IsTextType(type)) return ToCp1251(*value, name);
  return *value;
}

std::string NameToCp1251(const std::string& name) {
  std::string out;
  if (!TryUtf8ToCp1251(name, out))
    throw Exception(Format("Имя \"%s\" не может быть записано в кодировке Windows-1251", name));
  return out;
}

void AppendShortName(std::string& out, const std::string& name) {
  std::string cp = NameToCp1251(name);
  if (cp.size() > 255) throw Exception(Format("Имя \"%s\" длиннее 255 символов", name));
  out += static_cast<char>(cp.size());
  out += cp;
}

}  // namespace

// ---------------------------------------------------------------------------
// UTF-16

std::string Utf8ToUtf16Le(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) throw Exception(Format("Текст не является допустимым текстом UTF-8: \"%s\"", std::string(utf8)));
  std::string out;
  for (char32_t cp : DecodeUtf8(utf8)) {
    if (cp < 0x10000) {
      PutLE(out, cp, 2);
    } else {
      cp -= 0x10000;
      PutLE(out, 0xD800 + (cp >> 10), 2);
      PutLE(out, 0xDC00 + (cp & 0x3FF), 2);
    }
  }
  return out;
}

std::string Utf16LeToUtf8(std::string_view utf16, bool stopAtNul) {
  std::string out;
  size_t n = utf16.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    char32_t u = static_cast<char32_t>(GetLE(utf16.data() + 2 * i, 2));
    if (u == 0 && stopAtNul) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      char32_t lo = static_cast<char32_t>(GetLE(utf16.data() + 2 * (i + 1), 2));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Descriptors and header

void PrepareIMDField(TIMDFieldRec& f, bool legacy) {
  int64_t d = f.Size;
  if (legacy && f.DataType == TFieldType::String) d += 1;
  f.ValueSize = d;
  int64_t size = 0;
  if (IsStringLike(f.DataType)) {
    if (d < 1) BadFormat();
    size = d - 1;
  } else if (f.DataType == TFieldType::VarBytes) {
    if (d < 2) BadFormat();
    size = d - 2;
  } else if (f.DataType == TFieldType::WideString) {
    size = d / 2;
  } else if (IsBlobType(f.DataType) || HasIntrinsicSize(f.DataType)) {
    size = 0;
  } else {
    size = d;
  }
  f.Shape = TValueShape::Of(f.DataType, size, f.Name);
}

namespace {

void ReadLegacyHeader(TZVStream& s, TIMDHeader& h) {
  HeaderReader r(s);
  int32_t count = static_cast<int32_t>(r.Int(4));
  int32_t n = static_cast<int32_t>(r.Int(4));
  int32_t start = static_cast<int32_t>(r.Int(4));
  int32_t end = static_cast<int32_t>(r.Int(4));
  r.Int(4);
  if (count < 0 || n < 0 || n > kIMDMaxLegacyFields || start < kIMDLegacyHeaderSize || end < start) BadFormat();
  // Records without fields take no bytes; a non-empty record area for them
  // could never be walked.
  if (n == 0 && end > start) BadFormat();
  h.Version = '-';
  h.Fields.clear();
  for (int i = 0; i < n; ++i) {
    std::string area = r.Bytes(kIMDLegacyNameLength + 1);
    uint8_t len = static_cast<uint8_t>(area[0]);
    if (len > kIMDLegacyNameLength) BadFormat();
    TIMDFieldRec f;
    f.Name = Cp1251ToUtf8(area.substr(1, len));
    uint8_t type = static_cast<uint8_t>(r.Int(1));
    if (type == 0 || type > kMaxFieldTypeCode) BadFormat();
    f.DataType = static_cast<TFieldType>(type);
    f.Size = static_cast<uint32_t>(r.Int(2));
    PrepareIMDField(f, true);
    h.Fields.push_back(std::move(f));
  }
  h.RecordsStart = start;
  h.RecordsEnd = end;
  h.LegacyRecordCount = count;
  s.Seek(start, SeekOrigin::Begin);
}

}  // namespace

void ReadIMDHeader(TZVStream& s, TIMDHeader& h, TParams* params) {
  h.Fields.clear();
  int64_t start = s.Position();
  uint8_t head[5];
  if (s.Read(head, 5) != 5) BadFormat();
  if (std::memcmp(head, kIMDSignature, 4) != 0) {
    s.Seek(start, SeekOrigin::Begin);
    ReadLegacyHeader(s, h);
    return;
  }
  char v = static_cast<char>(head[4]);
  if (v < '0' || v > '2')
    throw Exception(Format(kBadVersion, Cp1251ToUtf8(std::string(1, v)), kSupportedVersions));
  h.Version = v;
  h.LegacyRecordCount = 0;

  HeaderReader r(s);
  uint16_t n = static_cast<uint16_t>(r.Int(2));
  h.Fields.reserve(n);
  for (int i = 0; i < n; ++i) {
    TIMDFieldRec f;
    uint8_t type = static_cast<uint8_t>(r.Int(1));
    if (type == 0 || type > kMaxFieldTypeCode) BadFormat();
    f.DataType = static_cast<TFieldType>(type);
    f.Flags = static_cast<uint16_t>(r.Int(2));
    f.Size = static_cast<uint32_t>(r.Int(4));
    uint8_t len = static_cast<uint8_t>(r.Int(1));
    f.Name = Cp1251ToUtf8(r.Bytes(len));
    for (uint16_t bit : {TIMDFlags::FirstText, TIMDFlags::SecondText}) {
      if (f.Flags & bit) {
        int32_t textLen = static_cast<int32_t>(r.Int(4));
        r.Skip(textLen);  // a negative or oversized length is malformed
      }
    }
    PrepareIMDField(f, false);
    h.Fields.push_back(std::move(f));
  }

  uint16_t paramCount = static_cast<uint16_t>(r.Int(2));
  for (int i = 0; i < paramCount; ++i) {
    uint8_t type = static_cast<uint8_t>(r.Int(1));
    uint8_t kind = static_cast<uint8_t>(r.Int(1));
    uint32_t size = static_cast<uint32_t>(r.Int(4));
    uint8_t len = static_cast<uint8_t>(r.Int(1));
    std::string name = Cp1251ToUtf8(r.Bytes(len));
    if (type > kMaxFieldTypeCode) BadFormat();
    std::string value = r.Bytes(size);
    if (params) {
      TParam& p = params->Add(name, static_cast<TFieldType>(type), static_cast<TParamType>(kind));
      p.SetNative(DecodeParamValue(static_cast<TFieldType>(type), value));
    }
  }
  h.RecordsStart = r.Position();
  h.RecordsEnd = std::numeric_limits<int64_t>::max();
}

// ---------------------------------------------------------------------------
// Records

bool ReadIMDRecord(TZVStream& s, TIMDHeader& h, std::vector<TIMDValue>& values, bool decodeAll,
                   TIMDBlobMode blobs) {
  RecordReader r(s);
  const int64_t bitmapSize = h.BitmapSize();
  const size_t n = h.Fields.size();
  std::string bitmap;
  if (h.IsLegacy()) {
    if (r.Position() >= h.RecordsEnd) return false;
    bitmap = r.Bytes(bitmapSize);
  } else {
    const int64_t start = r.Position();
    std::string head(static_cast<size_t>(1 + bitmapSize), '\0');
    int64_t got = r.ReadSome(head.data(), 1 + bitmapSize);
    if (got <= 0) UnexpectedEnd();
    uint8_t status = static_cast<uint8_t>(head[0]);
    if (status == kIMDEndMark) {
      s.Seek(start + 1, SeekOrigin::Begin);
      return false;
    }
    if (got < 1 + bitmapSize) throw Exception(std::string(kBadData) + Format(kBadStatus, status, 255));
    if (h.Version == '2' && status != kIMDRecordStatus)
      throw Exception(std::string(kBadData) + Format(kBadStatus, status, 32));
    bitmap = head.substr(1);
  }

  values.assign(n, TIMDValue{});
  for (size_t i = 0; i < n; ++i) {
    if (((static_cast<uint8_t>(bitmap[i / 8]) >> (i % 8)) & 1) == 0) continue;
    TIMDFieldRec& f = h.Fields[i];
    TIMDValue& v = values[i];
    v.Present = true;
    const bool want = decodeAll || f.Bound >= 0;
    if (IsBlobType(f.DataType)) {
      int64_t at = r.Position();
      int32_t len = r.I32();
      if (len < 0) throw Exception(std::string(kBadData) + Format(kBadBlob, len, f.Name, at));
      if (want && blobs == TIMDBlobMode::Read) {
        std::string bytes = r.Bytes(len);
        v.Value = IsMemoType(f.DataType) ? Cp1251ToUtf8(bytes) : std::move(bytes);
      } else {
        if (want) v.BlobPos = at;
        r.Skip(len);
      }
    } else if (f.DataType == TFieldType::String) {
      int64_t at = r.Position();
      int32_t len = r.I32();
      int64_t maxLen = f.ValueSize - 1;
      std::string text;
      if (len == -1 && h.AllowsRepeatMarks()) {
        if (!f.PrevText)
          throw Exception(std::string(kBadData) + Format(kBadString, len, maxLen, f.Name, at));
        if (want) text = *f.PrevText;
      } else {
        if (len < 0 || len > maxLen)
          throw Exception(std::string(kBadData) + Format(kBadString, len, maxLen, f.Name, at));
        if (want || h.AllowsRepeatMarks()) {
          text = r.Bytes(len);
          if (h.AllowsRepeatMarks()) f.PrevText = text;
        } else {
          r.Skip(len);
        }
      }
      // A string value ends at its first NUL, as the packer takes it.
      if (want) v.Value = Cp1251ToUtf8(CutAtNul(text));
    } else {
      if (want) {
        v.Value = DecodeFixed(f, r.Bytes(f.ValueSize));
      } else {
        r.Skip(f.ValueSize);
      }
    }
  }
  if (h.IsLegacy() && r.Position() > h.RecordsEnd) BadFormat();
  return true;
}

TNativeValue ReadIMDBlobAt(TZVStream& s, const TIMDFieldRec& f, int64_t position) {
  const int64_t saved = s.Position();
  struct Restore {
    TZVStream& s;
    int64_t pos;
    ~Restore() {
      try {
        s.Seek(pos, SeekOrigin::Begin);
      } catch (...) {
      }
    }
  } restore{s, saved};
  s.Seek(position, SeekOrigin::Begin);
  RecordReader r(s);
  int32_t len = r.I32();
  if (len < 0) throw Exception(std::string(kBadData) + Format(kBadBlob, len, f.Name, position));
  std::string bytes = r.Bytes(len);
  if (IsMemoType(f.DataType)) return Cp1251ToUtf8(bytes);
  return bytes;
}

// ---------------------------------------------------------------------------
// Writing

void WriteIMDHeader(TZVStream& s, const TIMDHeader& h, const TParams* params) {
  std::string out(reinterpret_cast<const char*>(kIMDSignature), 4);
  out += h.Version;
  if (h.Fields.size() > 0xFFFF) throw Exception(Format("Слишком много полей для пакета IMD: %d", static_cast<int>(h.Fields.size())));
  PutLE(out, h.Fields.size(), 2);
  for (const auto& f : h.Fields) {
    out += static_cast<char>(f.DataType);
    PutLE(out, f.Flags & ~(TIMDFlags::FirstText | TIMDFlags::SecondText), 2);
    PutLE(out, f.Size, 4);
    AppendShortName(out, f.Name);
  }
  int count = params ? params->Count() : 0;
  if (count > 0xFFFF) throw Exception(Format("Слишком много параметров для пакета IMD: %d", count));
  PutLE(out, static_cast<uint64_t>(count), 2);
  for (int i = 0; i < count; ++i) {
    const TParam& p = params->Items(i);
    std::string value = EncodeParamValue(p.DataType(), p.Native(), p.Name());
    if (value.size() > 0xFFFFFFFFu) throw Exception(Format("Значение параметра \"%s\" слишком велико", p.Name()));
    out += static_cast<char>(p.DataType());
    out += static_cast<char>(p.ParamType());
    PutLE(out, value.size(), 4);
    AppendShortName(out, p.Name());
    out += value;
  }
  s.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

void WriteIMDRecord(TZVStream& s, TIMDHeader& h, const std::vector<TNativeValue>& values, bool repeatMarks,
                    bool legacy) {
  const size_t n = h.Fields.size();
  std::string out;
  if (!legacy) out += static_cast<char>(kIMDRecordStatus);
  size_t bitmapAt = out.size();
  out.append(static_cast<size_t>(h.BitmapSize()), '\0');
  for (size_t i = 0; i < n; ++i) {
    TIMDFieldRec& f = h.Fields[i];
    const TNativeValue& v = values[i];
    if (!v) {
      if (repeatMarks) f.PrevText.reset();
      continue;
    }
    out[bitmapAt + i / 8] = static_cast<char>(static_cast<uint8_t>(out[bitmapAt + i / 8]) | (1u << (i % 8)));
    if (IsBlobType(f.DataType)) {
      std::string data = IsMemoType(f.DataType) ? ToCp1251(*v, f.Name) : *v;
      if (data.size() > 0x7FFFFFFFu) throw Exception(Format("Значение поля \"%s\" слишком велико", f.Name));
      PutLE(out, data.size(), 4);
      out += data;
    } else if (f.DataType == TFieldType::String) {
      std::string text = ToCp1251(CutAtNul(*v), f.Name);
      if (static_cast<int64_t>(text.size()) > f.ValueSize - 1) text.resize(static_cast<size_t>(f.ValueSize - 1));
      if (repeatMarks && text.size() > 8 && f.PrevText && *f.PrevText == text) {
        PutLE(out, 0xFFFFFFFFu, 4);
      } else {
        PutLE(out, text.size(), 4);
        out += text;
      }
      if (repeatMarks) f.PrevText = std::move(text);
    } else if (f.DataType == TFieldType::FixedChar || f.DataType == TFieldType::Guid) {
      std::string text = ToCp1251(CutAtNul(*v), f.Name);
      text.resize(static_cast<size_t>(f.ValueSize - 1), '\0');
      text.resize(static_cast<size_t>(f.ValueSize), '\0');
      out += text;
    } else if (f.DataType == TFieldType::WideString) {
      std::string wide = Utf8ToUtf16Le(CutAtNul(*v));
      wide.resize(static_cast<size_t>(f.ValueSize & ~int64_t{1}), '\0');
      wide.resize(static_cast<size_t>(f.ValueSize), '\0');
      out += wide;
    } else {
      std::string fixed = *v;
      fixed.resize(static_cast<size_t>(f.ValueSize), '\0');
      out += fixed;
    }
  }
  s.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

}  // namespace ztv
