#include "backup/tar_backup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

std::string TTarBackup::PathOf(const std::string& storedName) const {
  return ResolvePathCase(JoinPath(DropTrailingSeparator(Directory), StoredToNative(storedName)));
}

int TTarBackup::ScanDirectory(TStaticSet& dataset, const std::string& subDir, int nextId) {
  const std::string base = DropTrailingSeparator(Directory);
  const std::string dirPath = subDir.empty() ? base : JoinPath(base, StoredToNative(subDir));
  const int64_t nameSize = dataset.FieldByName("Name").Size();
  DIR* d = ::opendir(dirPath.empty() ? "/" : dirPath.c_str());
  if (!d) return nextId;  // nothing to enumerate
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{d};
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    const std::string name = subDir.empty() ? entry : subDir + "\\" + entry;
    const std::string path = JoinPath(dirPath, entry);
    if (entry.find('\\') != std::string::npos || static_cast<int64_t>(CharCount(name)) > nameSize) {
      // Such a name cannot be kept in the index (a "\" would read back as a
      // separator, a long name would be cut and name another file).
      if (nameSize <= kIndexNameSize)
        throw Exception(Format("Имя файла не может быть сохранено в резервной копии: [%s]", path));
      continue;  // the restore leaves such a file alone
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;  // vanished meanwhile
    bool isDir = S_ISDIR(st.st_mode);
    bool linkToDir = false;
    if (S_ISLNK(st.st_mode)) {
      struct stat target;
      linkToDir = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    }
    dataset.Append();
    dataset.FieldByName("ID").SetAsInteger(nextId);
    dataset.FieldByName("Name").SetAsString(name);
    dataset.FieldByName("IsDirectory").SetAsBoolean(isDir || linkToDir);
    dataset.Post();
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
  ScanDirectory(*DiskList, "", 1);

  try {
    const int n = DiskList->RecordCount();
    int k = 0;
    for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) {
      ++k;
      const std::string name = DiskList->FieldByName("Name").AsString();
      Progress(2 + static_cast<int32_t>(98LL * k / n), "Сохранение файла: " + name);
      if (DiskList->FieldByName("IsDirectory").AsBoolean()) continue;
      const std::string path = PathOf(name);
      // Only regular files have content to keep: a link to nothing, a pipe
      // or a device is recorded in the index and otherwise passed over (a
      // pipe would block the reader forever).
      struct stat st;
      if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) continue;
      } else if (errno == ENOENT) {
        struct stat lst;
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) continue;
      }
      writer.AddFile(path, std::to_string(DiskList->FieldByName("ID").AsInteger()));
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
  TLocateOptions options;
  options.CaseInsensitive = true;
  if (DiskList->Locate("Name", TVarValue(name), options)) DiskList->Delete();
}

void TTarBackup::Restore() {
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
  ScanDirectory(*DiskList, "", 1);

  Progress(3, "Создание каталогов");
  BackupIndex->SetIndexFieldNames("ID");
  BackupIndex->SetSorted(true);
  for (BackupIndex->First(); !BackupIndex->Eof(); BackupIndex->Next()) {
    if (!dirField.AsBoolean()) continue;
    const std::string name = nameField.AsString();
    const std::string path = PathOf(name);
    RemoveIfSymlink(path);
    if (!DirectoryExists(path) && ::mkdir(path.c_str(), 0777) != 0)
      throw Exception(Format("Ошибка создания каталога [%s]", path));
    RemoveFromDiskList(name);
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
    Progress(4 + static_cast<int32_t>(n > 0 ? 95LL * k / n : 95), Format("Распаковка файла: %s", name));
    const std::string path = PathOf(name);
    // Every directory on the way is a real one inside the tree.
    for (size_t pos = name.find('\\'); pos != std::string::npos; pos = name.find('\\', pos + 1))
      RemoveIfSymlink(PathOf(name.substr(0, pos)));
    if (DeleteOrRename(path)) archive.ReadFileTo(path);
    RemoveFromDiskList(name);
  }

  Progress(99, "Удаление файлов и каталогов");
  TField& diskName = DiskList->FieldByName("Name");
  TField& diskIsDir = DiskList->FieldByName("IsDirectory");
  for (DiskList->First(); !DiskList->Eof(); DiskList->Next()) {
    const std::string path = JoinPath(DropTrailingSeparator(Directory), StoredToNative(diskName.AsString()));
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
