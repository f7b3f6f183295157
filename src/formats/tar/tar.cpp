#include "formats/tar/tar.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "core/crc32.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/text.h"

namespace ztv {
namespace {

constexpr int64_t kBlock = 512;
constexpr size_t kIoChunk = 1 << 20;  // reads and writes go through 1 MiB buffers
constexpr int64_t kSpecChunk = 1000;  // the unit in which short member reads are reported
// After a jump over member data the next header is most likely all that is
// wanted from there: a small read, so that walking the headers of an archive
// of large members reads little more than the headers.
constexpr size_t kHeaderWindow = 16 * 1024;

int64_t RoundUpToBlock(int64_t n) {
  if (n <= 0) return 0;
  uint64_t u = static_cast<uint64_t>(n);
  uint64_t r = (u + kBlock - 1) / kBlock * kBlock;
  return r > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                         : static_cast<int64_t>(r);
}

// Writes `value` as `width - 1` octal digits followed by NUL; only the
// low-order digits of a value too large are kept.
void PutOctal(uint8_t* field, int width, uint64_t value) {
  for (int i = width - 2; i >= 0; --i) {
    field[i] = static_cast<uint8_t>('0' + (value & 7));
    value >>= 3;
  }
  field[width - 1] = 0;
}

// The text of a field up to its first NUL.
std::string FieldText(const uint8_t* field, int width) {
  int n = 0;
  while (n < width && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), static_cast<size_t>(n));
}

// Octal field: text up to NUL, trimmed, digits accumulated until a blank or
// anything else that is not an octal digit.
uint64_t GetOctal(const uint8_t* field, int width) {
  int end = 0;
  while (end < width && field[end] != 0) ++end;
  int i = 0;
  while (i < end && field[i] <= ' ') ++i;  // leading blanks and control characters
  uint64_t v = 0;
  for (; i < end; ++i) {
    const uint8_t c = field[i];
    if (c < '0' || c > '7') break;
    v = v * 8 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

void PutText(uint8_t* field, int width, const std::string& utf8) {
  std::string bytes = Utf8ToCp1251(utf8);
  std::memcpy(field, bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(width)));
}

// Link targets and account names are the system's own bytes (UTF-8 here),
// stored as they are, so that other tar programs see the same link and
// owner; they are read back as UTF-8 when they are valid UTF-8, else as
// code page 1251.
void PutSystemText(uint8_t* field, int width, const std::string& bytes) {
  std::memcpy(field, bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(width)));
}

std::string SystemFieldText(const uint8_t* field, int width) {
  std::string raw = FieldText(field, width);
  return IsValidUtf8(raw) ? raw : Cp1251ToUtf8(raw);
}

uint32_t BlockSum(const uint8_t* block) {
  uint32_t sum = 0;
  for (int i = 0; i < kBlock; ++i) sum += block[i];
  // The chksum field counts as eight blanks.
  for (int i = 148; i < 156; ++i) sum = sum - block[i] + ' ';
  return sum;
}

// A file's last-write time to the millisecond, as a date value.
double StatModTime(const struct stat& st) {
  const double seconds =
      static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec / 1000000) / 1000.0;
  return kUnixEpochDate + seconds / 86400.0;
}

int OpenForReading(const std::string& fileName, int extraFlags) {
  for (;;) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | extraFlags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// "[path]: reason" failures of one entry.
Exception EntryError(const char* pattern, const std::string& path, int err) {
  return Exception(Format(pattern, path, SystemErrorText(err)));
}

struct timespec UnixTime(double dateTime) {
  struct timespec t{};
  t.tv_sec = static_cast<time_t>(DateTimeToUnixSeconds(dateTime));
  return t;
}

bool CarriesNoData(TTarFileType t) {
  return t == TTarFileType::Link || t == TTarFileType::SymbolicLink || t == TTarFileType::Directory ||
         t == TTarFileType::FIFOFile || t == TTarFileType::VolumeHeader;
}

}  // namespace

char FileTypeToChar(TTarFileType type) {
  static const char kLetters[] = "01234567DMV";
  auto v = static_cast<unsigned>(type);
  if (v > 10) throw Exception("Ошибочный тип FileType при вызове FileTypeToChar()");
  return kLetters[v];
}

TTarFileType LinkFlagToFileType(char flag) {
  if (flag == 0 || flag == '0') return TTarFileType::Regular;
  if (flag >= '1' && flag <= '7') return static_cast<TTarFileType>(flag - '0');
  if (flag == 'D') return TTarFileType::DirDump;
  if (flag == 'M') return TTarFileType::Multivol;
  if (flag == 'V') return TTarFileType::VolumeHeader;
  throw Exception(std::string("Не правильное поле LinkFlag: \"") + Cp1251ToUtf8(std::string(1, flag)) + "\"");
}

std::string TarSystemErrorText(int code) { return Format("Error code #%d %s", code, SystemErrorText(code)); }

double NowAsDateTime() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return kUnixEpochDate + (static_cast<double>(t) + static_cast<double>(local.tm_gmtoff)) / 86400.0;
}

int64_t DateTimeToUnixSeconds(double dateTime) {
  return static_cast<int64_t>(std::llround((dateTime - kUnixEpochDate) * 86400.0));
}

double FileModTimeUtc(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return StatModTime(st);
}

// ---------------------------------------------------------------- reader

TTarArchive::TTarArchive(const std::string& fileName) {
  fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    errno = EISDIR;
  }
  if (fd_ < 0)
    throw Exception("TTarArchive.Create(). Ошибка при открытии файла: \r" + fileName + "\r" +
                    TarSystemErrorText(errno));
  buffer_.resize(kIoChunk);
  Rewind();
}

TTarArchive::~TTarArchive() {
  if (fd_ >= 0) ::close(fd_);
}

void TTarArchive::Rewind() {
  SetFilePos(0, 0);
  pendingBytes_ = 0;
  fileSize_ = GetFileSize();
}

void TTarArchive::SetFilePos(int origin, int64_t offset) {
  int64_t base = origin == 0 ? 0 : origin == 1 ? pos_ : GetFileSize();
  bool overflow = (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset);
  int64_t target = overflow ? std::numeric_limits<int64_t>::max() : base + offset;
  if (target < 0)
    throw Exception("TTarArchive.SetFilePos(" + std::to_string(offset) + ")\r" +
                    "Ошибка позиционирования в TAR-файле. #" + TarSystemErrorText(EINVAL));
  pos_ = target;
}

int64_t TTarArchive::GetFileSize() {
  struct stat st;
  if (::fstat(fd_, &st) != 0)
    throw Exception("TTarArchive.GetFileSize()\rОшибка получения размера файла TAR. " + TarSystemErrorText(errno));
  return st.st_size;
}

int64_t TTarArchive::GetFilePos() { return pos_; }

int64_t TTarArchive::Fill() {
  if (pos_ >= bufferStart_ && pos_ < bufferStart_ + bufferLen_) return bufferStart_ + bufferLen_ - pos_;
  const bool sequential = pos_ == bufferStart_ + bufferLen_;
  const size_t want = sequential ? buffer_.size() : kHeaderWindow;
  for (;;) {
    ssize_t r = ::pread(fd_, buffer_.data(), want, pos_);
    if (r < 0 && errno == EINTR) continue;
    bufferStart_ = pos_;
    bufferLen_ = r > 0 ? r : 0;
    return bufferLen_;
  }
}

int64_t TTarArchive::ReadBytes(void* dest, int64_t n) {
  auto* out = static_cast<uint8_t*>(dest);
  int64_t done = 0;
  while (done < n) {
    const int64_t avail = Fill();
    if (avail == 0) break;
    const int64_t take = std::min(avail, n - done);
    std::memcpy(out + done, buffer_.data() + (pos_ - bufferStart_), static_cast<size_t>(take));
    done += take;
    pos_ += take;
  }
  return done;
}

bool TTarArchive::FindNext(TTarDirRec& dirRec) {
  if (pendingBytes_ > 0) {
    SetFilePos(1, RoundUpToBlock(pendingBytes_));
    pendingBytes_ = 0;
  }
  const int64_t p = GetFilePos();
  const int64_t s = fileSize_;
  if (p > s - kBlock) return false;

  uint8_t b[kBlock];
  int64_t got = ReadBytes(b, kBlock);
  CheckCondition(got == kBlock, "TTarArchive", "FindNext", "Ошибка чтения заголовка TAR. Ожидалось %d байт, прочитано %d.",
                 static_cast<int>(kBlock), static_cast<int>(got));
  if (b[0] == 0) return false;

  dirRec = TTarDirRec{};
  dirRec.HeaderPos = p;
  dirRec.Name = Cp1251ToUtf8(FieldText(b, 100));
  uint64_t mode = GetOctal(b + 100, 8);
  dirRec.Permissions = static_cast<uint16_t>(mode & 0777);
  dirRec.SpecialModes = static_cast<uint8_t>((mode >> 9) & 7);
  dirRec.OwnerId = static_cast<int32_t>(GetOctal(b + 108, 8));
  dirRec.GroupId = static_cast<int32_t>(GetOctal(b + 116, 8));
  dirRec.Size = static_cast<int64_t>(GetOctal(b + 124, 12));
  auto mtime = static_cast<int32_t>(static_cast<uint32_t>(GetOctal(b + 136, 12)));
  dirRec.ModTime = static_cast<double>(mtime) / 86400.0 + kUnixEpochDate;
  dirRec.FileType = LinkFlagToFileType(static_cast<char>(b[156]));
  dirRec.LinkName = SystemFieldText(b + 157, 100);
  dirRec.MagicText = Trim(Cp1251ToUtf8(FieldText(b + 257, 6)));
  dirRec.OwnerName = SystemFieldText(b + 265, 32);
  dirRec.GroupName = SystemFieldText(b + 297, 32);
  dirRec.DeviceMajor = static_cast<int32_t>(GetOctal(b + 329, 8));
  dirRec.DeviceMinor = static_cast<int32_t>(GetOctal(b + 337, 8));
  dirRec.ChecksumValid = (BlockSum(b) & 0xFFFF) == (GetOctal(b + 148, 8) & 0xFFFF);
  pendingBytes_ = CarriesNoData(dirRec.FileType) ? 0 : dirRec.Size;
  return true;
}

template <typename Sink>
void TTarArchive::CopyMember(Sink&& sink) {
  if (pendingBytes_ <= 0) return;
  const int64_t total = pendingBytes_;
  const int64_t padded = RoundUpToBlock(total);
  // Hands up to n bytes from the buffer to the sink; returns how many there were.
  auto copy = [&](int64_t n) {
    int64_t done = 0;
    while (done < n) {
      const int64_t avail = Fill();
      if (avail == 0) break;
      const int64_t take = std::min(avail, n - done);
      sink(buffer_.data() + (pos_ - bufferStart_), take);
      pos_ += take;
      done += take;
    }
    return done;
  };
  // A member cut short by the end of the file is reported, and written, in
  // the 1000-byte units of the original reader: the short unit itself is
  // not written.
  auto fail = [&](int64_t present) {
    const int64_t unitStart = present / kSpecChunk * kSpecChunk;
    CheckCondition(false, "TTarArchive", "ReadFileTo", "Ошибка чтения TAR-файла. Ожидалось %d байт, прочитано %d.",
                   static_cast<int>(std::min(kSpecChunk, total - unitStart)), static_cast<int>(present - unitStart));
  };
  const int64_t present = std::clamp<int64_t>(fileSize_ - pos_, 0, total);
  if (present < total) {
    copy(present / kSpecChunk * kSpecChunk);
    fail(present);
  }
  const int64_t got = copy(total);
  if (got < total) fail(got);  // the file shrank while it was read
  SetFilePos(1, padded - total);
  pendingBytes_ = 0;
}

void TTarArchive::ReadFileTo(TZVStream& stream) {
  CopyMember([&](const uint8_t* data, int64_t n) { stream.WriteBuffer(data, n); });
}

void TTarArchive::CopyMemberToFile(int fd, const std::string& fileName, uint32_t* crc) {
  uint32_t sum = 0;
  CopyMember([&](const uint8_t* data, int64_t n) {
    if (crc) sum = UpdateCRC32(sum, data, static_cast<size_t>(n));
    WriteAll(fd, data, static_cast<size_t>(n), fileName);
  });
  if (crc) *crc = sum;
}

uint32_t TTarArchive::ReadFileCrc() {
  uint32_t sum = 0;
  CopyMember([&](const uint8_t* data, int64_t n) { sum = UpdateCRC32(sum, data, static_cast<size_t>(n)); });
  return sum;
}

namespace {

int CreateFile(const std::string& fileName, int flags, mode_t mode) {
  int fd;
  do fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Closes a file that was written, reporting what the close reports (a
// delayed write failure).
void CloseWritten(FdCloser& file, const std::string& fileName) {
  const int fd = file.fd;
  file.fd = -1;
  if (::close(fd) != 0 && errno != EINTR) throw Exception(WriteErrorMessage(fileName, errno));
}

}  // namespace

void TTarArchive::ReadFileTo(const std::string& fileName) {
  const int fd = CreateFile(fileName, O_TRUNC, 0666);
  if (fd < 0) throw EStreamError(Format("Cannot create file \"%s\". %s", fileName, SystemErrorText(errno)));
  FdCloser closer{fd};
  CopyMemberToFile(fd, fileName);
  CloseWritten(closer, fileName);
}

bool TTarArchive::ReadFileToNew(const std::string& fileName) {
  const int fd = CreateFile(fileName, O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) return false;
  if (fd < 0) throw EStreamError(Format("Cannot create file \"%s\". %s", fileName, SystemErrorText(errno)));
  FdCloser closer{fd};
  CopyMemberToFile(fd, fileName);
  CloseWritten(closer, fileName);
  return true;
}

bool TTarArchive::ExtractNew(const std::string& fileName, const TTarDirRec& r, const TTarExtractOptions& options,
                             uint32_t* crc) {
  if (crc) *crc = 0;
  const mode_t mode = static_cast<mode_t>(MemberMode(r));
  const struct timespec times[2] = {{0, UTIME_OMIT}, UnixTime(r.ModTime)};
  if (r.FileType == TTarFileType::SymbolicLink) {
    if (::symlink(r.LinkName.c_str(), fileName.c_str()) != 0) {
      if (errno == EEXIST) return false;
      throw EntryError("Не удается создать символическую ссылку [%s]: %s", fileName, errno);
    }
    if (options.applyOwner && ::lchown(fileName.c_str(), static_cast<uid_t>(r.OwnerId), static_cast<gid_t>(r.GroupId)) != 0)
      throw EntryError("Не удается назначить владельца [%s]: %s", fileName, errno);
    if (options.applyAttributes) ::utimensat(AT_FDCWD, fileName.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return true;
  }

  int fd;
  if (r.FileType == TTarFileType::FIFOFile) {
    if (::mkfifo(fileName.c_str(), options.applyAttributes ? 0600 : 0666) != 0) {
      if (errno == EEXIST) return false;
      throw EntryError("Не удается создать канал [%s]: %s", fileName, errno);
    }
    // Opened without waiting for a writer, and only if it is still the pipe
    // just made.
    fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw EntryError("Не удается открыть канал [%s]: %s", fileName, errno);
  } else if (r.FileType == TTarFileType::Regular || r.FileType == TTarFileType::Contiguous) {
    fd = CreateFile(fileName, O_EXCL, options.applyAttributes ? 0600 : 0666);
    if (fd < 0 && errno == EEXIST) return false;
    if (fd < 0) throw EStreamError(Format("Cannot create file \"%s\". %s", fileName, SystemErrorText(errno)));
  } else {
    throw Exception(Format("Элемент [%s] вида \"%c\" не может быть восстановлен", r.Name, FileTypeToChar(r.FileType)));
  }
  FdCloser closer{fd};
  // The owner first: a change of owner clears the special modes.
  if (options.applyOwner && ::fchown(fd, static_cast<uid_t>(r.OwnerId), static_cast<gid_t>(r.GroupId)) != 0)
    throw EntryError("Не удается назначить владельца [%s]: %s", fileName, errno);
  if (options.applyAttributes && ::fchmod(fd, mode) != 0)
    throw EntryError("Не удается установить права доступа [%s]: %s", fileName, errno);
  if (r.FileType != TTarFileType::FIFOFile) CopyMemberToFile(fd, fileName, crc);
  if (options.applyAttributes) {
    if ((mode & 06000) != 0 && ::fchmod(fd, mode) != 0)
      throw EntryError("Не удается установить права доступа [%s]: %s", fileName, errno);
    if (::futimens(fd, times) != 0) throw EntryError("Не удается установить время изменения [%s]: %s", fileName, errno);
  }
  CloseWritten(closer, fileName);
  return true;
}

// ---------------------------------------------------------------- writer

TTarWriter::TTarWriter(const std::string& fileName) : fileName_(fileName) {
  fd_ = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0)
    throw Exception("TTarWriter.Create(). Ошибка при создании файла:\r" + fileName + "\r" +
                    TarSystemErrorText(errno));
  out_.reserve(kIoChunk + kBlock);
}

TTarWriter::~TTarWriter() {
  if (fd_ < 0) return;
  try {
    Close();
  } catch (const Exception&) {
    // A destructor cannot report; Close() is there for callers that care.
  }
  if (fd_ >= 0) ::close(fd_);
}

void TTarWriter::Flush(const std::string& failure) {
  size_t done = 0;
  while (done < out_.size()) {
    const ssize_t n = FileWrite(fd_, out_.data() + done, out_.size() - done);
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
      // The archive's own message, then which file and why in words.
      throw Exception(failure + TarSystemErrorText(err) + "\r" + WriteErrorMessage(fileName_, err));
    }
    done += static_cast<size_t>(n);
  }
  out_.clear();
}

void TTarWriter::WriteRaw(const void* data, size_t n, const std::string& failure) {
  auto* p = static_cast<const uint8_t*>(data);
  out_.insert(out_.end(), p, p + n);
  if (out_.size() >= kIoChunk) Flush(failure);
}

void TTarWriter::WriteTarHeader(const TTarDirRec& r) {
  uint8_t b[kBlock] = {};
  PutText(b, 100, r.Name);
  PutOctal(b + 100, 8, (r.Permissions & 0777u) | (static_cast<uint32_t>(r.SpecialModes & 7) << 9));
  PutOctal(b + 108, 8, static_cast<uint32_t>(r.OwnerId));
  PutOctal(b + 116, 8, static_cast<uint32_t>(r.GroupId));
  PutOctal(b + 124, 12, static_cast<uint64_t>(r.Size));
  // Whole seconds of the time, rounded to the millisecond first: a
  // whole-second time that went through a day fraction comes back a hair
  // below the second. Times before 1970 are written as the epoch itself.
  const double ms = std::round((r.ModTime - kUnixEpochDate) * 86400000.0);
  uint64_t mtime = 0;
  if (ms >= 0) mtime = ms >= 8589934591000.0 ? 8589934591ull : static_cast<uint64_t>(ms) / 1000;
  PutOctal(b + 136, 12, mtime);
  b[156] = static_cast<uint8_t>(FileTypeToChar(r.FileType));
  PutSystemText(b + 157, 100, r.LinkName);
  std::string magic = Utf8ToCp1251(r.MagicText).substr(0, 8);
  magic.resize(8, ' ');
  std::memcpy(b + 257, magic.data(), 8);
  b[262] = 0;
  b[263] = '0';
  b[264] = '0';
  PutSystemText(b + 265, 32, r.OwnerName);
  PutSystemText(b + 297, 32, r.GroupName);
  PutOctal(b + 329, 8, static_cast<uint32_t>(r.DeviceMajor));
  PutOctal(b + 337, 8, static_cast<uint32_t>(r.DeviceMinor));
  std::memset(b + 148, ' ', 8);
  PutOctal(b + 148, 8, BlockSum(b));
  WriteRaw(b, kBlock, "TTarWriter.WriteTarHeader(). Ошибка при записи в файл.\r");
}

void TTarWriter::AddFile(const std::string& fileName, const std::string& tarFileName) {
  const std::string name = tarFileName.empty() ? ReplaceAll(fileName, "\\", "/") : tarFileName;
  const int fd = OpenForReading(fileName, 0);
  if (fd < 0) throw EStreamError(Format("Cannot open file \"%s\". %s", fileName, SystemErrorText(errno)));
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0)
    throw Exception("TTarWriter.AddFile() -> CheckFileSize().\rОшибка получения размера файла:\r" + fileName +
                    "\r#" + TarSystemErrorText(errno));
  if (S_ISDIR(st.st_mode))
    throw EStreamError(Format("Cannot open file \"%s\". %s", fileName, SystemErrorText(EISDIR)));
  AddOpenFile(fd, st, fileName, MemberRecord(name, st.st_size, StatModTime(st)));
}

bool TTarWriter::AddRegularFile(const std::string& fileName, const std::string& tarFileName) {
  // Opening a pipe for reading must not wait for a writer.
  const int fd = OpenForReading(fileName, O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    struct stat st;
    if (::stat(fileName.c_str(), &st) == 0 ? !S_ISREG(st.st_mode)
                                             : ::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return false;  // not a file, or a link to nothing
    throw EStreamError(Format("Cannot open file \"%s\". %s", fileName, SystemErrorText(err)));
  }
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0)
    throw Exception("TTarWriter.AddFile() -> CheckFileSize().\rОшибка получения размера файла:\r" + fileName +
                    "\r#" + TarSystemErrorText(errno));
  if (!S_ISREG(st.st_mode)) return false;
  AddOpenFile(fd, st, fileName, MemberRecord(tarFileName, st.st_size, StatModTime(st)));
  return true;
}

bool TTarWriter::AddEntry(const std::string& fileName, const std::string& tarFileName, bool seenAsRegular) {
  lastCrc_ = 0;
  lastRegular_ = false;
  struct stat st;
  // A regular file is opened at once; O_NOFOLLOW makes a link that took its
  // place fail with ELOOP, and O_NONBLOCK keeps a pipe from waiting.
  int fd = seenAsRegular ? OpenForReading(fileName, O_NOFOLLOW | O_NONBLOCK | O_NOCTTY) : -1;
  if (fd < 0 && seenAsRegular && errno != ELOOP) throw EntryError("Не удается открыть файл [%s]: %s", fileName, errno);
  if (fd < 0) {
    if (::lstat(fileName.c_str(), &st) != 0) throw EntryError("Не удается прочитать [%s]: %s", fileName, errno);
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
      ssize_t n;
      while ((n = ::readlink(fileName.c_str(), target.data(), target.size())) >= static_cast<ssize_t>(target.size()))
        target.resize(target.size() * 2);  // the link changed since lstat
      if (n < 0) throw EntryError("Не удается прочитать символическую ссылку [%s]: %s", fileName, errno);
      target.resize(static_cast<size_t>(n));
      if (target.size() > kTarLinkNameSize || target.find('\0') != std::string::npos)
        throw Exception(Format("Цель символической ссылки [%s] длиннее %d байт и не может быть сохранена: %s",
                               fileName, static_cast<int>(kTarLinkNameSize), target));
      TTarDirRec r = EntryRecord(tarFileName, st);
      r.FileType = TTarFileType::SymbolicLink;
      r.Size = 0;
      r.LinkName = std::move(target);
      WriteTarHeader(r);
      return true;
    }
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) return false;
    if (S_ISREG(st.st_mode)) {
      fd = OpenForReading(fileName, O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
      if (fd < 0) throw EntryError("Не удается открыть файл [%s]: %s", fileName, errno);
    }
  }
  FdCloser closer{fd};
  if (fd >= 0 && ::fstat(fd, &st) != 0)
    throw Exception("TTarWriter.AddFile() -> CheckFileSize().\rОшибка получения размера файла:\r" + fileName +
                    "\r#" + TarSystemErrorText(errno));
  if (S_ISFIFO(st.st_mode)) {
    TTarDirRec r = EntryRecord(tarFileName, st);
    r.FileType = TTarFileType::FIFOFile;
    r.Size = 0;
    WriteTarHeader(r);
    return true;
  }
  if (!S_ISREG(st.st_mode)) return false;
  AddOpenFile(fd, st, fileName, EntryRecord(tarFileName, st));
  lastRegular_ = true;
  return true;
}

TTarDirRec TTarWriter::MemberRecord(const std::string& tarFileName, int64_t size, double modTime) const {
  TTarDirRec r;
  r.Name = tarFileName;
  r.Size = size;
  r.ModTime = modTime;
  r.FileType = TTarFileType::Regular;
  r.Permissions = Permissions;
  r.OwnerId = OwnerId;
  r.GroupId = GroupId;
  r.OwnerName = OwnerName;
  r.GroupName = GroupName;
  r.SpecialModes = SpecialModes;
  r.MagicText = MagicText;
  r.ChecksumValid = true;
  return r;
}

TTarDirRec TTarWriter::EntryRecord(const std::string& tarFileName, const struct stat& st) {
  TTarDirRec r = MemberRecord(tarFileName, st.st_size, StatModTime(st));
  r.Permissions = static_cast<uint16_t>(st.st_mode & 0777);
  r.SpecialModes = static_cast<uint8_t>((st.st_mode >> 9) & 7);
  r.OwnerId = static_cast<int32_t>(st.st_uid);
  r.GroupId = static_cast<int32_t>(st.st_gid);
  r.OwnerName = LookUpUserName(st.st_uid);
  r.GroupName = LookUpGroupName(st.st_gid);
  return r;
}

namespace {

// The name of an account or group id; empty when the system has none.
template <typename Lookup>
const std::string& CachedName(std::vector<std::pair<uint32_t, std::string>>& cache, uint32_t id, Lookup lookup) {
  for (const auto& [known, name] : cache)
    if (known == id) return name;
  cache.emplace_back(id, lookup(id));
  return cache.back().second;
}

}  // namespace

const std::string& TTarWriter::LookUpUserName(uint32_t uid) {
  return CachedName(userNames_, uid, [](uint32_t id) {
    std::vector<char> buf(16384);
    struct passwd pw, *found = nullptr;
    return ::getpwuid_r(id, &pw, buf.data(), buf.size(), &found) == 0 && found ? std::string(pw.pw_name) : std::string();
  });
}

const std::string& TTarWriter::LookUpGroupName(uint32_t gid) {
  return CachedName(groupNames_, gid, [](uint32_t id) {
    std::vector<char> buf(16384);
    struct group gr, *found = nullptr;
    return ::getgrgid_r(id, &gr, buf.data(), buf.size(), &found) == 0 && found ? std::string(gr.gr_name) : std::string();
  });
}

void TTarWriter::AddOpenFile(int fd, const struct stat& st, const std::string& fileName, const TTarDirRec& r) {
  CheckCondition((static_cast<uint64_t>(st.st_size) >> 32) == 0, "TTarWriter", "AddFile",
                 "Ошибка: файл слишком большой. [%s]", fileName);
  WriteTarHeader(r);
  const std::string failure =
      "TTarWriter.AddStream(TarFileName: " + r.Name + ").\r" + "Ошибка при записи в TAR файл.\r" + "#";
  // The data is read straight into the output buffer. A file that ends
  // early (it shrank while it was read) or cannot be read fails the member:
  // zeros in place of its data would be a wrong file in the backup.
  int64_t remaining = r.Size;
  uint32_t crc = 0;
  while (remaining > 0) {
    const int64_t want = std::min<int64_t>(remaining, static_cast<int64_t>(kIoChunk));
    const size_t at = out_.size();
    out_.resize(at + static_cast<size_t>(RoundUpToBlock(want)), 0);
    int64_t got = 0;
    while (got < want) {
      const ssize_t n = ::read(fd, out_.data() + at + got, static_cast<size_t>(want - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw EntryError("Ошибка чтения файла [%s]: %s", fileName, errno);
      if (n == 0)
        throw Exception(Format("Файл [%s] изменился во время копирования: ожидалось %d байт, прочитано %d", fileName,
                               static_cast<long long>(r.Size), static_cast<long long>(r.Size - remaining + got)));
      got += n;
    }
    crc = UpdateCRC32(crc, out_.data() + at, static_cast<size_t>(want));
    remaining -= want;
    if (out_.size() >= kIoChunk) Flush(failure);
  }
  lastCrc_ = crc;
}

void TTarWriter::AddStream(TZVStream& stream, const std::string& tarFileName, double modTime) {
  const TTarDirRec r = MemberRecord(tarFileName, static_cast<uint32_t>(stream.Size() - stream.Position()), modTime);
  WriteTarHeader(r);

  const std::string failure =
      "TTarWriter.AddStream(TarFileName: " + tarFileName + ").\r" + "Ошибка при записи в TAR файл.\r" + "#";
  int64_t remaining = r.Size;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(RoundUpToBlock(remaining), kIoChunk)));
  while (remaining > 0) {
    int64_t want = std::min<int64_t>(remaining, static_cast<int64_t>(chunk.size()));
    int64_t padded = RoundUpToBlock(want);
    // A short read leaves zeros in place of the missing bytes.
    int64_t got = 0;
    while (got < want) {
      int64_t n = stream.Read(chunk.data() + got, want - got);
      if (n <= 0) break;
      got += n;
    }
    std::memset(chunk.data() + got, 0, static_cast<size_t>(padded - got));
    WriteRaw(chunk.data(), static_cast<size_t>(padded), failure);
    remaining -= want;
  }
}

void TTarWriter::Finalize() {
  if (finalized_) return;
  uint8_t zero[kBlock] = {};
  const std::string failure = "TTarWriter.Finalize(). Ошибка при записи в TAR файл.\r";
  WriteRaw(zero, kBlock, failure);
  Flush(failure);
  finalized_ = true;
}

void TTarWriter::Abandon() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  out_.clear();
  finalized_ = true;
}

void TTarWriter::Close() {
  if (fd_ < 0) return;
  if (!finalized_) Finalize();
  Flush("TTarWriter.Finalize(). Ошибка при записи в TAR файл.\r");
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int err = errno;
    throw Exception("TTarWriter.Finalize(). Ошибка при записи в TAR файл.\r" + TarSystemErrorText(err) + "\r" +
                    WriteErrorMessage(fileName_, err));
  }
}

}  // namespace ztv
