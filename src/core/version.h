// The version rule: may an update made for one version be installed over the
// version installed now?
#pragma once

#include <cstdint>
#include <string_view>

namespace ztv {

// The digits of the string as one number; "X" and "x" count as 0, every
// other character is skipped. 32-bit arithmetic that wraps, so strings of
// more than nine digits do not give meaningful numbers.
int32_t VersionToNumber(std::string_view version);

// True if an update from `source` to `destination` may be installed over
// `current`:
//  - a destination ending in 00 accepts a current version that agrees with
//    the source in all but the last two digits;
//  - otherwise the source itself is accepted, nothing at or above the
//    destination is, and a source whose characters 7 and 8 are "xx" (any
//    case) accepts every version below the destination.
bool IsVersionApplicable(std::string_view source, std::string_view destination,
                         std::string_view current);

}  // namespace ztv
