// Arbitrary bytes as a version backup restored into a scratch directory.
// Whatever the archive says, nothing may be written outside the target.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "backup/tar_backup.h"
#include "core/errors.h"
#include "core/stream.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = [] {
    char tmpl[] = "/tmp/fuzz_restore_XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  const std::string target = root + "/sandbox/target";
  fs::remove_all(root + "/sandbox");
  fs::create_directories(target);
  try {
    ztv::TZVMemoryStream(std::string(reinterpret_cast<const char*>(data), size)).SaveToFile(root + "/Backup.DAT");
    ztv::TTarBackup(target, root + "/Backup.DAT").Restore();
  } catch (const ztv::Exception&) {
  }
  // The sandbox holds the target and nothing beside it.
  for (const auto& e : fs::directory_iterator(root + "/sandbox"))
    if (e.path().filename() != "target") std::abort();
  return 0;
}
