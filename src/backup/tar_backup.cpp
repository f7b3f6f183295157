#include "backup/tar_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "backup/file_ops.h"
#include "backup/names.h"
#include "core/errors.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/tar/tar.h"
#include "platform/paths.h"

namespace ztv {
namespace {

// The restore's list of what is on disk is never written, so it may hold
// paths longer than the index allows.
constexpr int kDiskListNameSize = 4096;

bool EndsWithText(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && SameText(s.substr(s.size() - tail.size()), tail);
}

size_t CharCount(const std::string& utf8) { return DecodeUtf8(utf8).size(); }

}  // namespace

std::unique_ptr<TStaticSet> CreateIndexSet(int nameSize) {
  auto set = std::make_unique<TStaticSet>();
  set->AddField("ID", TFieldType::Integer);
  set->AddField("Name", TFieldType::String, nameSize);
  set->AddField("IsDirectory", TFieldType::Boolean);
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
    if (part.empty() || part == "." || part == "..") bad = true;
    start = end + 1;
  }
  if (bad) throw Exception(Format("Недопустимое имя в индексе резервной копии: [%s]", name));
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
  const int64_t nameSize = nameField.Size();
  DIR* d = ::opendir(dirPath.empty() ? "/" : dirPath.c_str());
  if (!d) return nextId;  // nothing to enumerate
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{d};
  const int dfd = ::dirfd(d);
  while (dirent* e = ::readdir(d)) {
    const char* entry = e->d_name;
    if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
    const std::string name = subDir.empty() ? std::string(entry) : subDir + "\\" + entry;
    // A name longer in bytes than the field may still fit in characters.
    const bool tooLong = static_cast<int64_t>(name.size()) > nameSize && static_cast<int64_t>(CharCount(name)) > nameSize;
    if (std::strchr(entry, '\\') || tooLong) {
      // Such a name cannot be kept in the index (a "\" would read back as a
      // separator, a long name would be cut and name another file).
      if (nameSize <= kIndexNameSize)
        throw Exception(Format("Имя файла не может быть сохранено в резервной копии: [%s]", JoinPath(dirPath, entry)));
      continue;  // the restore leaves such a file alone
    }
    // The directory listing tells the kind on most file systems; the others
    // are asked.
    unsigned char kind = e->d_type;
    if (kind == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dfd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
      kind = IFTODT(st.st_mode);
    }
    const bool isDir = kind == DT_DIR;
    bool linkToDir = false;
    if (kind == DT_LNK) {
      struct stat target;
      linkToDir = ::fstatat(dfd, entry, &target, 0) == 0 && S_ISDIR(target.st_mode);
    }
    dataset.Append();
    idField.SetAsInteger(nextId);
    nameField.SetAsString(name);
    dirField.SetAsBoolean(isDir || linkToDir);
    dataset.Post();
    if (nextId >= 0) {
      if (scanKinds_.size() <= static_cast<size_t>(nextId)) scanKinds_.resize(static_cast<size_t>(nextId) + 1, DT_UNKNOWN);
      scanKinds_[static_cast<size_t>(nextId)] = kind;
    }
    ++nextId;
    // A link to a directory is recorded, never followed out of the tree.
    if (isDir) nextId = ScanDirectory(dataset, name, nextId);
  }
  return nextId;
}

void TTarBackup::Backup() {
  TTarWriter writer(ArchiveFileName);
  Progress(1, "Сканирование каталогов.");
  DiskList = CreateIndexSet();
  scanKinds_.clear();
  ScanDirectory(*DiskList, "", 1);

  const std::string base = DropTrailingSeparator(Directory);
  try {
    TField& idField = DiskList->FieldByName("ID");
    TField& nameField = DiskList->FieldByName("Name");
    TField& dirField = DiskList->FieldByName("IsDirectory");
    const int n = DiskList->RecordCount();
    int k = 0;
    for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) {
      ++k;
      const std::string name = nameField.AsString();
      if (OnProgress) Progress(2 + static_cast<int32_t>(98LL * k / n), "Сохранение файла: " + name);
      if (dirField.AsBoolean()) continue;
      const int32_t id = idField.AsInteger();
      const std::string path = JoinPath(base, StoredToNative(name));
      // Only regular files have content to keep: a link to nothing, a pipe
      // or a device is recorded in the index and otherwise passed over (a
      // device is not even opened). What the scan saw as a plain file is
      // opened at once.
      const bool plainFile = id >= 0 && static_cast<size_t>(id) < scanKinds_.size() && scanKinds_[static_cast<size_t>(id)] == DT_REG;
      if (!plainFile) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) continue;
      }
      writer.AddRegularFile(path, std::to_string(id));
    }
  } catch (const Exception& e) {
    writer.Abandon();
    ::unlink(ArchiveFileName.c_str());
    throw ETyped(Format("Ошибка при создании TAR-файла: %s", e.what()));
  }

  Progress(100, "Сохранение индексного файла");
  TZVMemoryStream index;
  DiskList->First();
  SaveDataSetToStream(*DiskList, index);
  index.SetPosition(0);
  writer.AddStream(index, kIndexMemberName, NowAsDateTime());
  writer.Close();
  Progress(100, "Резервное копирование завершено");
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

  // The index: the member "Index.trs", wherever it stands.
  Progress(1, "Считывание файла индекса");
  archive.Rewind();
  TTarDirRec r;
  bool found = false;
  while (archive.FindNext(r)) {
    if (SameText(r.Name, kIndexMemberName)) {
      found = true;
      break;
    }
  }
  if (!found) throw ETyped("Не найден файл индекса в резервной копии.");
  TZVMemoryStream indexStream;
  archive.ReadFileTo(indexStream);
  indexStream.SetPosition(0);
  BackupIndex = std::make_unique<TStaticSet>();
  LoadDataSetFromStream(indexStream, *BackupIndex, UnpackOptions::RecreateFields);
  TField& nameField = BackupIndex->FieldByName("Name");
  TField& dirField = BackupIndex->FieldByName("IsDirectory");
  // Every name is checked before anything on disk changes.
  for (BackupIndex->First(); !BackupIndex->Eof(); BackupIndex->Next()) CheckStoredRelativeName(nameField.AsString());

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
    auto parent = dirs.find(name.substr(0, slash));
    if (parent != dirs.end()) return matcher.Match(parent->second + name.substr(slash));
    // A name whose directory the index does not list: every directory on
    // the way is made sure to be a real one inside the tree.
    std::string matched;
    size_t start = 0;
    for (size_t pos = name.find('\\'); pos != std::string::npos; pos = name.find('\\', pos + 1)) {
      matched = matcher.Match(matched.empty() ? name.substr(0, pos) : matched + name.substr(start, pos - start));
      RemoveIfSymlink(JoinPath(base, StoredToNative(matched)));
      start = pos;
    }
    return matcher.Match(matched + name.substr(start));
  };

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
    if (!DirectoryExists(path) && ::mkdir(path.c_str(), 0777) != 0)
      throw Exception(Format("Ошибка создания каталога [%s]", path));
    dirs[name] = onDisk;
    if (wasThere) RemoveFromDiskList(onDisk);
  }
  BackupIndex->SetSorted(false);

  archive.Rewind();
  const int n = BackupIndex->RecordCount();
  int k = 0;
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
    // A name that was not on disk is created at once; should something
    // stand there after all, it goes first as for every other name.
    const bool wasThere = matcher.LastWasExisting();
    if (!(matcher.LastWasNew() && archive.ReadFileToNew(path)) && DeleteOrRename(path)) archive.ReadFileTo(path);
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
  Progress(100, "Восстановление из резервной копии завершено");
}

}  // namespace ztv
