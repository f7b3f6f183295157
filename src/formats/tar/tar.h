// Tar archives in the ustar block layout, as the version backup writes and
// reads them: 512-byte header blocks, data padded to whole blocks, and a
// single zero block at the end.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/stream.h"

struct stat;

namespace ztv {

// Member kinds and their typeflag letters ("0".."7", "D", "M", "V").
enum class TTarFileType : uint8_t {
  Regular = 0,
  Link = 1,
  SymbolicLink = 2,
  CharFile = 3,
  BlockFile = 4,
  Directory = 5,
  FIFOFile = 6,
  Contiguous = 7,
  DirDump = 8,
  Multivol = 9,
  VolumeHeader = 10,
};

// Permission flags (the nine rwx bits of the mode field).
namespace tarperm {
inline constexpr uint16_t ReadOwner = 0400, WriteOwner = 0200, ExecuteOwner = 0100;
inline constexpr uint16_t ReadGroup = 040, WriteGroup = 020, ExecuteGroup = 010;
inline constexpr uint16_t ReadOther = 04, WriteOther = 02, ExecuteOther = 01;
inline constexpr uint16_t All = 0777;
}  // namespace tarperm

// Special mode flags, kept in their mode-field positions shifted down by 9.
namespace tarmode {
inline constexpr uint8_t SetUid = 04, SetGid = 02, Sticky = 01;
}  // namespace tarmode

// One member's header.
struct TTarDirRec {
  std::string Name;        // as stored (separators untouched), UTF-8
  int64_t Size = 0;
  double ModTime = 0;      // days since 1899-12-30
  uint16_t Permissions = 0;
  TTarFileType FileType = TTarFileType::Regular;
  std::string LinkName;
  int32_t OwnerId = 0;
  int32_t GroupId = 0;
  std::string OwnerName;
  std::string GroupName;
  bool ChecksumValid = false;
  uint8_t SpecialModes = 0;
  std::string MagicText;
  int32_t DeviceMajor = 0;
  int32_t DeviceMinor = 0;
  int64_t HeaderPos = 0;
};

inline constexpr double kUnixEpochDate = 25569.0;  // 1970-01-01 as a date value

// The typeflag letter of a kind; a value above 10 raises.
char FileTypeToChar(TTarFileType type);
// The kind of a typeflag letter (NUL reads as Regular); others raise.
TTarFileType LinkFlagToFileType(char flag);
// "Error code #N text" for a system error code.
std::string TarSystemErrorText(int code);

// Current local date and time as a date value.
double NowAsDateTime();
// A file's last-write time in UTC as a date value; 0 when missing or a directory.
double FileModTimeUtc(const std::string& fileName);
// Whole seconds since 1970 of a member's date value (the inverse of the
// reader's conversion, exact for the whole seconds the header holds).
int64_t DateTimeToUnixSeconds(double dateTime);

// The 12 mode bits of a member: permission bits and special modes.
inline uint32_t MemberMode(const TTarDirRec& r) {
  return (r.Permissions & 0777u) | (static_cast<uint32_t>(r.SpecialModes & 7) << 9);
}

// How ExtractNew gives a written entry the attributes of its member.
struct TTarExtractOptions {
  // The member's permission bits, special modes and modification time;
  // otherwise the defaults of a new file (0666 less the umask, the time of
  // writing).
  bool applyAttributes = false;
  // The member's owner and group ids (names are not looked up); only a
  // process with the right to give files away asks for it.
  bool applyOwner = false;
};

// The length limit of a link target in the header's linkname field.
inline constexpr size_t kTarLinkNameSize = 100;

// Reads an archive member by member.
class TTarArchive {
 public:
  explicit TTarArchive(const std::string& fileName);
  ~TTarArchive();
  TTarArchive(const TTarArchive&) = delete;
  TTarArchive& operator=(const TTarArchive&) = delete;

  void Rewind();
  // Reads the next header; false at the end of the archive.
  bool FindNext(TTarDirRec& dirRec);
  // Copies the current member's data (once) and skips its padding.
  void ReadFileTo(TZVStream& stream);
  void ReadFileTo(const std::string& fileName);
  // As ReadFileTo for a file that must not exist yet: when something stands
  // at fileName already, nothing is read or written and the result is false.
  bool ReadFileToNew(const std::string& fileName);
  // Creates the entry `fileName` from the current member `r` (the record the
  // last FindNext gave): a regular file with its data, a symbolic link with
  // the member's target, or a FIFO. A link at fileName is never followed.
  // With applyAttributes the permission bits are set on the open file
  // before any data is written (a private file is never readable by others,
  // not even for a moment), the special modes are set again after the data
  // (a write by an ordinary user clears them), and the time is applied
  // last. False, with nothing read or written, when something stands at
  // fileName already; other kinds of member raise.
  // `crc`, when given, receives the CRC-32 of the data written.
  bool ExtractNew(const std::string& fileName, const TTarDirRec& r, const TTarExtractOptions& options,
                  uint32_t* crc = nullptr);
  // Reads the current member's data (once) into nothing and returns its
  // CRC-32; a member cut short raises as ReadFileTo does.
  uint32_t ReadFileCrc();

  // Origin 0 from the start, 1 from the current position, 2 from the end.
  void SetFilePos(int origin, int64_t offset);
  int64_t GetFileSize();
  int64_t GetFilePos();

  int64_t PendingBytes() const { return pendingBytes_; }

 private:
  // Makes the buffer hold the bytes at the logical position and returns how
  // many it holds from there (0 at the end of the file).
  int64_t Fill();
  // Reads up to n bytes at the logical position through the buffer.
  int64_t ReadBytes(void* dest, int64_t n);
  // Copies the current member's data to `sink`.
  template <typename Sink>
  void CopyMember(Sink&& sink);
  // Copies the current member's data into the open file `fd`, which stays
  // open; `fileName` names it in a failure.
  void CopyMemberToFile(int fd, const std::string& fileName, uint32_t* crc = nullptr);

  int fd_ = -1;
  int64_t pendingBytes_ = 0;
  int64_t pos_ = 0;  // logical position
  int64_t fileSize_ = 0;  // taken when the archive is opened or rewound
  std::vector<uint8_t> buffer_;
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  int64_t bufferLen_ = 0;
};

// Writes a new archive.
class TTarWriter {
 public:
  explicit TTarWriter(const std::string& fileName);
  // Ends the archive (when not done yet) and closes the file.
  ~TTarWriter();
  TTarWriter(const TTarWriter&) = delete;
  TTarWriter& operator=(const TTarWriter&) = delete;

  void WriteTarHeader(const TTarDirRec& dirRec);
  // Adds a disk file as a regular member; an empty member name is the file
  // name with "\" turned into "/".
  void AddFile(const std::string& fileName, const std::string& tarFileName = "");
  // As AddFile for a regular file (or a link to one); anything else (a
  // directory, a pipe, a device, a link to nothing) is passed over and the
  // result is false.
  bool AddRegularFile(const std::string& fileName, const std::string& tarFileName);
  // Adds the entry `fileName` as the file system holds it, never following
  // a symbolic link: a regular file with its data, a symbolic link as a
  // link member (typeflag "2", the target in linkname), a FIFO as a FIFO
  // member; each with its own permission bits, special modes, owner and
  // group (ids, and names in uname and gname) and modification time.
  // Anything else (a directory, a device, a socket) is passed over and the
  // result is false. `seenAsRegular` tells that a directory listing saw a
  // regular file, which is then opened at once. An entry that cannot be
  // read, a file that vanished or shrank while it was read, and a link
  // target longer than the linkname field raise, naming the entry and the
  // reason.
  bool AddEntry(const std::string& fileName, const std::string& tarFileName, bool seenAsRegular = false);
  // Adds the bytes from the stream's position to its end.
  void AddStream(TZVStream& stream, const std::string& tarFileName, double modTime);
  // Writes the single end block, once.
  void Finalize();
  // Finalizes when needed, flushes and closes; errors are raised.
  void Close();
  // Closes the file as it stands, writing nothing more (for an archive the
  // caller is about to delete).
  void Abandon();

  bool Finalized() const { return finalized_; }
  // The CRC-32 of the data of the last member AddEntry added as a regular
  // file (0 for other members).
  uint32_t LastDataCrc() const { return lastCrc_; }
  // Whether the last AddEntry added a regular file with its data.
  bool LastWasRegular() const { return lastRegular_; }

  // Attributes given to every member.
  uint16_t Permissions = tarperm::All;
  int32_t OwnerId = 0;
  int32_t GroupId = 0;
  std::string OwnerName;
  std::string GroupName;
  uint8_t SpecialModes = 0;
  std::string MagicText = "ustar";

 private:
  TTarDirRec MemberRecord(const std::string& tarFileName, int64_t size, double modTime) const;
  // A member record with the attributes of the entry whose status is `st`.
  TTarDirRec EntryRecord(const std::string& tarFileName, const struct stat& st);
  // Adds the open file `fd` (whose status is `st`) as member `r`.
  void AddOpenFile(int fd, const struct stat& st, const std::string& fileName, const TTarDirRec& r);
  const std::string& LookUpUserName(uint32_t uid);
  const std::string& LookUpGroupName(uint32_t gid);
  void WriteRaw(const void* data, size_t n, const std::string& failure);
  void Flush(const std::string& failure);

  std::string fileName_;
  int fd_ = -1;
  bool finalized_ = false;
  uint32_t lastCrc_ = 0;
  bool lastRegular_ = false;
  std::vector<uint8_t> out_;
  std::vector<std::pair<uint32_t, std::string>> userNames_, groupNames_;  // looked up once each
};

}  // namespace ztv
