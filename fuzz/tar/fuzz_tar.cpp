// Walks an arbitrary file as a tar archive: every header, every member's data.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/errors.h"
#include "formats/tar/tar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char name[] = "/tmp/fuzz_tar_XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  try {
    ztv::TTarArchive archive(name);
    ztv::TTarDirRec r;
    int members = 0;
    while (archive.FindNext(r) && ++members < 100000) {
      ztv::TZVMemoryStream sink;
      if (r.Size < (1 << 24)) archive.ReadFileTo(sink);
    }
  } catch (const ztv::Exception&) {
  }
  ::unlink(name);
  return 0;
}
