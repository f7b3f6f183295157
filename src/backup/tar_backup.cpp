#include "backup/tar_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "backup/file_ops.h"
#include "backup/names.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"
#include "platform/paths.h"

namespace ztv {
namespace {

// The restore's list of what is on disk is never written, so it may hold
// paths longer than the index allows.
constexpr int kDiskListNameSize = 4096;

// The longest file name component the file system holds, in bytes.
constexpr size_t kMaxComponentBytes = 255;

bool EndsWithText(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && SameText(s.substr(s.size() - tail.size()), tail);
}

size_t CharCount(const std::string& utf8) { return DecodeUtf8(utf8).size(); }

}  // namespace

std::unique_ptr<TStaticSet> CreateIndexSet(int nameSize, bool withAttributes) {
  auto set = std::make_unique<TStaticSet>();
  set->AddField("ID", TFieldType::Integer);
  set->AddField("Name", TFieldType::String, nameSize);
  set->AddField("IsDirectory", TFieldType::Boolean);
  if (withAttributes) {
    set->AddField(kIndexModeField, TFieldType::Integer);
    set->AddField(kIndexOwnerField, TFieldType::Integer);
    set->AddField(kIndexGroupField, TFieldType::Integer);
    set->AddField(kIndexCrcField, TFieldType::Integer);
  }
  set->Open();
  return set;
}

void CheckStoredRelativeName(const std::string& name) {
  bool bad = name.empty() || name[0] == '\\' || name[0] == '/' || name.find('\0') != std::string::npos ||
             (name.size() >= 2 && name[1] == ':');
  size_t start = 0;
  while (!bad && start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.size() > kMaxComponentBytes) bad = true;
    start = end + 1;
  }
  // The stored form separates with "\" only: a "/" would be a separator of
  // its own on disk, outside every check of the folders; control characters
  // are no names a workplace holds.
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '/') bad = true;
  if (bad) throw Exception(Format("Недопустимое имя в индексе резервной копии: [%s]", name));
}

TIndexEntries CheckBackupIndex(TStaticSet& index) {
  TField* id = index.FindField("ID");
  TField* name = index.FindField("Name");
  TField* isDir = index.FindField("IsDirectory");
  if (!id || !name || !isDir) throw Exception("в индексе резервной копии нет полей ID, Name и IsDirectory");
  TField* crc = index.FindField(kIndexCrcField);
  TIndexEntries entries;
  std::unordered_map<std::string, bool> names;  // name -> is a directory
  entries.reserve(static_cast<size_t>(index.RecordCount()));
  names.reserve(static_cast<size_t>(index.RecordCount()));
  for (index.First(); !index.Eof(); index.Next()) {
    TIndexEntry e;
    e.name = name->AsString();
    CheckStoredRelativeName(e.name);
    e.isDirectory = isDir->AsBoolean();
    e.hasCrc = !e.isDirectory && crc && !crc->IsNull();
    if (e.hasCrc) e.crc = static_cast<uint32_t>(crc->AsInteger());
    if (!names.emplace(e.name, e.isDirectory).second)
      throw Exception(Format("имя [%s] повторяется в индексе резервной копии", e.name));
    if (!entries.emplace(id->AsInteger(), std::move(e)).second)
      throw Exception(Format("номер [%d] повторяется в индексе резервной копии", id->AsInteger()));
  }
  for (const auto& [n, dir] : names) {
    const size_t slash = n.rfind('\\');
    if (slash == std::string::npos) continue;
    const std::string parent = n.substr(0, slash);
    auto it = names.find(parent);
    if (it == names.end() || !it->second)
      throw Exception(Format("в индексе резервной копии нет каталога [%s], в котором лежит [%s]", parent, n));
  }
  return entries;
}

TIndexEntry& CheckBackupMember(const std::string& memberName, char typeflag, TIndexEntries& entries) {
  auto it = entries.find(StrToInt(memberName));
  if (it == entries.end())
    throw ETyped(Format("Ошибка: в backup обнаружен файл, отсутствующий в индексе [%s]", memberName));
  TIndexEntry& e = it->second;
  if (e.isDirectory) throw Exception(Format("элемент [%s] записан для каталога индекса", memberName));
  if (e.hasMember) throw Exception(Format("элемент [%s] повторяется", memberName));
  const bool file = typeflag == 0 || typeflag == '0' || typeflag == '7';
  const bool restorable = file || typeflag == '2' || typeflag == '6';
  if (!restorable || (e.hasCrc && !file))
    throw Exception(Format("элемент [%s] вида \"%s\" не может быть восстановлен", memberName,
                           Cp1251ToUtf8(std::string(1, typeflag))));
  e.hasMember = true;
  return e;
}

void CheckBackupMembersComplete(const TIndexEntries& entries) {
  for (const auto& [id, e] : entries)
    if (e.hasCrc && !e.hasMember) throw Exception(Format("нет данных файла [%s] (элемент %d)", e.name, id));
}

std::vector<std::pair<std::string, char>> ReadTarBackupIndex(TTarArchive& archive, TStaticSet& index,
                                                             uint32_t options) {
  archive.Rewind();
  std::vector<std::pair<std::string, char>> members;
  TZVMemoryStream stream;
  bool found = false;
  TTarDirRec r;
  while (archive.FindNext(r)) {
    if (!SameText(r.Name, kIndexMemberName)) {
      members.emplace_back(r.Name, FileTypeToChar(r.FileType));
    } else if (!found) {
      found = true;
      archive.ReadFileTo(stream);
    }
  }
  if (!found) throw ETyped("Не найден файл индекса в резервной копии.");
  stream.SetPosition(0);
  LoadDataSetFromStream(stream, index, UnpackOptions::RecreateFields | options);
  return members;
}

std::string ReadBackupVersion(const std::string& fileName) {
  TTarArchive archive(fileName);
  TStaticSet index;
  ReadTarBackupIndex(archive, index, UnpackOptions::WithParams);
  const TParam* version = index.Params().FindParam(kIndexVersionParam);
  return version && !version->IsNull() ? version->AsString() : std::string();
}

TTarBackup::TTarBackup(std::string directory, std::string archiveFileName)
    : Directory(std::move(directory)),
      ArchiveFileName(std::move(archiveFileName)),
      BackupIndex(CreateIndexSet()),
      DiskList(CreateIndexSet()) {}

TTarBackup::~TTarBackup() = default;

void TTarBackup::Progress(int32_t percent, const std::string& text) {
  if (OnProgress) OnProgress(percent, text);
}

int TTarBackup::ScanDirectory(TStaticSet& dataset, const std::string& subDir, int nextId) {
  const std::string base = DropTrailingSeparator(Directory);
  const std::string dirPath = subDir.empty() ? base : JoinPath(base, StoredToNative(subDir));
  TField& idField = dataset.FieldByName("ID");
  TField& nameField = dataset.FieldByName("Name");
  TField& dirField = dataset.FieldByName("IsDirectory");
  TField* modeField = dataset.FindField(kIndexModeField);
  TField* ownerField = dataset.FindField(kIndexOwnerField);
  TField* groupField = dataset.FindField(kIndexGroupField);
  const int64_t nameSize = nameField.Size();
  DIR* d = ::opendir(dirPath.empty() ? "/" : dirPath.c_str());
  if (!d) {
    // A backup that passed over a folder it cannot read would hold it as
    // empty, and a later restore would delete what it never saved.
    if (strictScan_) throw Exception(Format("Не удается прочитать каталог [%s]: %s", dirPath, SystemErrorText(errno)));
    return nextId;  // nothing to enumerate
  }
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{d};
  const int dfd = ::dirfd(d);
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (!e) {
      if (errno != 0 && strictScan_)
        throw Exception(Format("Не удается прочитать каталог [%s]: %s", dirPath, SystemErrorText(errno)));
      break;
    }
    const char* entry = e->d_name;
    if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
    const std::string name = subDir.empty() ? std::string(entry) : subDir + "\\" + entry;
    // A name longer in bytes than the field may still fit in characters.
    const bool tooLong = static_cast<int64_t>(name.size()) > nameSize && static_cast<int64_t>(CharCount(name)) > nameSize;
    bool unfit = tooLong || std::strchr(entry, '\\') != nullptr;
    for (const char* c = entry; *c && !unfit; ++c) unfit = static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F;
    if (unfit) {
      // Such a name cannot be kept in the index (a "\" would read back as a
      // separator, a long name would be cut and name another file).
      if (nameSize <= kIndexNameSize)
        throw Exception(Format("Имя файла не может быть сохранено в резервной копии: [%s]", JoinPath(dirPath, entry)));
      continue;  // the restore leaves such a file alone
    }
    // The directory listing tells the kind on most file systems; the others
    // are asked. A directory's attributes are asked when the index keeps them.
    unsigned char kind = e->d_type;
    struct stat st;
    bool haveStat = false;
    if (kind == DT_UNKNOWN || (kind == DT_DIR && modeField)) {
      if (::fstatat(dfd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (strictScan_)
          throw Exception(Format("Не удается прочитать [%s]: %s", JoinPath(dirPath, entry), SystemErrorText(errno)));
        continue;  // vanished meanwhile
      }
      kind = IFTODT(st.st_mode);
      haveStat = true;
    }
    // A symbolic link is an entry of its own, never followed out of the
    // tree, also when it points at a directory.
    const bool isDir = kind == DT_DIR;
    dataset.Append();
    idField.SetAsInteger(nextId);
    nameField.SetAsString(name);
    dirField.SetAsBoolean(isDir);
    if (isDir && modeField && haveStat) {
      modeField->SetAsInteger(static_cast<int32_t>(st.st_mode & 07777));
      ownerField->SetAsInteger(static_cast<int32_t>(st.st_uid));
      groupField->SetAsInteger(static_cast<int32_t>(st.st_gid));
    }
    dataset.Post();
    if (nextId >= 0) {
      if (scanKinds_.size() <= static_cast<size_t>(nextId)) scanKinds_.resize(static_cast<size_t>(nextId) + 1, DT_UNKNOWN);
      scanKinds_[static_cast<size_t>(nextId)] = kind;
    }
    ++nextId;
    if (isDir) nextId = ScanDirectory(dataset, name, nextId);
  }
  return nextId;
}

void TTarBackup::Backup() {
  TTarWriter writer(ArchiveFileName);
  // A failed backup leaves no partial archive behind.
  auto discard = [&] {
    writer.Abandon();
    ::unlink(ArchiveFileName.c_str());
  };
  Progress(1, "Сканирование каталогов.");
  DiskList = CreateIndexSet(kIndexNameSize, true);
  scanKinds_.clear();
  strictScan_ = true;
  try {
    ScanDirectory(*DiskList, "", 1);
  } catch (...) {
    strictScan_ = false;
    discard();
    throw;
  }
  strictScan_ = false;

  const std::string base = DropTrailingSeparator(Directory);
  try {
    TField& idField = DiskList->FieldByName("ID");
    TField& nameField = DiskList->FieldByName("Name");
    TField& dirField = DiskList->FieldByName("IsDirectory");
    TField* crcField = DiskList->FindField(kIndexCrcField);
    const int n = DiskList->RecordCount();
    int k = 0;
    for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) {
      ++k;
      const std::string name = nameField.AsString();
      if (OnProgress) Progress(2 + static_cast<int32_t>(98LL * k / n), "Сохранение файла: " + name);
      if (dirField.AsBoolean()) continue;
      const int32_t id = idField.AsInteger();
      const unsigned char kind =
          id >= 0 && static_cast<size_t>(id) < scanKinds_.size() ? scanKinds_[static_cast<size_t>(id)] : static_cast<unsigned char>(DT_UNKNOWN);
      // Files, symbolic links and pipes become members with their modes
      // and owners; a device or a socket is recorded in the index and
      // otherwise passed over (it is never opened).
      if (kind != DT_REG && kind != DT_LNK && kind != DT_FIFO) continue;
      writer.AddEntry(JoinPath(base, StoredToNative(name)), std::to_string(id), kind == DT_REG);
      // The content's checksum goes into the file's own record, so that a
      // check of the backup can tell a damaged file before a restore.
      if (writer.LastWasRegular() && crcField) {
        DiskList->Edit();
        crcField->SetAsInteger(static_cast<int32_t>(writer.LastDataCrc()));
        DiskList->Post();
      }
    }
  } catch (const Exception& e) {
    discard();
    throw ETyped(Format("Ошибка при создании TAR-файла: %s", e.what()));
  }

  try {
    Progress(100, "Сохранение индексного файла");
    if (!Version.empty()) DiskList->Params().Add(kIndexVersionParam, TFieldType::String).SetAsString(Version);
    TZVMemoryStream index;
    DiskList->First();
    SaveDataSetToStream(*DiskList, index);
    index.SetPosition(0);
    writer.AddStream(index, kIndexMemberName, NowAsDateTime());
    writer.Close();
  } catch (...) {
    discard();
    throw;
  }
  Progress(100, "Резервное копирование завершено");
}

void WriteBackupFile(const std::string& directory, const std::string& fileName, const TBackupProgress& progress,
                     bool* replaced, const std::string& version) {
  if (replaced) *replaced = false;
  TReplacement replacement(fileName);
  TTarBackup backup(directory, replacement.PartialName());
  backup.OnProgress = progress;
  backup.Version = version;
  backup.Backup();
  replacement.Commit();
  if (replaced) *replaced = true;
}

void TTarBackup::RemoveFromDiskList(const std::string& name) {
  // `name` is the entry as it is on disk (see TNameMatcher): only that
  // record goes, never another whose name differs from it in case.
  if (DiskList->Locate("Name", TVarValue(name))) DiskList->Delete();
}

void TTarBackup::Restore() {
  const std::string base = DropTrailingSeparator(Directory);
  TTarArchive archive(ArchiveFileName);
  Progress(1, "Считывание списка файлов из резервной копии");

  // The index: the member "Index.trs", wherever it stands. The members'
  // headers are looked at on the way, so that a member the restore could
  // not write stops it before anything on disk changes.
  Progress(1, "Считывание файла индекса");
  BackupIndex = std::make_unique<TStaticSet>();
  const auto members = ReadTarBackupIndex(archive, *BackupIndex, 0);
  TIndexEntries entries = CheckBackupIndex(*BackupIndex);
  for (const auto& [name, flag] : members) CheckBackupMember(name, flag, entries);
  CheckBackupMembersComplete(entries);
  TField& nameField = BackupIndex->FieldByName("Name");
  TField& dirField = BackupIndex->FieldByName("IsDirectory");
  TField& idField = BackupIndex->FieldByName("ID");

  // A backup whose index records the attributes brings back permission
  // bits, times and (for root) owners; an older one gives the defaults of
  // new files, as it always did.
  TField* modeField = BackupIndex->FindField(kIndexModeField);
  TField* ownerField = BackupIndex->FindField(kIndexOwnerField);
  TField* groupField = BackupIndex->FindField(kIndexGroupField);
  const bool root = ::geteuid() == 0;
  TTarExtractOptions extract;
  extract.applyAttributes = modeField != nullptr;
  extract.applyOwner = extract.applyAttributes && root && ownerField && groupField;

  Progress(2, "Создание списка файлов с диска");
  DiskList = CreateIndexSet(kDiskListNameSize);
  scanKinds_.clear();
  ScanDirectory(*DiskList, "", 1);

  // Backup names are matched to what is on disk by their stored form; a
  // directory's match is kept for the names inside it.
  TNameMatcher matcher;
  TField& diskName = DiskList->FieldByName("Name");
  TField& diskIsDir = DiskList->FieldByName("IsDirectory");
  for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) matcher.AddExisting(diskName.AsString());
  for (BackupIndex->First(); !BackupIndex->Eof(); BackupIndex->Next()) matcher.Claim(nameField.AsString());
  std::unordered_map<std::string, std::string> dirs;  // backup name -> name on disk, checked to be a real directory
  auto match = [&](const std::string& name) {
    const size_t slash = name.rfind('\\');
    if (slash == std::string::npos) return matcher.Match(name);
    // The index check made sure that every folder is a directory record,
    // and those are all matched before any other name.
    auto parent = dirs.find(name.substr(0, slash));
    if (parent == dirs.end()) throw Exception(Format("Недопустимое имя в индексе резервной копии: [%s]", name));
    return matcher.Match(parent->second + name.substr(slash));
  };

  // Directories the backup records attributes for, to be given them once
  // everything inside is written.
  struct DirAttributes {
    std::string path;
    int32_t id;
    std::optional<int32_t> mode, owner, group;
  };
  std::vector<DirAttributes> dirAttributes;

  Progress(3, "Создание каталогов");
  BackupIndex->SetIndexFieldNames("ID");
  BackupIndex->SetSorted(true);
  for (BackupIndex->First(); !BackupIndex->Eof(); BackupIndex->Next()) {
    if (!dirField.AsBoolean()) continue;
    const std::string name = nameField.AsString();
    const std::string onDisk = match(name);
    const bool wasThere = matcher.LastWasExisting();
    const std::string path = JoinPath(base, StoredToNative(onDisk));
    RemoveIfSymlink(path);
    // A new folder stays private to the restore until its own mode is set.
    if (!DirectoryExists(path) && ::mkdir(path.c_str(), extract.applyAttributes ? 0700 : 0777) != 0)
      throw Exception(Format("Ошибка создания каталога [%s]: %s", path, SystemErrorText(errno)));
    dirs[name] = onDisk;
    if (wasThere) RemoveFromDiskList(onDisk);
    if (extract.applyAttributes) {
      DirAttributes a{path, idField.AsInteger(), {}, {}, {}};
      if (!modeField->IsNull()) a.mode = modeField->AsInteger();
      if (ownerField && !ownerField->IsNull()) a.owner = ownerField->AsInteger();
      if (groupField && !groupField->IsNull()) a.group = groupField->AsInteger();
      dirAttributes.push_back(std::move(a));
      // An existing folder of the owner's that the owner may not write
      // into (a read-only folder of the backup) is opened up until its mode
      // is set again at the end.
      if (!root && wasThere) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & S_IRWXU) != S_IRWXU)
          ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
      }
    }
  }
  BackupIndex->SetSorted(false);

  // Writes one member at its path: a name that was not on disk is created
  // at once; should something stand there after all, or at a name that was
  // there, it goes first (a link is removed, never followed).
  // The data's checksum is compared with the index's as it is written: a
  // damaged file is reported, never restored silently.
  auto write = [&](const std::string& path, bool wasNew, const TTarDirRec& member) {
    uint32_t crc = 0;
    if (!(wasNew && archive.ExtractNew(path, member, extract, &crc))) {
      ::rmdir(path.c_str());  // an empty folder in the way goes; a full one is moved aside
      if (!DeleteOrRename(path)) return;  // the running program's own file stays
      if (!archive.ExtractNew(path, member, extract, &crc))
        throw EStreamError(Format("Cannot create file \"%s\". %s", path, SystemErrorText(EEXIST)));
    }
    auto e = entries.find(StrToInt(member.Name));
    if (e != entries.end() && e->second.hasCrc && e->second.crc != crc)
      throw Exception(Format("Резервная копия [%s] повреждена: содержимое файла [%s] не совпадает с его контрольной суммой",
                             ArchiveFileName, e->second.name));
  };
  // Symbolic links are made last, after the files and after the leftovers
  // are deleted, so that nothing is ever written or deleted through one.
  struct PendingLink {
    std::string path;
    bool wasNew;
    TTarDirRec member;
  };
  std::vector<PendingLink> links;

  archive.Rewind();
  const int n = BackupIndex->RecordCount();
  int k = 0;
  TTarDirRec r;
  while (archive.FindNext(r)) {
    ++k;
    if (SameText(r.Name, kIndexMemberName)) continue;
    const int32_t id = StrToInt(r.Name);
    if (!BackupIndex->Locate("ID", TVarValue(id)))
      throw ETyped(Format("Ошибка: в backup обнаружен файл, отсутствующий в индексе [%s]", r.Name));
    const std::string name = nameField.AsString();
    if (EndsWithText(name, ".$$$")) continue;
    if (OnProgress) Progress(4 + static_cast<int32_t>(n > 0 ? 95LL * k / n : 95), Format("Распаковка файла: %s", name));
    const std::string onDisk = match(name);
    const std::string path = JoinPath(base, StoredToNative(onDisk));
    const bool wasThere = matcher.LastWasExisting();
    if (r.FileType == TTarFileType::SymbolicLink)
      links.push_back({path, matcher.LastWasNew(), r});
    else
      write(path, matcher.LastWasNew(), r);
    if (wasThere) RemoveFromDiskList(onDisk);  // only what was there is in the list
  }

  Progress(99, "Удаление файлов и каталогов");
  for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) {
    const std::string path = JoinPath(base, StoredToNative(diskName.AsString()));
    struct stat st;
    const bool realDir = ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    try {
      if (diskIsDir.AsBoolean() && realDir)
        ClearDirectory(path, true);
      else
        DeleteOrRename(path);
    } catch (const Exception&) {
      // Leftovers that cannot go stay; the restore itself has succeeded.
    }
  }

  for (const PendingLink& link : links) write(link.path, link.wasNew, link.member);

  // Folders get their owners and modes last, the deepest first, so that a
  // read-only folder is filled before it becomes read-only.
  std::sort(dirAttributes.begin(), dirAttributes.end(),
            [](const DirAttributes& a, const DirAttributes& b) { return a.id > b.id; });
  for (const DirAttributes& a : dirAttributes) {
    const int fd = ::open(a.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw Exception(Format("Ошибка создания каталога [%s]: %s", a.path, SystemErrorText(errno)));
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    // What is already right is left alone (a folder of another owner that
    // needs no change is no failure).
    struct stat st {};
    ::fstat(fd, &st);
    const bool ownerRight = (!a.owner || st.st_uid == static_cast<uid_t>(*a.owner)) &&
                            (!a.group || st.st_gid == static_cast<gid_t>(*a.group));
    if (extract.applyOwner && !ownerRight &&
        ::fchown(fd, a.owner ? static_cast<uid_t>(*a.owner) : static_cast<uid_t>(-1),
                 a.group ? static_cast<gid_t>(*a.group) : static_cast<gid_t>(-1)) != 0)
      throw Exception(Format("Не удается назначить владельца [%s]: %s", a.path, SystemErrorText(errno)));
    if (a.mode && (!ownerRight || (st.st_mode & 07777) != static_cast<mode_t>(*a.mode & 07777)) &&
        ::fchmod(fd, static_cast<mode_t>(*a.mode & 07777)) != 0)
      throw Exception(Format("Не удается установить права доступа [%s]: %s", a.path, SystemErrorText(errno)));
  }
  Progress(100, "Восстановление из резервной копии завершено");
}

}  // namespace ztv
