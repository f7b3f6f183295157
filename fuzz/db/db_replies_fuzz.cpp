// Feeds arbitrary bytes to the readers of the client library's information
// replies, the parameter block builder and the command-line splitter: each
// must either succeed or raise ztv::Exception, and never read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/errors.h"
#include "db/db_buffers.h"
#include "db/process_runner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    bool truncated = false;
    const auto names = ztv::db::ParseUserNamesInfo(bytes, truncated);
    for (const auto& name : names) {
      if (name.size() > bytes.size()) __builtin_trap();
    }
  } catch (const ztv::Exception&) {
  }
  if (ztv::db::ParseServiceAttachmentCount(bytes) < -1) __builtin_trap();
  try {
    ztv::db::ParseStatementTypeInfo(bytes);
  } catch (const ztv::Exception&) {
  }
  // The first line is a parameter name, the rest its value.
  const size_t split = bytes.find('\n');
  if (split != std::string::npos) {
    try {
      const std::string dpb = ztv::db::BuildDpb({{bytes.substr(0, split), bytes.substr(split + 1)}});
      if (dpb.empty() || dpb.size() > 2 + 255 + 1) __builtin_trap();
    } catch (const ztv::Exception&) {
    }
  }
  size_t total = 0;
  for (const auto& arg : ztv::SplitCommandLine(bytes)) total += arg.size();
  if (total > bytes.size()) __builtin_trap();
  return 0;
}
