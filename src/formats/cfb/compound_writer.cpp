#include "formats/cfb/compound_writer.h"

#include <algorithm>
#include <cstring>

#include "core/errors.h"
#include "core/file_io.h"
#include "formats/cfb/cfb_names.h"

namespace ztv::cfb {

struct CompoundFileWriter::StorageNode::Item {
  std::string name;
  std::u16string name16;
  std::unique_ptr<StorageNode> storage;  // set for a storage
  // Stream data: exactly one of these is used.
  std::string bytes;
  std::unique_ptr<TZVStream> data;
  StreamSource source;
};

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutU64(uint8_t* p, uint64_t v) {
  PutU32(p, static_cast<uint32_t>(v));
  PutU32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

constexpr size_t kCopyChunk = 1 << 16;
constexpr size_t kOutBuffer = 1 << 20;

}  // namespace

CompoundFileWriter::StorageNode::StorageNode() = default;
CompoundFileWriter::StorageNode::~StorageNode() = default;

CompoundFileWriter::StorageNode::Item& CompoundFileWriter::StorageNode::Add(const std::string& name, bool storage) {
  auto item = std::make_unique<Item>();
  item->name = name;
  bool valid = Utf8ToUtf16(name, item->name16) && !item->name16.empty() && item->name16.size() <= kMaxNameUnits &&
               item->name16.find_first_of(u"/\\:!") == std::u16string::npos &&
               item->name16.find(u'\0') == std::u16string::npos;
  if (!valid) throw Exception(Format("Недопустимое имя элемента составного файла: \"%s\"", name));
  for (const auto& other : items_)
    if (CompareNames(other->name16, item->name16) == 0)
      throw Exception(Format("Повторяющееся имя элемента составного файла: \"%s\"", name));
  if (storage) item->storage = std::make_unique<StorageNode>();
  items_.push_back(std::move(item));
  return *items_.back();
}

CompoundFileWriter::StorageNode& CompoundFileWriter::StorageNode::AddStorage(const std::string& name) {
  return *Add(name, true).storage;
}

void CompoundFileWriter::StorageNode::AddStream(const std::string& name, std::string bytes) {
  Add(name, false).bytes = std::move(bytes);
}

void CompoundFileWriter::StorageNode::AddStream(const std::string& name, std::unique_ptr<TZVStream> data) {
  if (!data) throw Exception(Format("Нет данных потока \"%s\"", name));
  Add(name, false).data = std::move(data);
}

void CompoundFileWriter::StorageNode::AddStream(const std::string& name, StreamSource source) {
  if (!source) throw Exception(Format("Нет данных потока \"%s\"", name));
  Add(name, false).source = std::move(source);
}

void CompoundFileWriter::StorageNode::AddFile(const std::string& name, const std::string& fileName) {
  AddStream(name, StreamSource([fileName] {
              return std::make_unique<TZVFileStream>(fileName, TZVFileStream::Mode::OpenRead);
            }));
}

// One save: lays out the directory, writes the data sectors in order, then
// the mini FAT, the directory, the FAT and the DIFAT, and last the header.
class CompoundFileWriter::Builder {
 public:
  Builder(int majorVersion, TZVStream& dest)
      : major_(majorVersion),
        shift_(majorVersion == 4 ? 12 : 9),
        ss_(1u << shift_),
        dest_(dest),
        base_(dest.Position()) {}

  void Write(StorageNode& root) {
    Entry rootEntry;
    rootEntry.name16 = u"Root Entry";
    rootEntry.type = kTypeRoot;
    entries_.push_back(std::move(rootEntry));
    Layout(root, 0);

    // The header's place; it is written once everything else is known.
    std::vector<uint8_t> zeros(ss_, 0);
    Put(zeros.data(), zeros.size());

    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].type == kTypeStream) WriteStream(entries_[i]);
    FinishMiniStream();
    uint32_t miniFatStart = WriteTable(miniFat_);
    uint32_t miniFatSectors = static_cast<uint32_t>(CeilDiv(miniFat_.size() * 4, ss_));
    auto [dirStart, dirSectors] = WriteDirectory();
    WriteFatAndHeader(miniFatStart, miniFatSectors, dirStart, dirSectors);
  }

 private:
  struct Entry {
    std::u16string name16;
    uint8_t type = kTypeUnused;
    bool red = false;
    uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    uint32_t start = kEndOfChain;
    uint64_t size = 0;
    StorageNode::Item* item = nullptr;
  };

  // Gives the storage's elements consecutive entries in name order, links
  // them into a balanced tree, then does the same inside each sub-storage.
  void Layout(StorageNode& node, uint32_t self) {
    std::vector<StorageNode::Item*> items;
    for (auto& it : node.items_) items.push_back(it.get());
    std::sort(items.begin(), items.end(),
              [](const auto* a, const auto* b) { return CompareNames(a->name16, b->name16) < 0; });
    const uint32_t first = static_cast<uint32_t>(entries_.size());
    for (auto* item : items) {
      Entry e;
      e.name16 = item->name16;
      e.type = item->storage ? kTypeStorage : kTypeStream;
      e.item = item;
      entries_.push_back(std::move(e));
    }
    const uint32_t n = static_cast<uint32_t>(items.size());
    if (n > 0) {
      // A tree split at the middle has its null links at two depths only;
      // when its last level is not full, painting that level red keeps the
      // same number of black nodes on every path.
      int levels = 0;
      while ((uint64_t{1} << levels) < uint64_t{n} + 1) ++levels;
      bool perfect = (uint64_t{1} << levels) == uint64_t{n} + 1;
      entries_[self].child = Link(first, 0, n, 0, perfect ? -1 : levels - 1);
    }
    for (uint32_t i = 0; i < n; ++i)
      if (items[i]->storage) Layout(*items[i]->storage, first + i);
  }

  uint32_t Link(uint32_t first, uint32_t lo, uint32_t hi, int depth, int redDepth) {
    if (lo >= hi) return kNoStream;
    uint32_t mid = lo + (hi - lo) / 2;
    Entry& e = entries_[first + mid];
    e.red = depth == redDepth;
    uint32_t left = Link(first, lo, mid, depth + 1, redDepth);
    uint32_t right = Link(first, mid + 1, hi, depth + 1, redDepth);
    entries_[first + mid].left = left;
    entries_[first + mid].right = right;
    return first + mid;
  }

  // --- output ---

  void Put(const void* data, size_t count) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
      size_t n = std::min(count, kOutBuffer - out_.size());
      out_.insert(out_.end(), p, p + n);
      p += n;
      count -= n;
      if (out_.size() == kOutBuffer) Flush();
    }
  }

  void Flush() {
    dest_.WriteBuffer(out_.data(), static_cast<int64_t>(out_.size()));
    out_.clear();
  }

  // Takes the next sector of the file; `link` is its FAT entry.
  uint32_t NewSector(uint32_t link) {
    if (fat_.size() >= kMaxRegSect) throw Exception("Составной файл слишком велик");
    fat_.push_back(link);
    return static_cast<uint32_t>(fat_.size() - 1);
  }

  // --- streams ---

  void WriteStream(Entry& e) {
    StorageNode::Item& item = *e.item;
    std::unique_ptr<TZVStream> opened;
    TZVStream* data = nullptr;
    TZVMemoryStream empty;
    if (item.data) {
      data = item.data.get();
    } else if (item.source) {
      opened = item.source();
      if (!opened) throw Exception(Format("Нет данных потока \"%s\"", item.name));
      data = opened.get();
    }
    uint64_t size = data ? static_cast<uint64_t>(data->Size()) : item.bytes.size();
    if (data) data->SetPosition(0);
    if (major_ == 3 && size > 0xFFFFFFFFu)
      throw Exception(Format("Поток \"%s\" слишком велик для составного файла версии 3", item.name));
    e.size = size;
    if (size == 0) return;

    std::vector<uint8_t> chunk;
    uint64_t done = 0;
    auto next = [&](size_t limit) -> const uint8_t* {
      size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, limit));
      if (!data) {
        const auto* p = reinterpret_cast<const uint8_t*>(item.bytes.data()) + done;
        done += n;
        return p;
      }
      chunk.resize(n);
      data->ReadBuffer(chunk.data(), static_cast<int64_t>(n));
      done += n;
      return chunk.data();
    };

    if (size < kMiniStreamCutoff) {
      e.start = static_cast<uint32_t>(miniFat_.size());
      const uint8_t* p = next(static_cast<size_t>(size));
      uint32_t count = static_cast<uint32_t>(CeilDiv(size, kMiniSectorSize));
      for (uint32_t i = 0; i < count; ++i)
        miniFat_.push_back(i + 1 < count ? e.start + i + 1 : kEndOfChain);
      miniData_.insert(miniData_.end(), p, p + size);
      miniData_.resize(miniData_.size() + (count * kMiniSectorSize - size), 0);
      // Whole sectors of the mini stream go out as soon as they fill.
      while (miniData_.size() >= ss_) {
        miniSectors_.push_back(NewSector(kEndOfChain));
        Put(miniData_.data(), ss_);
        miniData_.erase(miniData_.begin(), miniData_.begin() + ss_);
      }
      return;
    }

    // A big stream takes consecutive sectors.
    uint64_t sectors = CeilDiv(size, ss_);
    e.start = static_cast<uint32_t>(fat_.size());
    for (uint64_t i = 0; i < sectors; ++i) {
      uint32_t s = NewSector(kEndOfChain);
      if (i > 0) fat_[s - 1] = s;
    }
    while (done < size) {
      uint64_t before = done;
      const uint8_t* p = next(kCopyChunk);
      Put(p, static_cast<size_t>(done - before));
    }
    std::vector<uint8_t> pad(sectors * ss_ - size, 0);
    Put(pad.data(), pad.size());
  }

  void FinishMiniStream() {
    if (!miniData_.empty()) {
      miniSectors_.push_back(NewSector(kEndOfChain));
      miniData_.resize(ss_, 0);
      Put(miniData_.data(), ss_);
      miniData_.clear();
    }
    for (size_t i = 0; i + 1 < miniSectors_.size(); ++i) fat_[miniSectors_[i]] = miniSectors_[i + 1];
    entries_[0].start = miniSectors_.empty() ? kEndOfChain : miniSectors_[0];
    entries_[0].size = uint64_t{miniFat_.size()} * kMiniSectorSize;
  }

  // Writes a table of 32-bit entries into a chain of consecutive sectors,
  // padded with free entries. Returns the first sector (or the end mark).
  uint32_t WriteTable(const std::vector<uint32_t>& table) {
    if (table.empty()) return kEndOfChain;
    const uint32_t perSector = ss_ / 4;
    uint64_t sectors = CeilDiv(table.size(), perSector);
    uint32_t start = static_cast<uint32_t>(fat_.size());
    std::vector<uint8_t> buf(ss_);
    for (uint64_t s = 0; s < sectors; ++s) {
      NewSector(s + 1 < sectors ? static_cast<uint32_t>(fat_.size() + 1) : kEndOfChain);
      for (uint32_t j = 0; j < perSector; ++j) {
        uint64_t k = s * perSector + j;
        PutU32(buf.data() + 4 * j, k < table.size() ? table[k] : kFreeSect);
      }
      Put(buf.data(), buf.size());
    }
    return start;
  }

  std::pair<uint32_t, uint32_t> WriteDirectory() {
    const uint32_t perSector = ss_ / kDirEntrySize;
    uint64_t sectors = CeilDiv(entries_.size(), perSector);
    uint32_t start = static_cast<uint32_t>(fat_.size());
    std::vector<uint8_t> buf(ss_);
    for (uint64_t s = 0; s < sectors; ++s) {
      NewSector(s + 1 < sectors ? static_cast<uint32_t>(fat_.size() + 1) : kEndOfChain);
      std::fill(buf.begin(), buf.end(), 0);
      for (uint32_t j = 0; j < perSector; ++j) {
        uint8_t* p = buf.data() + j * kDirEntrySize;
        uint64_t k = s * perSector + j;
        if (k >= entries_.size()) {
          PutU32(p + 68, kNoStream);
          PutU32(p + 72, kNoStream);
          PutU32(p + 76, kNoStream);
          continue;
        }
        const Entry& e = entries_[k];
        for (size_t c = 0; c < e.name16.size(); ++c) PutU16(p + 2 * c, e.name16[c]);
        PutU16(p + 64, static_cast<uint16_t>((e.name16.size() + 1) * 2));
        p[66] = e.type;
        p[67] = e.red ? 0 : 1;
        PutU32(p + 68, e.left);
        PutU32(p + 72, e.right);
        PutU32(p + 76, e.child);
        PutU32(p + 116, e.type == kTypeStorage ? 0 : e.start);
        PutU64(p + 120, e.size);
      }
      Put(buf.data(), buf.size());
    }
    return {start, static_cast<uint32_t>(sectors)};
  }

  void WriteFatAndHeader(uint32_t miniFatStart, uint32_t miniFatSectors, uint32_t dirStart, uint32_t dirSectors) {
    const uint64_t perSector = ss_ / 4;
    const uint64_t data = fat_.size();
    // The FAT must also describe its own sectors and the DIFAT's.
    uint64_t fatCount = CeilDiv(data, perSector), difatCount = 0;
    for (;;) {
      difatCount = fatCount > kHeaderDifatCount ? CeilDiv(fatCount - kHeaderDifatCount, perSector - 1) : 0;
      uint64_t need = CeilDiv(data + fatCount + difatCount, perSector);
      if (need <= fatCount) break;
      fatCount = need;
    }
    if (data + fatCount + difatCount > kMaxRegSect) throw Exception("Составной файл слишком велик");
    std::vector<uint32_t> fatSectors;
    for (uint64_t i = 0; i < fatCount; ++i) fatSectors.push_back(NewSector(kFatSect));
    std::vector<uint32_t> difatSectors;
    for (uint64_t i = 0; i < difatCount; ++i) difatSectors.push_back(NewSector(kDifSect));
    fat_.resize(fatCount * perSector, kFreeSect);

    std::vector<uint8_t> buf(ss_);
    for (uint64_t s = 0; s < fatCount; ++s) {
      for (uint64_t j = 0; j < perSector; ++j) PutU32(buf.data() + 4 * j, fat_[s * perSector + j]);
      Put(buf.data(), buf.size());
    }
    for (uint64_t d = 0; d < difatCount; ++d) {
      for (uint64_t j = 0; j + 1 < perSector; ++j) {
        uint64_t k = kHeaderDifatCount + d * (perSector - 1) + j;
        PutU32(buf.data() + 4 * j, k < fatSectors.size() ? fatSectors[k] : kFreeSect);
      }
      PutU32(buf.data() + 4 * (perSector - 1), d + 1 < difatCount ? difatSectors[d + 1] : kEndOfChain);
      Put(buf.data(), buf.size());
    }
    Flush();
    int64_t end = dest_.Position();

    std::vector<uint8_t> h(ss_, 0);
    std::memcpy(h.data(), kSignature, sizeof(kSignature));
    PutU16(h.data() + 24, kMinorVersion);
    PutU16(h.data() + 26, static_cast<uint16_t>(major_));
    PutU16(h.data() + 28, kByteOrderMark);
    PutU16(h.data() + 30, static_cast<uint16_t>(shift_));
    PutU16(h.data() + 32, 6);
    PutU32(h.data() + 40, major_ == 4 ? dirSectors : 0);
    PutU32(h.data() + 44, static_cast<uint32_t>(fatCount));
    PutU32(h.data() + 48, dirStart);
    PutU32(h.data() + 56, kMiniStreamCutoff);
    PutU32(h.data() + 60, miniFatStart);
    PutU32(h.data() + 64, miniFatSectors);
    PutU32(h.data() + 68, difatCount > 0 ? difatSectors[0] : kEndOfChain);
    PutU32(h.data() + 72, static_cast<uint32_t>(difatCount));
    for (uint32_t i = 0; i < kHeaderDifatCount; ++i)
      PutU32(h.data() + 76 + 4 * i, i < fatSectors.size() ? fatSectors[i] : kFreeSect);
    dest_.SetPosition(base_);
    dest_.WriteBuffer(h.data(), static_cast<int64_t>(h.size()));
    dest_.SetPosition(end);
  }

  int major_;
  uint32_t shift_;
  uint32_t ss_;
  TZVStream& dest_;
  int64_t base_;
  std::vector<uint8_t> out_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> miniFat_;
  std::vector<uint8_t> miniData_;  // the mini stream's unfinished sector
  std::vector<uint32_t> miniSectors_;
};

CompoundFileWriter::CompoundFileWriter(int majorVersion)
    : majorVersion_(majorVersion), root_(std::make_unique<StorageNode>()) {
  if (majorVersion != 3 && majorVersion != 4)
    throw Exception(Format("Неподдерживаемая версия составного файла: %d", majorVersion));
}

CompoundFileWriter::~CompoundFileWriter() = default;

void CompoundFileWriter::SaveToStream(TZVStream& dest) {
  Builder builder(majorVersion_, dest);
  builder.Write(*root_);
}

void CompoundFileWriter::SaveToFile(const std::string& fileName) {
  // Written beside the file and put in its place only when complete.
  TReplacement replacement(fileName);
  {
    TZVFileStream file(replacement.PartialName(), TZVFileStream::Mode::Create);
    SaveToStream(file);
  }
  replacement.Commit();
}

}  // namespace ztv::cfb
