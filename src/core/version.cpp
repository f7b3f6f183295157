#include "core/version.h"

namespace ztv {

int32_t VersionToNumber(std::string_view version) {
  // Unsigned arithmetic wraps without undefined behaviour; the result is
  // the 32-bit pattern read as signed.
  uint32_t value = 0;
  for (char c : version) {
    if (c >= '0' && c <= '9') {
      value = value * 10u + static_cast<uint32_t>(c - '0');
    } else if (c == 'X' || c == 'x') {
      value = value * 10u;
    }
  }
  return static_cast<int32_t>(value);
}

bool IsVersionApplicable(std::string_view source, std::string_view destination,
                         std::string_view current) {
  const int32_t s = VersionToNumber(source);
  const int32_t d = VersionToNumber(destination);
  const int32_t c = VersionToNumber(current);
  if (d % 100 == 0) return s / 100 == c / 100;
  if (c == s) return true;
  if (c >= d) return false;
  if (source.size() < 8) return false;
  auto isX = [](char ch) { return ch == 'x' || ch == 'X'; };
  return isX(source[6]) && isX(source[7]);
}

}  // namespace ztv
