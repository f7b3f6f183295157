#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/stream.h"
#include "core/version.h"

namespace ztv {
namespace {

uint32_t Crc(const std::string& s) { return UpdateCRC32(0, s.data(), s.size()); }

TEST(CRC32, CheckValuesOfTheSystemVariant) {
  EXPECT_EQ(Crc("123456789"), 0x2DFD2D88u);
  EXPECT_EQ(Crc("abc"), 0xCA6598D0u);
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(UpdateCRC32(0x12345678u, nullptr, 100), 0x12345678u);
  // The table is the standard reflected one.
  EXPECT_EQ(kCRC32Table[1], 0x77073096u);
  EXPECT_EQ(kCRC32Table[255], 0x2D02EF8Du);
  // The usual CRC-32 (start and final inversion) is a different value.
  EXPECT_EQ(~UpdateCRC32(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
}

TEST(CRC32, FastPathsEqualTheTableOnEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 64; ++offset) {
    for (size_t len = 0; len <= 1200; ++len) {
      const uint32_t start = static_cast<uint32_t>(rng());
      ASSERT_EQ(UpdateCRC32(start, data.data() + offset, len),
                UpdateCRC32Bytewise(start, data.data() + offset, len))
          << "offset " << offset << " length " << len;
    }
  }
  for (size_t len : {2048u, 4095u, 4096u}) {
    EXPECT_EQ(UpdateCRC32(0, data.data() + 3, len), UpdateCRC32Bytewise(0, data.data() + 3, len));
  }
}

TEST(CRC32, ChainsAcrossCalls) {
  std::string text(100000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31 + (i >> 7));
  const uint32_t whole = Crc(text);
  for (size_t cut : {0u, 1u, 63u, 64u, 255u, 256u, 257u, 61440u, 99999u}) {
    uint32_t c = UpdateCRC32(0, text.data(), cut);
    c = UpdateCRC32(c, text.data() + cut, text.size() - cut);
    EXPECT_EQ(c, whole) << cut;
  }
}

// Records the size of every read it serves.
class CountingStream : public TZVMemoryStream {
 public:
  using TZVMemoryStream::TZVMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    requests.push_back(count);
    return TZVMemoryStream::Read(buffer, count);
  }
  std::vector<int64_t> requests;
};

TEST(StreamCRC32, ReadsInBlocksOf61440AndMatchesOneCall) {
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  CountingStream s(data);
  EXPECT_EQ(StreamCRC32(0, s, 100000), UpdateCRC32Bytewise(0, data.data(), data.size()));
  EXPECT_EQ(s.requests, (std::vector<int64_t>{61440, 38560}));
  EXPECT_EQ(s.Position(), 100000);
}

TEST(StreamCRC32, ShortStreamStopsAfterTheShortBlockAndZeroReadsNothing) {
  std::vector<uint8_t> data(70000, 0x5A);
  CountingStream s(data);
  s.SetPosition(100);
  EXPECT_EQ(StreamCRC32(0x1111u, s, 200000), UpdateCRC32Bytewise(0x1111u, data.data() + 100, 69900));
  EXPECT_EQ(s.requests, (std::vector<int64_t>{61440, 61440}));
  EXPECT_EQ(s.Position(), 70000);

  s.requests.clear();
  s.SetPosition(0);
  EXPECT_EQ(StreamCRC32(0xABCDu, s, 0), 0xABCDu);
  EXPECT_TRUE(s.requests.empty());
  // A small count takes a small buffer: one read of exactly that count.
  EXPECT_EQ(StreamCRC32(0, s, 10), UpdateCRC32Bytewise(0, data.data(), 10));
  EXPECT_EQ(s.requests, (std::vector<int64_t>{10}));
}

TEST(Version, DigitsOnlyWithXAsZero) {
  EXPECT_EQ(VersionToNumber("7.5.1"), 751);
  EXPECT_EQ(VersionToNumber("75.1"), 751);
  EXPECT_EQ(VersionToNumber("751"), 751);
  EXPECT_EQ(VersionToNumber("07.05.xx"), 70500);
  EXPECT_EQ(VersionToNumber("07.05.XX"), 70500);
  EXPECT_EQ(VersionToNumber("v1-2 b3"), 123);
  EXPECT_EQ(VersionToNumber(""), 0);
  // 32-bit wrap: 4294967296 is 2^32.
  EXPECT_EQ(VersionToNumber("4294967297"), 1);
  EXPECT_EQ(VersionToNumber("2147483648"), INT32_MIN);
}

TEST(Version, ApplicabilityTable) {
  struct Row {
    const char* source;
    const char* destination;
    const char* current;
    bool result;
  };
  const Row rows[] = {
      {"07.05.10", "07.05.12", "07.05.10", true},  {"07.05.10", "07.05.12", "07.05.07", false},
      {"07.05.xx", "07.05.12", "07.05.07", true},  {"07.05.XX", "07.05.12", "07.05.07", true},
      {"07.05.xx", "07.05.12", "07.05.12", false}, {"07.04.15", "07.05.00", "07.04.20", true},
      {"07.04.15", "07.05.00", "07.03.20", false}, {"07.04.xx", "07.05.00", "07.04.99", true},
      // Mixed case of the wildcard and a source too short to carry one.
      {"07.05.xX", "07.05.12", "07.05.01", true},  {"7.5.xx", "07.05.12", "07.05.01", false},
      // The wildcard does not reach the destination or above.
      {"07.05.xx", "07.05.12", "07.05.13", false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(IsVersionApplicable(r.source, r.destination, r.current), r.result)
        << r.source << " " << r.destination << " " << r.current;
}

TEST(Version, HundredsRuleTruncatesTowardsZero) {
  // -100 div 100 = -1 and -199 div 100 = -1 (flooring would give -2).
  EXPECT_EQ(VersionToNumber("4294967196"), -100);
  EXPECT_TRUE(IsVersionApplicable("4294967196", "100", "4294967097"));
  EXPECT_FALSE(IsVersionApplicable("4294967196", "100", "4294967096"));
}

}  // namespace
}  // namespace ztv
