#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/launcher.h"
#include "platform/linux/parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto sb = ztv::ParseShebang(text)) {
    if (sb->interpreter.empty() || sb->interpreter.size() + sb->argument.size() > size) __builtin_trap();
    if (sb->interpreter.find_first_of(" \t\n") != std::string::npos) __builtin_trap();
  }
  auto words = ztv::SplitParameters(std::string(text));
  size_t total = 0;
  for (const auto& w : words) total += w.size();
  if (total > size) __builtin_trap();
  return 0;
}
