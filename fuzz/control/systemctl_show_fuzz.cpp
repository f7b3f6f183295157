#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto values = ztv::ParseSystemctlShow(text)) {
    size_t total = 0;
    for (const auto& [name, value] : *values) {
      if (name.empty()) __builtin_trap();
      total += name.size() + value.size();
      if (auto state = ztv::ServiceStateFromActiveState(value); state && (*state < 1 || *state > 7)) __builtin_trap();
    }
    if (total > size) __builtin_trap();
  }
  return 0;
}
