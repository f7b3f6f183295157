#include "formats/imd/imd_dump.h"

#include <cmath>

#include <fmt/format.h>

#include "core/errors.h"
#include "core/text.h"
#include "formats/imd/imd_format.h"

namespace ztv {

namespace {

std::string HexOf(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string TextEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

// One value; `isText` tells whether it is a string (quoted in JSON).
struct Rendered {
  std::string text;
  bool isText = false;
};

Rendered Render(const TValueShape& shape, const TNativeValue& value) {
  if (!value) return {"null", false};
  TFieldType t = shape.Type;
  if (IsMemoType(t)) return {HexOf(Utf8ToCp1251(*value)), true};
  if (IsBlobType(t)) return {HexOf(*value), true};
  switch (KindOf(t)) {
    case TValueKind::Text:
      return {*value, true};
    case TValueKind::Integer:
      return {std::to_string(NativeAsLargeInt(shape, value)), false};
    case TValueKind::Boolean:
      return {NativeAsBoolean(shape, value) ? "true" : "false", false};
    case TValueKind::Currency:
      return {NativeAsCurrency(shape, value).ToString(), false};
    case TValueKind::Float: {
      double d = NativeAsFloat(shape, value);
      return {std::isfinite(d) ? fmt::format("{}", d) : "null", false};
    }
    case TValueKind::Bytes:
      return {HexOf(NativeAsBytes(shape, value)), true};
  }
  return {"null", false};
}

}  // namespace

std::string DumpIMDPacket(TZVStream& stream, TIMDDumpFormat format) {
  if (stream.Remaining() < kIMDMinimumSize) throw Exception(imd_messages::kNoRoomForHeader);
  TIMDHeader h;
  TParams params;
  ReadIMDHeader(stream, h, &params);
  const bool json = format == TIMDDumpFormat::Json;
  const std::string layout = h.IsLegacy() ? "legacy" : "TRN";
  const std::string version(1, h.Version);

  std::string out;
  if (json) {
    out = "{\"layout\":" + JsonQuoted(layout) + ",\"version\":" + JsonQuoted(version) + ",\"fields\":[";
    for (size_t i = 0; i < h.Fields.size(); ++i) {
      const auto& f = h.Fields[i];
      out += fmt::format("{}{{\"name\":{},\"type\":{},\"size\":{},\"flags\":{}}}", i ? "," : "", JsonQuoted(f.Name),
                         static_cast<int>(f.DataType), f.Size, f.Flags);
    }
    out += "],\"records\":[";
  } else {
    out = "layout\t" + layout + "\nversion\t" + version + "\n";
    for (const auto& f : h.Fields)
      out += fmt::format("field\t{}\t{}\t{}\t{}\n", TextEscape(f.Name), static_cast<int>(f.DataType), f.Size, f.Flags);
    for (int i = 0; i < params.Count(); ++i) {
      const TParam& p = params.Items(i);
      TValueShape shape = TValueShape::Of(p.DataType(), p.Native() ? static_cast<int64_t>(p.Native()->size()) : 0);
      Rendered r = Render(shape, p.Native());
      out += fmt::format("param\t{}\t{}\t{}\t{}\n", TextEscape(p.Name()), static_cast<int>(p.DataType()),
                         static_cast<int>(p.ParamType()), p.Native() ? TextEscape(r.text) : "<null>");
    }
  }

  std::vector<TIMDValue> values;
  bool first = true;
  while (ReadIMDRecord(stream, h, values, true, TIMDBlobMode::Read)) {
    if (json) {
      out += first ? "[" : ",[";
      for (size_t i = 0; i < values.size(); ++i) {
        Rendered r = Render(h.Fields[i].Shape, values[i].Present ? values[i].Value : std::nullopt);
        if (i) out += ",";
        out += r.isText ? JsonQuoted(r.text) : r.text;
      }
      out += "]";
    } else {
      out += "record";
      for (size_t i = 0; i < values.size(); ++i) {
        Rendered r = Render(h.Fields[i].Shape, values[i].Present ? values[i].Value : std::nullopt);
        out += '\t';
        out += values[i].Present ? TextEscape(r.text) : std::string("<null>");
      }
      out += "\n";
    }
    first = false;
  }
  if (json) out += "]}\n";
  return out;
}

}  // namespace ztv
