// Writer of compound files: a tree of storages and streams is described in
// memory (stream data as bytes, as an open stream, or as a source opened only
// when the writer reaches it) and then written in one sequential pass, with
// the header written last.
//
// Layout: version 3 (512-byte sectors) or 4 (4096-byte sectors); streams
// under 4096 bytes go to the mini stream; every storage's elements form a
// red-black tree ordered the way the format orders names. Elements receive
// directory entries depth-first, each storage's elements in name order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/stream.h"

namespace ztv::cfb {

// Gives the data of one stream, read from position 0 to its end. Called
// once for each save, when the writer reaches the stream, so a tree of many
// files keeps only one of them open at a time.
using StreamSource = std::function<std::unique_ptr<TZVStream>()>;

class CompoundFileWriter {
 public:
  class StorageNode {
   public:
    // Nodes come from CompoundFileWriter::Root and AddStorage.
    StorageNode();
    StorageNode(const StorageNode&) = delete;
    StorageNode& operator=(const StorageNode&) = delete;
    ~StorageNode();

    // Names: 1 to 31 UTF-16 code units, none of / \ : !, unique within the
    // storage ignoring letter case. A bad or repeated name is an error.
    StorageNode& AddStorage(const std::string& name);
    void AddStream(const std::string& name, std::string bytes);
    void AddStream(const std::string& name, std::unique_ptr<TZVStream> data);
    void AddStream(const std::string& name, StreamSource source);
    // The file's content, opened when it is written.
    void AddFile(const std::string& name, const std::string& fileName);

   private:
    friend class CompoundFileWriter;
    struct Item;
    Item& Add(const std::string& name, bool storage);

    std::vector<std::unique_ptr<Item>> items_;
  };

  // `majorVersion` 3 or 4.
  explicit CompoundFileWriter(int majorVersion = 3);
  ~CompoundFileWriter();
  CompoundFileWriter(const CompoundFileWriter&) = delete;
  CompoundFileWriter& operator=(const CompoundFileWriter&) = delete;

  StorageNode& Root() { return *root_; }

  // Creates (or replaces) the file.
  void SaveToFile(const std::string& fileName);
  // Writes the compound file at `dest`'s position.
  void SaveToStream(TZVStream& dest);

 private:
  class Builder;
  int majorVersion_;
  std::unique_ptr<StorageNode> root_;
};

}  // namespace ztv::cfb
