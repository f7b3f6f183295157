// Arbitrary bytes as a package descriptor "Files.DAT" (with a length field
// and CRC trailer made valid half of the time, so the packet inside gets
// read), then every check of the unpacking: parts, length, decoding.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/crc32.h"
#include "core/errors.h"
#include "core/stream.h"
#include "engine/update_package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_package_XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!bytes.empty() && (bytes[0] & 1) && bytes.size() >= 8) {
    // Make the frame valid: the packet is what gets exercised.
    const uint32_t len = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(len >> (8 * i));
    const uint32_t crc = ztv::UpdateCRC32(0, bytes.data(), bytes.size() - 4);
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + static_cast<size_t>(i)] = static_cast<char>(crc >> (8 * i));
  }
  try {
    ztv::TZVMemoryStream(bytes).SaveToFile(dir + "/Files.DAT");
    // A part the descriptor may name.
    ztv::TZVMemoryStream(std::string("part data")).SaveToFile(dir + "/Files.001");
    ztv::VerifyPackage(dir, "7.1.2");
  } catch (const ztv::Exception&) {
  }
  return 0;
}
