#include "formats/cfb/compound_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "core/errors.h"
#include "formats/cfb/cfb_names.h"

namespace ztv::cfb {

namespace {

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t GetU64(const uint8_t* p) { return GetU32(p) | (static_cast<uint64_t>(GetU32(p + 4)) << 32); }

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

constexpr int64_t kCopyChunk = 1 << 16;

}  // namespace

bool IsCompoundFile(TZVStream& stream) {
  uint8_t head[sizeof(kSignature)];
  int64_t pos = stream.Position();
  stream.SetPosition(0);
  int64_t got = stream.Read(head, sizeof(head));
  stream.SetPosition(pos);
  return got == static_cast<int64_t>(sizeof(head)) && std::memcmp(head, kSignature, sizeof(head)) == 0;
}

bool IsCompoundFile(const std::string& fileName) {
  try {
    TZVFileStream file(fileName, TZVFileStream::Mode::OpenRead);
    return IsCompoundFile(file);
  } catch (const Exception&) {
    return false;
  }
}

namespace detail {

// One directory entry that belongs to the tree.
struct Node {
  std::u16string name16;
  Element element;
  uint8_t type = kTypeUnused;
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  uint32_t child = kNoStream;
  uint32_t start = kEndOfChain;
  uint32_t parent = kNoStream;
  std::vector<Element> children;  // storages and the root only
};

class Reader {
 public:
  Reader(std::unique_ptr<TZVStream> file, std::string fileName);

  [[noreturn]] void Fail(const std::string& fault) const {
    throw Exception(Format("Повреждённый составной файл [%s]: %s", fileName_, fault));
  }

  const Node& NodeAt(uint32_t entry) const { return nodes_.at(entry); }
  const Node* FindNode(uint32_t entry) const {
    auto it = nodes_.find(entry);
    return it == nodes_.end() ? nullptr : &it->second;
  }
  const std::string& FileName() const { return fileName_; }
  int MajorVersion() const { return major_; }
  uint32_t SectorSize() const { return sectorSize_; }

  // The sectors (regular or mini) of a stream element, checked.
  std::vector<uint32_t> StreamSectors(const Node& node) const;
  // Reads `count` bytes of stream data at `pos` into `out`.
  void ReadStreamData(const std::vector<uint32_t>& sectors, bool mini, uint64_t pos, uint8_t* out,
                      size_t count) const;

 private:
  void ReadHeader(uint8_t* header);
  void LoadFat(const uint8_t* header);
  void LoadDirectory(uint32_t firstDirSector);
  void LoadMiniFat(uint32_t firstMiniFatSector);
  void LoadTree();
  void ParseEntry(uint32_t entry, Node& node) const;

  // Follows a chain of regular sectors of known length `count`.
  std::vector<uint32_t> RegularChain(uint32_t start, uint64_t count, const char* what) const;
  // Follows a chain of regular sectors up to its end mark.
  std::vector<uint32_t> OpenChain(uint32_t start, const char* what) const;
  std::vector<uint32_t> MiniChain(uint32_t start, uint64_t count, const std::string& what) const;

  uint64_t SectorOffset(uint32_t sector) const { return (static_cast<uint64_t>(sector) + 1) << sectorShift_; }
  // Reads file bytes; a part beyond the end of the file (a cut last
  // sector) reads as zeros.
  void ReadAt(uint64_t offset, uint8_t* out, size_t count) const;
  void ReadSector(uint32_t sector, uint8_t* out) const;

  std::unique_ptr<TZVStream> file_;
  std::string fileName_;
  uint64_t fileSize_ = 0;
  int major_ = 3;
  uint32_t sectorShift_ = 9;
  uint32_t sectorSize_ = 512;
  uint32_t fileSectors_ = 0;  // sectors that start inside the file
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> miniFat_;
  std::vector<uint32_t> dirSectors_;
  uint32_t entryCount_ = 0;
  std::vector<uint32_t> miniStreamSectors_;
  uint64_t miniStreamSize_ = 0;
  std::unordered_map<uint32_t, Node> nodes_;
};

Reader::Reader(std::unique_ptr<TZVStream> file, std::string fileName)
    : file_(std::move(file)), fileName_(std::move(fileName)) {
  fileSize_ = static_cast<uint64_t>(std::max<int64_t>(file_->Size(), 0));
  uint8_t header[512];
  ReadHeader(header);
  LoadFat(header);
  LoadDirectory(GetU32(header + 48));
  LoadMiniFat(GetU32(header + 60));
  LoadTree();
}

void Reader::ReadAt(uint64_t offset, uint8_t* out, size_t count) const {
  size_t got = 0;
  if (offset < fileSize_) {
    file_->SetPosition(static_cast<int64_t>(offset));
    got = static_cast<size_t>(file_->Read(out, static_cast<int64_t>(count)));
  }
  if (got < count) std::memset(out + got, 0, count - got);
}

void Reader::ReadSector(uint32_t sector, uint8_t* out) const {
  if (sector >= fileSectors_) Fail(Format("номер сектора %u за пределами файла", sector));
  ReadAt(SectorOffset(sector), out, sectorSize_);
}

void Reader::ReadHeader(uint8_t* header) {
  file_->SetPosition(0);
  int64_t got = file_->Read(header, 512);
  if (got < static_cast<int64_t>(sizeof(kSignature)) || std::memcmp(header, kSignature, sizeof(kSignature)) != 0)
    throw Exception(Format("Файл не является составным файлом [%s]", fileName_));
  if (got < 512) Fail("файл короче заголовка");
  if (GetU16(header + 28) != kByteOrderMark) Fail("неверный признак порядка байтов");
  major_ = GetU16(header + 26);
  if (major_ != 3 && major_ != 4) Fail(Format("неподдерживаемая версия формата %d", major_));
  sectorShift_ = GetU16(header + 30);
  if (sectorShift_ != 9 && sectorShift_ != 12) Fail(Format("неверный размер сектора (сдвиг %u)", sectorShift_));
  sectorSize_ = 1u << sectorShift_;
  uint16_t miniShift = GetU16(header + 32);
  if (miniShift != 6) Fail(Format("неверный размер мини-сектора (сдвиг %u)", miniShift));
  uint32_t cutoff = GetU32(header + 56);
  if (cutoff != kMiniStreamCutoff) Fail(Format("неверный порог мини-потоков %u", cutoff));
  uint64_t sectors = fileSize_ > sectorSize_ ? CeilDiv(fileSize_ - sectorSize_, sectorSize_) : 0;
  fileSectors_ = static_cast<uint32_t>(std::min<uint64_t>(sectors, uint64_t{kMaxRegSect} + 1));
}

void Reader::LoadFat(const uint8_t* header) {
  const uint32_t perSector = sectorSize_ / 4;
  const uint32_t fatCount = GetU32(header + 44);
  if (fatCount > fileSectors_) Fail(Format("число секторов FAT (%u) больше числа секторов файла", fatCount));
  // FAT sectors beyond those that describe the file's own sectors can only
  // hold free entries; they are not loaded.
  const uint32_t used = static_cast<uint32_t>(std::min<uint64_t>(fatCount, CeilDiv(fileSectors_, perSector)));

  std::vector<uint32_t> fatSectors;
  fatSectors.reserve(used);
  for (uint32_t i = 0; i < kHeaderDifatCount && fatSectors.size() < used; ++i)
    fatSectors.push_back(GetU32(header + 76 + 4 * i));
  if (fatSectors.size() < used) {
    // The rest of the list lives in DIFAT sectors: perSector - 1 entries
    // each, the last slot linking to the next DIFAT sector.
    const uint32_t difatCount = GetU32(header + 72);
    const uint64_t needed = CeilDiv(used - fatSectors.size(), perSector - 1);
    if (needed > difatCount) Fail(Format("секторов DIFAT (%u) меньше, чем нужно для FAT", difatCount));
    std::vector<uint32_t> seen;
    std::vector<uint8_t> buf(sectorSize_);
    uint32_t next = GetU32(header + 68);
    for (uint64_t k = 0; k < needed; ++k) {
      if (next >= fileSectors_) Fail(Format("цепочка DIFAT обрывается или указывает за пределы файла (%u)", next));
      seen.push_back(next);
      ReadSector(next, buf.data());
      for (uint32_t i = 0; i + 1 < perSector && fatSectors.size() < used; ++i)
        fatSectors.push_back(GetU32(buf.data() + 4 * i));
      next = GetU32(buf.data() + 4 * (perSector - 1));
    }
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) Fail("цепочка DIFAT зациклена");
  }

  fat_.resize(static_cast<size_t>(used) * perSector);
  std::vector<uint8_t> buf(sectorSize_);
  for (size_t i = 0; i < fatSectors.size(); ++i) {
    if (fatSectors[i] >= fileSectors_)
      Fail(Format("сектор FAT номер %u (%u) за пределами файла", static_cast<unsigned>(i), fatSectors[i]));
    ReadSector(fatSectors[i], buf.data());
    for (uint32_t j = 0; j < perSector; ++j) fat_[i * perSector + j] = GetU32(buf.data() + 4 * j);
  }
}

std::vector<uint32_t> Reader::RegularChain(uint32_t start, uint64_t count, const char* what) const {
  if (count > fileSectors_) Fail(Format("%s больше файла", what));
  std::vector<uint32_t> chain;
  chain.reserve(static_cast<size_t>(count));
  uint32_t cur = start;
  for (uint64_t i = 0; i < count; ++i) {
    if (cur >= fileSectors_ || cur >= fat_.size()) {
      if (cur > kMaxRegSect) Fail(Format("цепочка секторов (%s) короче размера", what));
      Fail(Format("номер сектора %u (%s) за пределами файла", cur, what));
    }
    chain.push_back(cur);
    cur = fat_[cur];
  }
  std::vector<uint32_t> sorted = chain;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    Fail(Format("цепочка секторов (%s) зациклена", what));
  return chain;
}

std::vector<uint32_t> Reader::OpenChain(uint32_t start, const char* what) const {
  std::vector<uint32_t> chain;
  uint32_t cur = start;
  while (cur != kEndOfChain) {
    // A chain that reaches its end mark within as many steps as the file
    // has sectors cannot repeat a sector; a longer one loops.
    if (chain.size() >= fileSectors_) Fail(Format("цепочка секторов (%s) зациклена", what));
    if (cur >= fileSectors_ || cur >= fat_.size()) Fail(Format("номер сектора %u (%s) за пределами файла", cur, what));
    chain.push_back(cur);
    cur = fat_[cur];
  }
  return chain;
}

void Reader::LoadDirectory(uint32_t firstDirSector) {
  dirSectors_ = OpenChain(firstDirSector, "каталог");
  if (dirSectors_.empty()) Fail("каталог пуст");
  entryCount_ = static_cast<uint32_t>(
      std::min<uint64_t>(uint64_t{dirSectors_.size()} * (sectorSize_ / kDirEntrySize), kNoStream));
}

void Reader::LoadMiniFat(uint32_t firstMiniFatSector) {
  std::vector<uint32_t> sectors = OpenChain(firstMiniFatSector, "мини-FAT");
  const uint32_t perSector = sectorSize_ / 4;
  miniFat_.resize(sectors.size() * perSector);
  std::vector<uint8_t> buf(sectorSize_);
  for (size_t i = 0; i < sectors.size(); ++i) {
    ReadSector(sectors[i], buf.data());
    for (uint32_t j = 0; j < perSector; ++j) miniFat_[i * perSector + j] = GetU32(buf.data() + 4 * j);
  }
}

void Reader::ParseEntry(uint32_t entry, Node& node) const {
  const uint32_t perSector = sectorSize_ / kDirEntrySize;
  uint8_t raw[kDirEntrySize];
  ReadAt(SectorOffset(dirSectors_[entry / perSector]) + uint64_t{entry % perSector} * kDirEntrySize, raw,
         sizeof(raw));
  uint16_t nameBytes = GetU16(raw + 64);
  if (nameBytes > 64 || nameBytes % 2 != 0)
    Fail(Format("неверная длина имени (%u) элемента каталога %u", nameBytes, entry));
  node.name16.clear();
  for (uint32_t i = 0; i < nameBytes / 2u; ++i) {
    char16_t c = static_cast<char16_t>(GetU16(raw + 2 * i));
    if (c == 0) break;
    node.name16.push_back(c);
  }
  node.type = raw[66];
  node.left = GetU32(raw + 68);
  node.right = GetU32(raw + 72);
  node.child = GetU32(raw + 76);
  node.start = GetU32(raw + 116);
  uint64_t size = GetU64(raw + 120);
  // Version 3 files keep only 32 bits; some writers leave garbage above.
  if (major_ == 3) size &= 0xFFFFFFFFu;
  node.element.name = Utf16ToUtf8(node.name16);
  node.element.entry = entry;
  node.element.kind = node.type == kTypeStream ? ElementKind::Stream : ElementKind::Storage;
  node.element.size = node.type == kTypeStream || node.type == kTypeRoot ? size : 0;
}

void Reader::LoadTree() {
  Node root;
  ParseEntry(0, root);
  if (root.type != kTypeRoot) Fail("первый элемент каталога не является корневым");
  miniStreamSize_ = root.element.size;
  root.element.size = 0;
  if (miniStreamSize_ > 0)
    miniStreamSectors_ = RegularChain(root.start, CeilDiv(miniStreamSize_, sectorSize_), "мини-поток");
  nodes_.emplace(0, std::move(root));

  std::vector<bool> visited(entryCount_, false);
  visited[0] = true;
  const uint64_t miniSectorsAvailable =
      std::min<uint64_t>(CeilDiv(miniStreamSize_, kMiniSectorSize), miniFat_.size());

  // Storages still to list, with their nesting level; sibling trees are
  // walked in order with an explicit stack, so neither a long chain of
  // siblings nor deep nesting can exhaust the call stack.
  std::vector<std::pair<uint32_t, int>> storages{{0, 0}};
  std::vector<uint32_t> pending;
  while (!storages.empty()) {
    const uint32_t storage = storages.back().first;
    const int depth = storages.back().second;
    storages.pop_back();
    std::vector<Element> children;
    auto visit = [&](uint32_t entry) {
      if (entry >= entryCount_)
        Fail(Format("ссылка на элемент каталога %u за пределами каталога (элементов: %u)", entry, entryCount_));
      if (visited[entry]) Fail(Format("цикл в дереве каталога (элемент %u)", entry));
      visited[entry] = true;
      Node node;
      ParseEntry(entry, node);
      if (node.type != kTypeStorage && node.type != kTypeStream)
        Fail(Format("элемент каталога %u неверного типа %u", entry, node.type));
      node.parent = storage;
      if (node.type == kTypeStream) {
        uint64_t size = node.element.size;
        bool fits = size >= kMiniStreamCutoff ? CeilDiv(size, sectorSize_) <= fileSectors_
                                              : CeilDiv(size, kMiniSectorSize) <= miniSectorsAvailable;
        if (!fits) Fail(Format("поток \"%s\" больше файла (%u байт)", node.element.name, size));
      }
      nodes_.emplace(entry, std::move(node));
    };
    uint32_t cur = nodes_.at(storage).child;
    pending.clear();
    while (cur != kNoStream || !pending.empty()) {
      while (cur != kNoStream) {
        visit(cur);
        pending.push_back(cur);
        cur = nodes_.at(cur).left;
      }
      uint32_t top = pending.back();
      pending.pop_back();
      const Node& node = nodes_.at(top);
      children.push_back(node.element);
      if (node.type == kTypeStorage) {
        if (depth + 1 > kMaxStorageDepth)
          Fail(Format("вложенность хранилищ больше %d уровней", kMaxStorageDepth));
        storages.emplace_back(top, depth + 1);
      }
      cur = node.right;
    }
    nodes_.at(storage).children = std::move(children);
  }
}

std::vector<uint32_t> Reader::MiniChain(uint32_t start, uint64_t count, const std::string& what) const {
  const uint64_t limit = std::min<uint64_t>(CeilDiv(miniStreamSize_, kMiniSectorSize), miniFat_.size());
  std::vector<uint32_t> chain;
  chain.reserve(static_cast<size_t>(count));
  uint32_t cur = start;
  for (uint64_t i = 0; i < count; ++i) {
    if (cur >= limit) {
      if (cur > kMaxRegSect) Fail(Format("цепочка мини-секторов (%s) короче размера", what));
      Fail(Format("номер мини-сектора %u (%s) за пределами мини-потока", cur, what));
    }
    chain.push_back(cur);
    cur = miniFat_[cur];
  }
  std::vector<uint32_t> sorted = chain;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    Fail(Format("цепочка мини-секторов (%s) зациклена", what));
  return chain;
}

std::vector<uint32_t> Reader::StreamSectors(const Node& node) const {
  uint64_t size = node.element.size;
  if (size == 0) return {};
  std::string what = Format("поток \"%s\"", node.element.name);
  if (size < kMiniStreamCutoff) return MiniChain(node.start, CeilDiv(size, kMiniSectorSize), what);
  return RegularChain(node.start, CeilDiv(size, sectorSize_), what.c_str());
}

void Reader::ReadStreamData(const std::vector<uint32_t>& sectors, bool mini, uint64_t pos, uint8_t* out,
                            size_t count) const {
  while (count > 0) {
    if (mini) {
      uint64_t idx = pos / kMiniSectorSize;
      uint32_t off = static_cast<uint32_t>(pos % kMiniSectorSize);
      size_t n = std::min<size_t>(count, kMiniSectorSize - off);
      uint64_t inMini = uint64_t{sectors[idx]} * kMiniSectorSize + off;
      uint32_t regular = miniStreamSectors_[inMini / sectorSize_];
      ReadAt(SectorOffset(regular) + inMini % sectorSize_, out, n);
      pos += n;
      out += n;
      count -= n;
    } else {
      // One read for each run of consecutive sectors.
      size_t idx = static_cast<size_t>(pos >> sectorShift_);
      uint32_t off = static_cast<uint32_t>(pos & (sectorSize_ - 1));
      uint64_t span = sectorSize_ - off;
      size_t last = idx;
      while (span < count && last + 1 < sectors.size() && sectors[last + 1] == sectors[last] + 1) {
        ++last;
        span += sectorSize_;
      }
      size_t n = static_cast<size_t>(std::min<uint64_t>(count, span));
      ReadAt(SectorOffset(sectors[idx]) + off, out, n);
      pos += n;
      out += n;
      count -= n;
    }
  }
}

// A read-only view of one stream element.
class ElementStream : public TZVStream {
 public:
  ElementStream(std::shared_ptr<const Reader> reader, const Node& node)
      : reader_(std::move(reader)),
        sectors_(reader_->StreamSectors(node)),
        size_(node.element.size),
        mini_(size_ < kMiniStreamCutoff) {}

  int64_t Read(void* buffer, int64_t count) override {
    if (count <= 0 || position_ >= size_) return 0;
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(count), size_ - position_);
    reader_->ReadStreamData(sectors_, mini_, position_, static_cast<uint8_t*>(buffer), static_cast<size_t>(n));
    position_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, int64_t) override { throw EStreamError("Stream write error"); }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::Begin     ? 0
                   : origin == SeekOrigin::Current ? static_cast<int64_t>(position_)
                                                   : static_cast<int64_t>(size_);
    int64_t target = base + offset;
    if (target < 0) throw EStreamError("Stream seek error");
    position_ = static_cast<uint64_t>(target);
    return target;
  }
  void SetSize(int64_t) override { throw EStreamError("Stream size error"); }
  int64_t Size() override { return static_cast<int64_t>(size_); }

 private:
  std::shared_ptr<const Reader> reader_;
  std::vector<uint32_t> sectors_;
  uint64_t size_;
  bool mini_;
  uint64_t position_ = 0;
};

}  // namespace detail

// --- Storage ---

std::string Storage::Name() const { return reader_->NodeAt(entry_).element.name; }

const std::vector<Element>& Storage::Elements() const { return reader_->NodeAt(entry_).children; }

std::optional<Element> Storage::Find(const std::string& name) const {
  std::u16string key;
  if (!Utf8ToUtf16(name, key)) return std::nullopt;
  // The tree of a sound file is ordered, so a descent finds the name; the
  // list is searched too, for files whose writer did not keep the order.
  uint32_t cur = reader_->NodeAt(entry_).child;
  while (cur != kNoStream) {
    const detail::Node& node = reader_->NodeAt(cur);
    int cmp = CompareNames(key, node.name16);
    if (cmp == 0) return node.element;
    cur = cmp < 0 ? node.left : node.right;
  }
  for (const Element& e : Elements())
    if (CompareNames(key, reader_->NodeAt(e.entry).name16) == 0) return e;
  return std::nullopt;
}

const Element& Storage::Require(const std::string& name, ElementKind kind) const {
  std::optional<Element> found = Find(name);
  if (!found) throw Exception(Format("Элемент \"%s\" не найден в составном файле [%s]", name, reader_->FileName()));
  const Element& e = reader_->NodeAt(found->entry).element;
  CheckOwn(e, kind);
  return e;
}

void Storage::CheckOwn(const Element& element, ElementKind kind) const {
  const detail::Node* node = reader_->FindNode(element.entry);
  if (!node || node->parent != entry_)
    throw Exception(Format("Элемент \"%s\" не найден в составном файле [%s]", element.name, reader_->FileName()));
  if (node->element.kind != kind)
    throw Exception(Format(kind == ElementKind::Storage ? "Элемент \"%s\" составного файла [%s] не является хранилищем"
                                                        : "Элемент \"%s\" составного файла [%s] не является потоком",
                           element.name, reader_->FileName()));
}

Storage Storage::OpenStorage(const std::string& name) const {
  return Storage(reader_, Require(name, ElementKind::Storage).entry);
}

Storage Storage::OpenStorage(const Element& element) const {
  CheckOwn(element, ElementKind::Storage);
  return Storage(reader_, element.entry);
}

std::unique_ptr<TZVStream> Storage::OpenStream(const std::string& name) const {
  return OpenStream(Require(name, ElementKind::Stream));
}

std::unique_ptr<TZVStream> Storage::OpenStream(const Element& element) const {
  CheckOwn(element, ElementKind::Stream);
  return std::make_unique<detail::ElementStream>(reader_, reader_->NodeAt(element.entry));
}

std::string Storage::ReadStream(const std::string& name) const { return ReadStream(Require(name, ElementKind::Stream)); }

std::string Storage::ReadStream(const Element& element) const {
  std::unique_ptr<TZVStream> s = OpenStream(element);
  // The size was checked against the file's size when the file was opened.
  std::string data(static_cast<size_t>(s->Size()), '\0');
  s->ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  return data;
}

int64_t Storage::ReadStreamTo(const std::string& name, TZVStream& dest) const {
  return ReadStreamTo(Require(name, ElementKind::Stream), dest);
}

int64_t Storage::ReadStreamTo(const Element& element, TZVStream& dest) const {
  std::unique_ptr<TZVStream> s = OpenStream(element);
  int64_t size = s->Size();
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(size, kCopyChunk)));
  int64_t done = 0;
  while (done < size) {
    int64_t n = std::min<int64_t>(size - done, kCopyChunk);
    s->ReadBuffer(buf.data(), n);
    dest.WriteBuffer(buf.data(), n);
    done += n;
  }
  return done;
}

// --- CompoundFile ---

CompoundFile::CompoundFile(const std::string& fileName)
    : reader_(std::make_shared<detail::Reader>(
          std::make_unique<TZVFileStream>(fileName, TZVFileStream::Mode::OpenRead), fileName)) {}

CompoundFile::CompoundFile(std::unique_ptr<TZVStream> stream, std::string displayName)
    : reader_(std::make_shared<detail::Reader>(std::move(stream), std::move(displayName))) {}

CompoundFile::~CompoundFile() = default;

Storage CompoundFile::Root() const { return Storage(reader_, 0); }

int CompoundFile::MajorVersion() const { return reader_->MajorVersion(); }

uint32_t CompoundFile::SectorSize() const { return reader_->SectorSize(); }

}  // namespace ztv::cfb
