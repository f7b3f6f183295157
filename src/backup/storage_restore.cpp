#include "backup/storage_restore.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <vector>

#include "backup/file_ops.h"
#include "backup/names.h"
#include "core/errors.h"
#include "core/text.h"
#include "formats/cfb/compound_file.h"
#include "formats/cfb/compound_writer.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "formats/imd/transporter.h"
#include "platform/paths.h"

namespace ztv {
namespace {

// Takes stream bytes and keeps nothing.
class TNullSink : public TZVStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    size_ += count;
    return count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  void SetSize(int64_t size) override { size_ = size; }
  int64_t Size() override { return size_; }

 private:
  int64_t size_ = 0;
};

// Upper-cased names of the subdirectories and files of a directory; names
// beginning with "." are left out, so they are never deleted.
struct DirectoryList {
  std::set<std::string> dirs;
  std::set<std::string> files;
  std::vector<std::string> dirNames, fileNames;  // as on disk, in listing order
};

DirectoryList ListDirectory(const std::string& dir) {
  DirectoryList list;
  DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return list;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    struct stat st;
    if (::lstat(JoinPath(dir, name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      list.dirs.insert(UpperCase(name));
      list.dirNames.push_back(name);
    } else {
      list.files.insert(UpperCase(name));
      list.fileNames.push_back(name);
    }
  }
  ::closedir(d);
  return list;
}

class StorageRestorer {
 public:
  StorageRestorer(TStaticSet& index, bool deleteExtra) : index_(index), deleteExtra_(deleteExtra) {}

  void RestoreLevel(const std::string& dir, const cfb::Storage& storage) {
    DirectoryList list = ListDirectory(dir);
    TField& nameField = index_.FieldByName("Name");
    for (const cfb::Element& element : storage.Elements()) {
      if (element.kind == cfb::ElementKind::Storage) {
        if (!index_.FindByKey(TVarValue(StrToInt(element.name)))) throw Exception("Название директории не найдено");
        const std::string name = nameField.AsString();
        CheckStoredComponentName(name);
        const std::string path = JoinPath(dir, MatchEntryCase(dir, name));
        RemoveIfSymlink(path);
        if (!DirectoryExists(path) && ::mkdir(path.c_str(), 0777) != 0)
          throw Exception(Format("Ошибка создания директории [%s]", path));
        list.dirs.erase(UpperCase(ExtractFileName(path)));
        RestoreLevel(path, storage.OpenStorage(element));
      } else if (element.name != "0") {
        if (!index_.FindByKey(TVarValue(StrToInt(element.name)))) throw Exception("Название файла не найдено");
        const std::string name = nameField.AsString();
        CheckStoredComponentName(name);
        const std::string path = JoinPath(dir, MatchEntryCase(dir, name));
        if (DeleteOrRename(path)) {
          TZVFileStream out(path, TZVFileStream::Mode::Create);
          storage.ReadStreamTo(element, out);
        }
        list.files.erase(UpperCase(ExtractFileName(path)));
      }
    }
    if (!deleteExtra_) return;
    for (const auto& name : list.dirNames)
      if (list.dirs.count(UpperCase(name))) ClearDirectory(JoinPath(dir, name), true);
    for (const auto& name : list.fileNames)
      if (list.files.count(UpperCase(name))) DeleteOrRename(JoinPath(dir, name));
  }

 private:
  TStaticSet& index_;
  bool deleteExtra_;
};

}  // namespace

bool IsStorageFile(const std::string& fileName) { return cfb::IsCompoundFile(fileName); }

namespace {

void CheckLevel(const cfb::Storage& storage, TStaticSet& index);

// The image's index from the root stream "0", keyed by ID.
void LoadImageIndex(const cfb::Storage& root, TStaticSet& index) {
  {
    TTransporter packet(root.OpenStream("0"));
    packet.Open();
    index.Assign(packet);
  }
  index.SetIndexFieldNames("ID");
  index.SetSorted(true);
  index.SetKeyFieldNames("ID");
}

}  // namespace

void RestoreDirFromStorage(const std::string& fileName, const std::string& dir, bool deleteExtra) {
  if (Trim(fileName).empty()) return;
  if (!IsStorageFile(fileName)) throw Exception(Format("Неверный формат файла: [%s]", fileName));
  cfb::CompoundFile file(fileName);
  const std::string target = DropTrailingSeparator(dir);
  cfb::Storage root = file.Root();
  TStaticSet index;
  LoadImageIndex(root, index);
  StorageRestorer(index, deleteExtra).RestoreLevel(target, root);
}

void CheckStorageImage(const std::string& fileName) {
  if (!IsStorageFile(fileName)) throw Exception(Format("Неверный формат файла: [%s]", fileName));
  cfb::CompoundFile file(fileName);
  cfb::Storage root = file.Root();
  TStaticSet index;
  LoadImageIndex(root, index);
  CheckLevel(root, index);
}

namespace {

void CheckLevel(const cfb::Storage& storage, TStaticSet& index) {
  TField& nameField = index.FieldByName("Name");
  TNullSink sink;
  for (const cfb::Element& element : storage.Elements()) {
    if (element.kind == cfb::ElementKind::Stream && element.name == "0") continue;
    const bool isStorage = element.kind == cfb::ElementKind::Storage;
    if (!index.FindByKey(TVarValue(StrToInt(element.name))))
      throw Exception(isStorage ? "Название директории не найдено" : "Название файла не найдено");
    CheckStoredComponentName(nameField.AsString());
    if (isStorage)
      CheckLevel(storage.OpenStorage(element), index);
    else
      storage.ReadStreamTo(element, sink);
  }
}

void PackLevel(const std::string& dir, cfb::CompoundFileWriter::StorageNode& node, TStaticSet& index, int& nextId) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw EWin32(Format("Не удается прочитать каталог [%s]", dir));
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const std::string path = JoinPath(dir, name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    const bool isDir = S_ISDIR(st.st_mode);
    if (!isDir && !S_ISREG(st.st_mode)) continue;  // links and devices are not part of an image
    const int id = nextId++;
    index.Append();
    index.FieldByName("ID").SetAsInteger(id);
    index.FieldByName("Name").SetAsString(name);
    index.FieldByName("IsDirectory").SetAsBoolean(isDir);
    index.Post();
    if (isDir)
      PackLevel(path, node.AddStorage(std::to_string(id)), index, nextId);
    else
      node.AddFile(std::to_string(id), path);
  }
}

}  // namespace

void PackDirToStorage(const std::string& dir, const std::string& fileName) {
  TStaticSet index;
  index.AddField("ID", TFieldType::Integer);
  index.AddField("Name", TFieldType::String, 255);
  index.AddField("IsDirectory", TFieldType::Boolean);
  index.Open();
  cfb::CompoundFileWriter writer;
  int nextId = 1;
  PackLevel(DropTrailingSeparator(dir), writer.Root(), index, nextId);
  TZVMemoryStream packet;
  index.First();
  SaveDataSetToStream(index, packet);
  writer.Root().AddStream("0", packet.AsString());
  writer.SaveToFile(fileName);
}

}  // namespace ztv
