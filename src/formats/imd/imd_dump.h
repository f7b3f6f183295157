// A readable listing of one IMD packet, as `ztvtool imd dump` prints it.
//
// JSON (one line):
//   {"layout":"TRN"|"legacy","version":"0"|"1"|"2"|"-",
//    "fields":[{"name":s,"type":n,"size":n,"flags":n},...],
//    "records":[[v,...],...]}
// size and flags are the values the descriptor stores (older layout:
// strings without the +1, flags 0). Values in descriptor order: texts as
// strings; integer types (Date and Time included) as numbers; booleans as
// true/false; BCD as the amount (12.5); Float, Currency and DateTime as
// numbers (null when not finite); Bytes, VarBytes (its stored bytes), the
// blob types (memo texts in their stored CP1251 bytes) and the opaque types
// as lowercase hex; an absent value as null.
//
// Text: tab-separated lines "layout", "version", one "field" line per
// descriptor (name, type, size, flags), one "param" line per parameter
// (name, type, kind, value) and one "record" line per record with the
// values as above, texts unquoted with \\, \t, \r and \n escaped, an absent
// value as <null>.
#pragma once

#include <string>

#include "core/stream.h"

namespace ztv {

enum class TIMDDumpFormat { Text, Json };

// Reads one packet at the stream's position. A stream with fewer than 9
// bytes left raises "В потоке не достаточно места для заголовка"; a
// malformed packet raises the reader's message.
std::string DumpIMDPacket(TZVStream& stream, TIMDDumpFormat format);

}  // namespace ztv
