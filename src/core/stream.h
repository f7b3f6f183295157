// Streams: every file format is read from and written to a TZVStream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ztv {

enum class SeekOrigin { Begin, Current, End };

class TZVStream {
 public:
  virtual ~TZVStream() = default;
  TZVStream() = default;
  TZVStream(const TZVStream&) = delete;
  TZVStream& operator=(const TZVStream&) = delete;

  // Reads up to `count` bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual void SetSize(int64_t size) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::Begin); }
  // Bytes from the position to the end.
  int64_t Remaining() { return Size() - Position(); }

  // Exactly `count` bytes or EStreamError ("Stream read error").
  void ReadBuffer(void* buffer, int64_t count);
  // Exactly `count` bytes or EStreamError ("Stream write error").
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(const std::string& bytes) { WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); }

  // Copies `count` bytes from `source`'s position; count 0 copies the whole
  // of `source` from its beginning. Returns the number of bytes copied.
  int64_t CopyFrom(TZVStream& source, int64_t count);

  // Cuts the stream at the current position.
  void Truncate() { SetSize(Position()); }

  // Replaces the content with the file's bytes (position 0 afterwards).
  void LoadFromFile(const std::string& fileName);
  // Writes the whole content to a file (position is kept): beside it first,
  // synced, then renamed over it, so that a failure leaves the old file.
  void SaveToFile(const std::string& fileName);
  void LoadFromStream(TZVStream& source);
  void SaveToStream(TZVStream& dest);

  // Little-endian integers.
  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  uint64_t ReadU64();
  void WriteU8(uint8_t v);
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
  void WriteU64(uint64_t v);
};

// A stream held in memory.
class TZVMemoryStream : public TZVStream {
 public:
  TZVMemoryStream() = default;
  explicit TZVMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  explicit TZVMemoryStream(const std::string& bytes) : data_(bytes.begin(), bytes.end()) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear() { data_.clear(); position_ = 0; }
  uint8_t* Memory() { return data_.data(); }
  const std::vector<uint8_t>& Data() const { return data_; }
  std::string AsString() const { return std::string(data_.begin(), data_.end()); }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// A stream that takes everything written to it and keeps nothing (for
// checks that decode or read data only to see that it is sound).
class TZVNullStream : public TZVStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return size_; }

 private:
  int64_t position_ = 0;
  int64_t size_ = 0;
};

// A stream over an open file.
class TZVFileStream : public TZVStream {
 public:
  enum class Mode {
    Create,     // create or truncate, read and write
    OpenRead,   // existing file, read only
    OpenWrite,  // existing file, read and write
  };
  TZVFileStream(const std::string& fileName, Mode mode);
  ~TZVFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override;

  const std::string& FileName() const { return fileName_; }
  // Flushes the file's data to the disk.
  void Sync();

 private:
  std::string fileName_;
  int fd_ = -1;
};

}  // namespace ztv
