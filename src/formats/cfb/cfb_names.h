// Shared pieces of the compound file format: the fixed header values, the
// special sector numbers, and element names (UTF-16 inside the file, UTF-8 in
// the program) with the format's own ordering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ztv::cfb {

inline constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

inline constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;
inline constexpr uint32_t kDifSect = 0xFFFFFFFC;
inline constexpr uint32_t kFatSect = 0xFFFFFFFD;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr uint32_t kFreeSect = 0xFFFFFFFF;
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;

inline constexpr uint16_t kMinorVersion = 0x003E;
inline constexpr uint16_t kByteOrderMark = 0xFFFE;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr uint32_t kDirEntrySize = 128;
inline constexpr uint32_t kHeaderDifatCount = 109;
// A name holds at most 31 UTF-16 code units plus the terminating zero.
inline constexpr size_t kMaxNameUnits = 31;

inline constexpr uint8_t kTypeUnused = 0;
inline constexpr uint8_t kTypeStorage = 1;
inline constexpr uint8_t kTypeStream = 2;
inline constexpr uint8_t kTypeRoot = 5;

// UTF-16 code units -> UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 -> UTF-16 code units; false when the text is not valid UTF-8.
bool Utf8ToUtf16(std::string_view text, std::u16string& out);

// The format's order of element names inside one storage: the shorter name
// (in UTF-16 code units) first; names of equal length compare code unit by
// code unit after upper-casing (Latin and Cyrillic letters fold).
int CompareNames(std::u16string_view a, std::u16string_view b);

}  // namespace ztv::cfb
