// Replays the fuzz target's seeds and every input that once made it fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "imd_fuzz_body.h"

namespace ztv {
namespace {

TEST(ImdFuzzReplay, SeedsAndFormerFailuresPass) {
  int replayed = 0;
  for (const char* sub : {"corpus", "crashers"}) {
    std::filesystem::path dir = std::filesystem::path(ZTV_IMD_FUZZ_DIR) / sub;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      std::string bytes = ss.str();
      SCOPED_TRACE(entry.path().string());
      fuzz::CheckImdPacket(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 13);
}

}  // namespace
}  // namespace ztv
