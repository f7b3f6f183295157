#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto st = ztv::ParseProcStat(text)) {
    // The command name lies inside the input, between its parentheses.
    if (st->comm.size() > size || st->pid <= 0) __builtin_trap();
  }
  auto args = ztv::ParseCmdline(text, 2);
  if (args.size() > 2) __builtin_trap();
  return 0;
}
