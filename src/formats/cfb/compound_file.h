// Reader of compound files (structured storage): a file system inside one
// file, with storages (folders) and streams (files) named in UTF-16.
//
// The whole directory tree is read and checked when the file is opened:
// every sector number, chain and tree link is bounded by what the file can
// actually hold, so a damaged file stops with a clear message instead of
// looping, crashing or allocating by an untrusted length. Stream data is
// read on demand, in runs of sectors, never the whole file at once.
//
// Handles (Storage, the streams from OpenStream) share the open file: they
// stay valid after the CompoundFile object that produced them is gone. They
// are not meant to be used from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/stream.h"

namespace ztv::cfb {

// Deepest nesting of storages accepted (the root is level 0).
inline constexpr int kMaxStorageDepth = 256;

// True when the file starts with the compound file signature. A file that
// cannot be opened or is shorter than the signature is not one.
bool IsCompoundFile(const std::string& fileName);
// The same check on a stream, from its beginning; the position is kept.
bool IsCompoundFile(TZVStream& stream);

enum class ElementKind { Storage, Stream };

struct Element {
  std::string name;  // UTF-8
  ElementKind kind = ElementKind::Stream;
  uint64_t size = 0;  // bytes of a stream; 0 for a storage
  uint32_t entry = 0;  // the element's directory entry number
};

namespace detail {
class Reader;
}

class Storage {
 public:
  // The storage's own name ("Root Entry" or whatever the file stores for
  // the root).
  std::string Name() const;

  // The elements directly inside, in the order the directory tree keeps
  // them (ascending by the format's name order when the file is sound).
  const std::vector<Element>& Elements() const;

  // Case-insensitive lookup by name; nothing when absent.
  std::optional<Element> Find(const std::string& name) const;

  // Sub-storage by name or by an element of Elements(); a missing name or
  // an element that is not a storage is an error.
  Storage OpenStorage(const std::string& name) const;
  Storage OpenStorage(const Element& element) const;

  // A read-only stream over a stream element, reading the file in chunks.
  std::unique_ptr<TZVStream> OpenStream(const std::string& name) const;
  std::unique_ptr<TZVStream> OpenStream(const Element& element) const;

  // The whole stream in memory (for small streams such as the index).
  std::string ReadStream(const std::string& name) const;
  std::string ReadStream(const Element& element) const;
  // Copies the whole stream to `dest` at its position, chunk by chunk.
  // Returns the number of bytes copied.
  int64_t ReadStreamTo(const std::string& name, TZVStream& dest) const;
  int64_t ReadStreamTo(const Element& element, TZVStream& dest) const;

 private:
  friend class CompoundFile;
  Storage(std::shared_ptr<detail::Reader> reader, uint32_t entry) : reader_(std::move(reader)), entry_(entry) {}
  const Element& Require(const std::string& name, ElementKind kind) const;
  void CheckOwn(const Element& element, ElementKind kind) const;

  std::shared_ptr<detail::Reader> reader_;
  uint32_t entry_;
};

class CompoundFile {
 public:
  // Opens a file read-only (sharing it with other readers).
  explicit CompoundFile(const std::string& fileName);
  // Reads from `stream`; `displayName` names it in error messages.
  CompoundFile(std::unique_ptr<TZVStream> stream, std::string displayName);
  ~CompoundFile();
  CompoundFile(const CompoundFile&) = delete;
  CompoundFile& operator=(const CompoundFile&) = delete;

  Storage Root() const;
  // 3 (512-byte sectors) or 4 (4096-byte sectors).
  int MajorVersion() const;
  uint32_t SectorSize() const;

 private:
  std::shared_ptr<detail::Reader> reader_;
};

}  // namespace ztv::cfb
