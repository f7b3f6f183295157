// Arbitrary bytes as a version backup given to the whole-backup check, in
// the tar form and (when the bytes start like one) the compound form. The
// check may refuse; it must never crash, hang or change the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "backup/backup_verify.h"
#include "core/errors.h"
#include "core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = [] {
    char tmpl[] = "/tmp/fuzz_verify_XXXXXX";
    return std::string(::mkdtemp(tmpl)) + "/Backup.DAT";
  }();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  ztv::TZVMemoryStream(bytes).SaveToFile(file);
  try {
    ztv::VerifyBackup(file);
  } catch (const ztv::Exception&) {
  }
  ztv::TZVMemoryStream after;
  after.LoadFromFile(file);
  if (after.AsString() != bytes) std::abort();
  return 0;
}
