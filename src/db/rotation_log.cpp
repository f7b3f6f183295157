#include "db/rotation_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/errors.h"
#include "db/process_runner.h"

namespace ztv {
namespace {

constexpr size_t kChunk = 64 * 1024;

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

int64_t FileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

// Writes all bytes at `offset`; false when the write falls short.
bool WriteAllAt(int fd, const char* data, size_t size, int64_t offset) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
  return true;
}

[[noreturn]] void ReadFailed() { throw Exception("TRotationLog.CheckRotation: не удалось прочитать "); }

}  // namespace

void TRotationLog::WriteLine(const std::string& Text, bool AddLineBreak) {
  if (FileName_.empty()) throw Exception("DoRotation: не задано имя файла.");
  std::string unused;
  const int fd = ::open(FileName_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Win32ErrorText(Format("Не удается создать файл с именем: %s.", FileName_), true, unused);
  FileHandle file(fd);

  if (LineCount_ == -1) {
    LineCount_ = CheckRotation(fd);
    if (LineCount_ > MaxLines_) Rotate(fd);
  }
  const int64_t end = FileSize(fd);
  if (end < 0) ReadFailed();

  std::string data = Text;
  if (AddLineBreak) data += "\r\n";
  if (end >= 1) {
    // A file that does not end in a line break (CR LF, or LF as tools here
    // write, or a CR whose LF is still to come) gets one first, so the text
    // starts on a line of its own.
    char last = 0;
    if (::pread(fd, &last, 1, static_cast<off_t>(end - 1)) != 1) ReadFailed();
    if (last != '\n' && last != '\r') data.insert(0, "\r\n");
  }
  // Counted the way the file is counted: by its line feeds.
  LineCount_ += std::count(data.begin(), data.end(), '\n');

  if (!WriteAllAt(fd, data.data(), data.size(), end)) {
    Win32ErrorText(Format("Не удается записать строку: %s в файл с именем: %s.", data, FileName_), true, unused);
  }
  if (LineCount_ > MaxLines_) {
    LineCount_ = CheckRotation(fd);
    Rotate(fd);
  }
}

int64_t TRotationLog::CheckRotation(int fd) {
  const int64_t size = FileSize(fd);
  if (size < 0) ReadFailed();
  if (size == 0) return 0;
  // Found afresh by every count, so an offset of an earlier, longer file is
  // never used.
  CutPosition_ = -1;
  std::vector<char> buffer(kChunk);
  int64_t count = 0;
  int64_t offset = 0;
  while (offset < size) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kChunk), size - offset));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) ReadFailed();
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[static_cast<size_t>(i)] == '\n') {
        ++count;
        if (count == CutLines_) CutPosition_ = offset + i + 1;
      }
    }
    offset += got;
  }
  return count;
}

void TRotationLog::Rotate(int fd) {
  if (CutPosition_ <= 0) return;
  const int64_t size = FileSize(fd);
  if (size < 0) throw Exception(Format("RotationLog: Ошибка чтения файла %s", FileName_));
  // The kept lines move to the front piece by piece (the target always lies
  // before the source), then the file is cut to their length: the log is
  // never empty on the way and memory stays bounded however long it is.
  std::vector<char> buffer(kChunk);
  for (int64_t from = CutPosition_; from < size;) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kChunk), size - from));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(from));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw Exception(Format("RotationLog: Ошибка чтения файла %s", FileName_));
    if (!WriteAllAt(fd, buffer.data(), static_cast<size_t>(got), from - CutPosition_)) {
      throw Exception(Format("RotationLog: Ошибка записи в файл %s", FileName_));
    }
    from += got;
  }
  const int64_t kept = std::max<int64_t>(size - CutPosition_, 0);
  if (::ftruncate(fd, static_cast<off_t>(kept)) != 0) {
    throw Exception(Format("RotationLog: Ошибка записи в файл %s", FileName_));
  }
  LineCount_ -= CutLines_;
}

}  // namespace ztv
