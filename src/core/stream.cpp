#include "core/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/errors.h"
#include "core/file_io.h"

namespace ztv {

int64_t TZVStream::Size() {
  int64_t pos = Seek(0, SeekOrigin::Current);
  int64_t end = Seek(0, SeekOrigin::End);
  Seek(pos, SeekOrigin::Begin);
  return end;
}

void TZVStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0 || (count != 0 && Read(buffer, count) != count))
    throw EStreamError("Stream read error");
}

void TZVStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0 || (count != 0 && Write(buffer, count) != count))
    throw EStreamError("Stream write error");
}

int64_t TZVStream::CopyFrom(TZVStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)));
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return total;
}

void TZVStream::LoadFromFile(const std::string& fileName) {
  TZVFileStream file(fileName, TZVFileStream::Mode::OpenRead);
  LoadFromStream(file);
}

void TZVStream::SaveToFile(const std::string& fileName) {
  // Written beside the file and put in its place only when complete.
  TReplacement replacement(fileName);
  {
    TZVFileStream file(replacement.PartialName(), TZVFileStream::Mode::Create);
    SaveToStream(file);
  }
  replacement.Commit();
}

void TZVStream::LoadFromStream(TZVStream& source) {
  SetPosition(0);
  SetSize(0);
  CopyFrom(source, 0);
  SetPosition(0);
}

void TZVStream::SaveToStream(TZVStream& dest) {
  int64_t pos = Position();
  dest.CopyFrom(*this, 0);
  SetPosition(pos);
}

uint8_t TZVStream::ReadU8() {
  uint8_t b;
  ReadBuffer(&b, 1);
  return b;
}

uint16_t TZVStream::ReadU16() {
  uint8_t b[2];
  ReadBuffer(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t TZVStream::ReadU32() {
  uint8_t b[4];
  ReadBuffer(b, 4);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

uint64_t TZVStream::ReadU64() {
  uint64_t lo = ReadU32();
  uint64_t hi = ReadU32();
  return lo | (hi << 32);
}

void TZVStream::WriteU8(uint8_t v) { WriteBuffer(&v, 1); }

void TZVStream::WriteU16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  WriteBuffer(b, 2);
}

void TZVStream::WriteU32(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                  static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  WriteBuffer(b, 4);
}

void TZVStream::WriteU64(uint64_t v) {
  WriteU32(static_cast<uint32_t>(v));
  WriteU32(static_cast<uint32_t>(v >> 32));
}

// --- memory ---

int64_t TZVMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TZVMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = position_ + count;
  if (end > Size()) {
    if (static_cast<uint64_t>(end) > data_.max_size()) throw EStreamError("Out of memory while expanding memory stream");
    if (static_cast<size_t>(end) > data_.capacity())
      data_.reserve(std::max<size_t>(static_cast<size_t>(end), data_.capacity() * 2));
    data_.resize(static_cast<size_t>(end));
  }
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TZVMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : Size();
  int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = target;
  return position_;
}

void TZVMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Stream size error");
  data_.resize(static_cast<size_t>(size));
  if (position_ > size) position_ = size;
}

// --- null ---

int64_t TZVNullStream::Write(const void*, int64_t count) {
  if (count <= 0) return 0;
  position_ += count;
  size_ = std::max(size_, position_);
  return count;
}

int64_t TZVNullStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
  if (base + offset < 0) throw EStreamError("Stream seek error");
  position_ = base + offset;
  return position_;
}

void TZVNullStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Stream size error");
  size_ = size;
  position_ = std::min(position_, size_);
}

// --- file ---

TZVFileStream::TZVFileStream(const std::string& fileName, Mode mode) : fileName_(fileName) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case Mode::OpenRead: flags |= O_RDONLY; break;
    case Mode::OpenWrite: flags |= O_RDWR; break;
  }
  fd_ = ::open(fileName.c_str(), flags, 0666);
  if (fd_ < 0) {
    int err = errno;
    if (mode == Mode::Create)
      throw EStreamError(Format("Cannot create file \"%s\". %s", fileName, SystemErrorText(err)));
    throw EStreamError(Format("Cannot open file \"%s\". %s", fileName, SystemErrorText(err)));
  }
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EStreamError(Format("Cannot open file \"%s\". %s", fileName, SystemErrorText(EISDIR)));
  }
}

TZVFileStream::~TZVFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TZVFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TZVFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<const uint8_t*>(buffer);
  while (done < count) {
    const ssize_t n = FileWrite(fd_, p + done, static_cast<size_t>(count - done));
    // A failed write names the file and the reason (a full disk, a
    // read-only file system) rather than a bare stream error.
    if (n <= 0) throw EStreamError(WriteErrorMessage(fileName_, n < 0 ? errno : ENOSPC));
    done += n;
  }
  return done;
}

int64_t TZVFileStream::Seek(int64_t offset, SeekOrigin origin) {
  int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(fd_, offset, whence);
  if (r < 0) throw EStreamError("Stream seek error");
  return r;
}

int64_t TZVFileStream::Size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return TZVStream::Size();
  return st.st_size;
}

void TZVFileStream::SetSize(int64_t size) {
  if (size < 0 || ::ftruncate(fd_, size) != 0) throw EStreamError("Stream size error");
  if (Position() > size) Seek(size, SeekOrigin::Begin);
}

void TZVFileStream::Sync() {
  if (FileSync(fd_) != 0) throw EStreamError(WriteErrorMessage(fileName_, errno));
}

}  // namespace ztv
