// Text helpers: the program keeps text in UTF-8; stored formats use code page
// 1251. Case-insensitive comparison folds Latin and Cyrillic letters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ztv {

// Decodes CP1251 bytes. Every byte has a meaning, so this never fails
// (the one unassigned code, 0x98, maps to U+0098 as the system codec does).
std::string Cp1251ToUtf8(std::string_view cp1251);

// Encodes UTF-8 text as CP1251. Text that is not valid UTF-8 or holds a
// character that CP1251 cannot express is an error (Exception), never
// silently replaced.
std::string Utf8ToCp1251(std::string_view utf8);

// As Utf8ToCp1251, but reports failure instead of raising.
bool TryUtf8ToCp1251(std::string_view utf8, std::string& out);

// Decodes UTF-8 into code points. Malformed sequences become U+FFFD, one per
// offending byte, so foreign bytes never stop a comparison.
std::u32string DecodeUtf8(std::string_view utf8);
bool IsValidUtf8(std::string_view utf8);
std::string EncodeUtf8(std::u32string_view text);
void AppendUtf8(std::string& out, char32_t cp);

// Case folding of Latin and Cyrillic letters (including Ё and Ґ).
char32_t UpperChar(char32_t c);
char32_t LowerChar(char32_t c);
std::string UpperCase(std::string_view utf8);
std::string LowerCase(std::string_view utf8);

// Case-insensitive comparison; CompareText returns <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// Removes blanks and control characters (every byte up to the space) at
// either end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// Replaces every occurrence of `from` with `to`.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// `s` as a JSON string literal, quotes included: quote, backslash and control
// characters escaped, everything else (UTF-8 included) as it is.
std::string JsonQuoted(std::string_view s);
// `s` as one field of a tab-separated line: tabs and line ends written as
// \t, \n and \r, so that the field stays on its line.
std::string TabField(std::string_view s);

}  // namespace ztv
