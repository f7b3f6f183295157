// Test data for the codec benchmarks.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace ztv::bench {

// Text, binary records, runs and random stretches, with repeats near and
// far: what update packages hold.
inline std::vector<uint8_t> MixedData(size_t n) {
  std::mt19937 rng(20240607);
  const char* words[] = {"Обновление ", "версия ", "резервная ", "копия ", "база ", "данных ", "\r\n", "07.05.12 ",
                         "UpdateInstaller ", "Files.DAT ", "    ", "SELECT * FROM ", "IntConst "};
  std::vector<uint8_t> b;
  b.reserve(n + 4096);
  while (b.size() < n) {
    switch (rng() % 6) {
      case 0:
      case 1:
        for (int k = 0; k < 30; ++k) {
          const char* w = words[rng() % 13];
          b.insert(b.end(), w, w + std::strlen(w));
        }
        break;
      case 2:  // little-endian records with small fields
        for (int k = 0; k < 40; ++k) {
          const uint32_t v = rng() % 5000;
          b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), 0, 0, 1, 0});
        }
        break;
      case 3:
        b.insert(b.end(), rng() % 400, static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : 0));
        break;
      case 4:
        for (int k = rng() % 300; k > 0; --k) b.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        if (b.size() > 8192) {
          const size_t from = b.size() - 1 - rng() % 8000;
          const size_t len = 20 + rng() % 200;
          for (size_t k = 0; k < len; ++k) b.push_back(b[from + k]);
        }
    }
  }
  b.resize(n);
  return b;
}

}  // namespace ztv::bench
