// TTransporter: a read-only dataset over an IMD packet lying in a stream,
// read without copying the packet first; and TSharedStream, a read-only
// stream over memory it does not own.
//
//   TZVMemoryStream file;  file.LoadFromFile(path);  file.SetPosition(4);
//   TTransporter reader(&file);          // borrows the stream and opens
//   TStaticSet descriptor;
//   descriptor.Assign(reader);          // fields and records copied
//
// Records are read on demand in packet order: Next continues where the
// current record ended; Prior and other backward moves read again from the
// first record (records have no fixed size and the packet no table of
// positions). Blob values stay in the stream: a record keeps the position
// of each blob and reading the field copies the bytes out, restoring the
// stream's position afterwards.
//
// Opening on fewer than 9 bytes gives an open dataset without fields. A
// malformed packet raises the messages of imd_format.h, when opening (the
// header) or when moving onto the bad record.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/stream.h"
#include "formats/imd/dataset.h"
#include "formats/imd/imd_format.h"

namespace ztv {

class TTransporter : public TDataSet {
 public:
  TTransporter();
  // Borrows `stream` (the caller keeps it alive) and opens on it.
  explicit TTransporter(TZVStream* stream);
  // Takes `stream` over (OwnsStream) and opens on it.
  explicit TTransporter(std::unique_ptr<TZVStream> stream);
  ~TTransporter() override;

  // Closes, binds the stream at its current position and opens. A null
  // stream raises "Передан пустой (nil) поток с данными".
  void OpenOnStream(TZVStream* stream);
  void OpenOnStream(std::unique_ptr<TZVStream> stream);

  // Whether closing frees the stream.
  bool OwnsStream() const { return owned_ != nullptr; }
  // Clears OwnsStream: hands the stream back to the caller, who must keep
  // it alive while the transporter stays open. Null when not owned.
  std::unique_ptr<TZVStream> ReleaseStream() { return std::move(owned_); }
  TZVStream* Stream() const { return stream_; }

  // The packet header (layout, version, descriptors) while open.
  const TIMDHeader& Header() const { return header_; }

  bool CanModify() const override { return false; }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  int InternalRecordCount() override;
  int InternalCurrent() const override { return cur_; }
  bool InternalGoto(int index) override;
  bool InternalHasRecordAfter(int index) override;
  TNativeValue InternalGetValue(int field) override;

 private:
  void Restart();
  bool ReadNext();

  TZVStream* stream_ = nullptr;
  std::unique_ptr<TZVStream> owned_;
  TIMDHeader header_;
  bool hasHeader_ = false;
  std::vector<int> fieldToDescriptor_;
  std::vector<TIMDValue> current_;
  std::vector<TIMDValue> scratch_;
  int cur_ = -1;
  int64_t nextPos_ = 0;   // where the record after the current one begins
  int count_ = -1;        // number of records, once the end was seen
  bool resync_ = false;   // a read failed: reading state must be rebuilt
};

// A read-only stream over `size` bytes at `block`, positioned at
// `startPosition`. Writing stores nothing and reports 0 bytes written;
// changing the size is an error.
class TSharedStream : public TZVStream {
 public:
  TSharedStream(const void* block, int64_t startPosition, int64_t size);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return size_; }
  const uint8_t* Memory() const { return block_; }

 private:
  const uint8_t* block_;
  int64_t size_;
  int64_t position_;
};

}  // namespace ztv
