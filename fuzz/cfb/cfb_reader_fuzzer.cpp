// Opens the input as a compound file, walks the whole tree, looks every
// element up by name and reads every stream in chunks. Damaged input may
// only raise the general error class.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/errors.h"
#include "formats/cfb/compound_file.h"

namespace {

void WalkStorage(const ztv::cfb::Storage& storage) {
  for (const ztv::cfb::Element& e : storage.Elements()) {
    (void)storage.Find(e.name);
    if (e.kind == ztv::cfb::ElementKind::Storage) {
      WalkStorage(storage.OpenStorage(e));
      continue;
    }
    try {
      auto stream = storage.OpenStream(e);
      char buf[1000];
      while (stream->Read(buf, sizeof(buf)) > 0) {
      }
    } catch (const ztv::Exception&) {
      // One broken stream does not hide the others.
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    ztv::cfb::CompoundFile cf(
        std::make_unique<ztv::TZVMemoryStream>(std::string(reinterpret_cast<const char*>(data), size)), "fuzz");
    WalkStorage(cf.Root());
  } catch (const ztv::Exception&) {
  }
  return 0;
}
