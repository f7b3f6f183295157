// Helpers for the compound file tests: walking a file into a flat list, test
// data, and a minimal independent view of a file's raw bytes so that tests
// can check the layout and damage it on purpose.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/cfb/compound_file.h"

namespace ztv::cfb::test {

struct Item {
  std::string path;  // names joined by "/"
  bool storage = false;
  uint64_t size = 0;
  std::string data;

  bool operator==(const Item&) const = default;
};

// Every element below `storage` in enumeration order, each storage before
// its contents, streams read whole.
inline void Walk(const Storage& storage, const std::string& prefix, std::vector<Item>& out) {
  for (const Element& e : storage.Elements()) {
    Item item;
    item.path = prefix.empty() ? e.name : prefix + "/" + e.name;
    item.storage = e.kind == ElementKind::Storage;
    item.size = e.size;
    if (item.storage) {
      out.push_back(item);
      Walk(storage.OpenStorage(e), item.path, out);
    } else {
      item.data = storage.ReadStream(e);
      out.push_back(std::move(item));
    }
  }
}

inline std::vector<Item> Walk(const Storage& root) {
  std::vector<Item> out;
  Walk(root, "", out);
  return out;
}

// Deterministic bytes that differ from sector to sector.
inline std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

inline uint32_t U32(const std::string& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);  // the test machine is little-endian
  return v;
}

inline void SetU32(std::string& b, size_t off, uint32_t v) { std::memcpy(b.data() + off, &v, 4); }

inline void SetU16(std::string& b, size_t off, uint16_t v) { std::memcpy(b.data() + off, &v, 2); }

// Reads the layout of a sound file straight from its bytes.
struct Raw {
  explicit Raw(const std::string& bytes) : b(bytes) {
    ss = 1u << (static_cast<uint8_t>(b[30]) | (static_cast<uint8_t>(b[31]) << 8));
    uint32_t fatCount = U32(b, 44);
    for (uint32_t i = 0; i < 109 && fatSectors.size() < fatCount; ++i) fatSectors.push_back(U32(b, 76 + 4 * i));
    uint32_t difat = U32(b, 68);
    while (fatSectors.size() < fatCount) {
      difatSectors.push_back(difat);
      for (uint32_t i = 0; i + 1 < ss / 4 && fatSectors.size() < fatCount; ++i)
        fatSectors.push_back(U32(b, Off(difat) + 4 * i));
      difat = U32(b, Off(difat) + ss - 4);
    }
    for (uint32_t s = U32(b, 48); s != 0xFFFFFFFEu; s = Fat(s)) dirSectors.push_back(s);
  }

  size_t Off(uint32_t sector) const { return (size_t{sector} + 1) * ss; }
  size_t FatOff(uint32_t sector) const { return Off(fatSectors[sector / (ss / 4)]) + 4 * (sector % (ss / 4)); }
  uint32_t Fat(uint32_t sector) const { return U32(b, FatOff(sector)); }
  size_t EntryOff(uint32_t entry) const { return Off(dirSectors[entry / (ss / 128)]) + 128 * (entry % (ss / 128)); }
  size_t EntryCount() const { return dirSectors.size() * (ss / 128); }

  std::u16string Name(uint32_t entry) const {
    size_t off = EntryOff(entry);
    uint16_t bytes = static_cast<uint16_t>(static_cast<uint8_t>(b[off + 64]) | (static_cast<uint8_t>(b[off + 65]) << 8));
    std::u16string name;
    for (size_t i = 0; i + 1 < bytes / 2u; ++i)
      name.push_back(static_cast<char16_t>(static_cast<uint8_t>(b[off + 2 * i]) |
                                           (static_cast<uint8_t>(b[off + 2 * i + 1]) << 8)));
    return name;
  }
  uint8_t Type(uint32_t entry) const { return static_cast<uint8_t>(b[EntryOff(entry) + 66]); }
  bool Black(uint32_t entry) const { return b[EntryOff(entry) + 67] == 1; }
  uint32_t Left(uint32_t entry) const { return U32(b, EntryOff(entry) + 68); }
  uint32_t Right(uint32_t entry) const { return U32(b, EntryOff(entry) + 72); }
  uint32_t Child(uint32_t entry) const { return U32(b, EntryOff(entry) + 76); }
  uint32_t Start(uint32_t entry) const { return U32(b, EntryOff(entry) + 116); }

  // The entry whose name is `name` (first match), or -1.
  int Find(const std::u16string& name) const {
    for (uint32_t i = 0; i < EntryCount(); ++i)
      if (Type(i) != 0 && Name(i) == name) return static_cast<int>(i);
    return -1;
  }

  const std::string& b;
  uint32_t ss = 512;
  std::vector<uint32_t> fatSectors;
  std::vector<uint32_t> difatSectors;
  std::vector<uint32_t> dirSectors;
};

}  // namespace ztv::cfb::test
