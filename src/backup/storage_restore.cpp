#include "backup/storage_restore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
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

// The subdirectories and files of a directory by their names on disk
// (names that differ only in case are different entries); names beginning
// with "." are left out, so they are never deleted. `entries` matches the
// image's names to every entry.
struct DirectoryList {
  std::map<std::string, std::string> dirs, files;
  TNameMatcher entries;
};

void ListDirectory(const std::string& dir, DirectoryList& list) {
  DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return;
  const int dfd = ::dirfd(d);
  while (dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    list.entries.AddExisting(name);
    if (name[0] == '.') continue;
    unsigned char kind = e->d_type;
    if (kind == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      kind = IFTODT(st.st_mode);
    }
    (kind == DT_DIR ? list.dirs : list.files)[name] = name;
  }
  ::closedir(d);
}

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

// The checked name that the index gives an element (named by its ID).
std::string ElementName(TStaticSet& index, const cfb::Element& element) {
  if (!index.FindByKey(TVarValue(StrToInt(element.name))))
    throw Exception(element.kind == cfb::ElementKind::Storage ? "Название директории не найдено"
                                                               : "Название файла не найдено");
  std::string name = index.FieldByName("Name").AsString();
  CheckStoredComponentName(name);
  return name;
}

// The stream "0" of any storage holds the index, not a file.
bool IsIndexStream(const cfb::Element& element) {
  return element.kind == cfb::ElementKind::Stream && element.name == "0";
}

class StorageRestorer {
 public:
  StorageRestorer(TStaticSet& index, bool deleteExtra) : index_(index), deleteExtra_(deleteExtra) {}

  void RestoreLevel(const std::string& dir, const cfb::Storage& storage) {
    DirectoryList list;
    ListDirectory(dir, list);
    const auto& elements = storage.Elements();
    // Entries the image names exactly are kept for those names (a name the
    // index lacks fails below, in its turn).
    TField& name = index_.FieldByName("Name");
    for (const cfb::Element& element : elements) {
      if (IsIndexStream(element)) continue;
      try {
        if (index_.FindByKey(TVarValue(StrToInt(element.name)))) list.entries.Claim(name.AsString());
      } catch (const Exception&) {
      }
    }
    for (const cfb::Element& element : elements) {
      if (IsIndexStream(element)) continue;
      const std::string path = JoinPath(dir, list.entries.Match(ElementName(index_, element)));
      const std::string key = ExtractFileName(path);  // the entry as matched on disk
      if (element.kind == cfb::ElementKind::Storage) {
        RemoveIfSymlink(path);
        if (!DirectoryExists(path) && ::mkdir(path.c_str(), 0777) != 0)
          throw Exception(Format("Ошибка создания директории [%s]", path));
        list.dirs.erase(key);
        RestoreLevel(path, storage.OpenStorage(element));
      } else {
        if (DeleteOrRename(path)) {
          TZVFileStream out(path, TZVFileStream::Mode::Create);
          storage.ReadStreamTo(element, out);
        }
        list.files.erase(key);
      }
    }
    if (!deleteExtra_) return;
    for (const auto& [key, name] : list.dirs) ClearDirectory(JoinPath(dir, name), true);
    for (const auto& [key, name] : list.files) DeleteOrRename(JoinPath(dir, name));
  }

 private:
  TStaticSet& index_;
  bool deleteExtra_;
};

void CheckLevel(const cfb::Storage& storage, TStaticSet& index) {
  TZVNullStream sink;
  for (const cfb::Element& element : storage.Elements()) {
    if (IsIndexStream(element)) continue;
    ElementName(index, element);
    if (element.kind == cfb::ElementKind::Storage)
      CheckLevel(storage.OpenStorage(element), index);
    else
      storage.ReadStreamTo(element, sink);
  }
}

}  // namespace

bool IsStorageFile(const std::string& fileName) { return cfb::IsCompoundFile(fileName); }


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
