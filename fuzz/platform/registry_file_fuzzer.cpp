// Arbitrary bytes as a registry file: parsing never crashes, and a file that
// parses is written back in a form that parses to the same document.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  auto doc = ztv::ParseRegFile(bytes);
  if (!doc) return 0;
  const std::string text = ztv::FormatRegFile(*doc);
  auto again = ztv::ParseRegFile(text);
  if (!again || ztv::FormatRegFile(*again) != text) std::abort();
  return 0;
}
