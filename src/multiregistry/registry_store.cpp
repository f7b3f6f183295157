#include "multiregistry/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "core/errors.h"
#include "core/file_io.h"
#include "core/stream.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "platform/paths.h"

namespace ztv {
namespace {

constexpr int32_t kKindKey = 0;
constexpr int32_t kKindInteger = 1;
constexpr int32_t kKindString = 2;

[[noreturn]] void Damaged(const std::string& source, const std::string& what) {
  throw Exception(Format("Файл реестра %s повреждён: %s", source, what));
}

// The text of a kernel error number.
std::string ErrnoText(int error) { return FileErrorText(error); }

// Closes a descriptor and removes a temporary file unless released.
class TempFile {
 public:
  TempFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void Keep() { name_.clear(); }

 private:
  int fd_;
  std::string name_;
};

}  // namespace

TRegistryNode* TRegistryNode::Child(std::string_view childName) const {
  auto it = childByName_.find(UpperCase(childName));
  return it == childByName_.end() ? nullptr : it->second;
}

const TRegistryValueData* TRegistryNode::Value(std::string_view valueName) const {
  auto it = valueByName_.find(UpperCase(valueName));
  return it == valueByName_.end() ? nullptr : &values[it->second];
}

TRegistryNode* TRegistryNode::AddChild(std::unique_ptr<TRegistryNode> child) {
  TRegistryNode* added = child.get();
  added->parent = this;
  childByName_[UpperCase(added->name)] = added;
  children.push_back(std::move(child));
  return added;
}

bool TRegistryNode::RemoveChild(const TRegistryNode* child) {
  for (auto it = children.begin(); it != children.end(); ++it) {
    if (it->get() == child) {
      childByName_.erase(UpperCase(child->name));
      children.erase(it);
      return true;
    }
  }
  return false;
}

void TRegistryNode::AddValue(TRegistryValueData value) {
  valueByName_[UpperCase(value.name)] = values.size();
  values.push_back(std::move(value));
}

std::string TRegistryNode::Path() const {
  if (!parent) return {};
  const std::string up = parent->Path();
  return up.empty() ? name : up + "\\" + name;
}

TRegistryStore::TRegistryStore() : root_(std::make_unique<TRegistryNode>()) {}

std::vector<std::string> TRegistryStore::SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

void TRegistryStore::CheckName(std::string_view name) {
  if (name.empty()) throw Exception("Пустое имя ключа или значения реестра");
  if (!IsValidUtf8(name)) throw Exception("Имя ключа или значения реестра не является текстом UTF-8");
  if (DecodeUtf8(name).size() > kMaxNameLength)
    throw Exception(Format("Имя ключа или значения реестра длиннее %d символов", static_cast<int>(kMaxNameLength)));
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\')
      throw Exception(Format("Недопустимый символ в имени ключа или значения реестра \"%s\"", std::string(name)));
  }
  std::string bytes;
  if (!TryUtf8ToCp1251(name, bytes))
    throw Exception(Format("Имя \"%s\" содержит символы вне кодовой страницы 1251", std::string(name)));
}

TRegistryNode* TRegistryStore::FindKey(const TRegistryNode& from, std::string_view path) {
  const TRegistryNode* node = &from;
  for (const std::string& part : SplitPath(path)) {
    node = node->Child(part);
    if (!node) return nullptr;
  }
  return const_cast<TRegistryNode*>(node);
}

TRegistryNode& TRegistryStore::CreateKey(std::string_view path) {
  TRegistryNode* node = root_.get();
  const auto parts = SplitPath(path);
  if (static_cast<int>(parts.size()) > kMaxDepth)
    throw Exception(Format("Путь ключа реестра глубже %d уровней", kMaxDepth));
  for (const std::string& part : parts) CheckName(part);
  if (Utf8ToCp1251(path).size() > static_cast<size_t>(kMaxPathBytes))
    throw Exception(Format("Путь ключа реестра длиннее %d байт", kMaxPathBytes));
  for (const std::string& part : parts) {
    TRegistryNode* child = node->Child(part);
    if (!child) {
      auto created = std::make_unique<TRegistryNode>();
      created->name = part;
      child = node->AddChild(std::move(created));
    }
    node = child;
  }
  return *node;
}

bool TRegistryStore::DeleteKey(std::string_view path) {
  TRegistryNode* node = FindKey(*root_, path);
  if (!node || !node->parent) return false;
  return node->parent->RemoveChild(node);
}

void TRegistryStore::SetInteger(TRegistryNode& key, std::string_view name, int32_t value) {
  CheckName(name);
  TRegistryValueData data{std::string(name), false, value, {}};
  if (auto* existing = const_cast<TRegistryValueData*>(key.Value(name))) {
    data.name = existing->name;
    *existing = std::move(data);
  } else {
    key.AddValue(std::move(data));
  }
}

void TRegistryStore::SetString(TRegistryNode& key, std::string_view name, std::string_view value) {
  CheckName(name);
  std::string bytes;
  if (!TryUtf8ToCp1251(value, bytes))
    throw Exception(Format("Значение \"%s\" содержит символы вне кодовой страницы 1251", std::string(name)));
  if (bytes.size() > static_cast<size_t>(kMaxValueBytes))
    throw Exception(Format("Значение \"%s\" длиннее %d байт", std::string(name), kMaxValueBytes));
  TRegistryValueData data{std::string(name), true, 0, std::string(value)};
  if (auto* existing = const_cast<TRegistryValueData*>(key.Value(name))) {
    data.name = existing->name;
    *existing = std::move(data);
  } else {
    key.AddValue(std::move(data));
  }
}

std::shared_ptr<TRegistryStore> TRegistryStore::LoadFromFile(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw Exception(Format("Файл реестра %s не найден", fileName));
    throw Exception(Format("Не удается открыть файл реестра %s: %s", fileName, ErrnoText(errno)));
  }
  if (!S_ISREG(st.st_mode)) throw Exception(Format("Файл реестра %s не является файлом", fileName));
  if (st.st_size > kMaxFileSize) Damaged(fileName, "файл слишком велик");
  std::string bytes;
  try {
    TZVFileStream file(fileName, TZVFileStream::Mode::OpenRead);
    const int64_t size = file.Size();
    if (size > kMaxFileSize) Damaged(fileName, "файл слишком велик");
    bytes.resize(static_cast<size_t>(size));
    file.ReadBuffer(bytes.data(), size);
  } catch (const Exception& e) {
    throw Exception(Format("Не удается прочитать файл реестра %s: %s", fileName, std::string(e.what())));
  }
  return LoadFromBytes(bytes, fileName);
}

std::shared_ptr<TRegistryStore> TRegistryStore::LoadFromBytes(const std::string& bytes, const std::string& source) {
  if (static_cast<int64_t>(bytes.size()) > kMaxFileSize) Damaged(source, "файл слишком велик");
  TStaticSet set;
  TZVMemoryStream stream(bytes);
  try {
    LoadDataSetFromStream(stream, set);
  } catch (const Exception& e) {
    Damaged(source, e.what());
  }
  if (stream.Remaining() != 0) Damaged(source, "лишние данные после пакета");

  auto field = [&](const char* name, bool text) -> TField& {
    TField* f = set.FindField(name);
    if (!f) Damaged(source, Format("нет поля %s", name));
    const bool isText = IsTextType(f->DataType());
    const bool isInteger = KindOf(f->DataType()) == TValueKind::Integer;
    if (text ? !isText : !isInteger) Damaged(source, Format("поле %s неверного типа", name));
    return *f;
  };
  TField& kind = field("Kind", false);
  TField& path = field("Path", true);
  TField& name = field("Name", true);
  TField& intValue = field("IntValue", false);
  TField& strValue = field("StrValue", true);

  auto store = std::make_shared<TRegistryStore>();
  int recordNo = 0;
  try {
    for (set.First(); !set.Eof(); set.Next()) {
      ++recordNo;
      const std::string keyPath = path.AsString();
      const auto parts = SplitPath(keyPath);
      if (static_cast<int>(parts.size()) > kMaxDepth) throw Exception(Format("путь глубже %d уровней", kMaxDepth));
      for (const auto& part : parts) CheckName(part);
      const int64_t k = kind.AsLargeInt();
      if (k == kKindKey) {
        if (parts.empty()) throw Exception("ключ без имени");
        if (!name.AsString().empty()) throw Exception("у ключа есть имя значения");
        std::string parentPath;
        for (size_t i = 0; i + 1 < parts.size(); ++i) parentPath += (i ? "\\" : "") + parts[i];
        TRegistryNode* parent = FindKey(*store->root_, parentPath);
        if (!parent) throw Exception(Format("ключ \"%s\" записан раньше родительского", keyPath));
        if (parent->Child(parts.back())) throw Exception(Format("ключ \"%s\" записан дважды", keyPath));
        auto node = std::make_unique<TRegistryNode>();
        node->name = parts.back();
        parent->AddChild(std::move(node));
      } else if (k == kKindInteger || k == kKindString) {
        TRegistryNode* key = FindKey(*store->root_, keyPath);
        if (!key) throw Exception(Format("значение ключа \"%s\", которого нет", keyPath));
        const std::string valueName = name.AsString();
        CheckName(valueName);
        if (key->Value(valueName)) throw Exception(Format("значение \"%s\" записано дважды", valueName));
        TRegistryValueData data;
        data.name = valueName;
        data.isString = k == kKindString;
        if (data.isString) {
          data.strValue = strValue.AsString();
        } else {
          const int64_t v = intValue.AsLargeInt();
          if (v < INT32_MIN || v > INT32_MAX) throw Exception(Format("значение \"%s\" вне диапазона", valueName));
          data.intValue = static_cast<int32_t>(v);
        }
        key->AddValue(std::move(data));
      } else {
        throw Exception(Format("неизвестный вид записи %d", static_cast<int>(k)));
      }
    }
  } catch (const Exception& e) {
    Damaged(source, Format("запись %d: %s", recordNo, std::string(e.what())));
  }
  return store;
}

std::string TRegistryStore::SaveToBytes() const {
  TStaticSet set;
  TField& kind = set.AddField("Kind", TFieldType::Integer);
  // Plain strings, so that a dump of the packet shows them as text.
  TField& path = set.AddField("Path", TFieldType::String, kMaxPathBytes);
  TField& name = set.AddField("Name", TFieldType::String, kMaxNameBytes);
  TField& intValue = set.AddField("IntValue", TFieldType::Integer);
  TField& strValue = set.AddField("StrValue", TFieldType::String, kMaxValueBytes);
  set.Open();
  auto add = [&](int32_t k, const std::string& p, const std::string& n, int32_t i, const std::string& s) {
    // A text longer than its field would be cut short: refused instead.
    if (Utf8ToCp1251(p).size() > static_cast<size_t>(kMaxPathBytes)) throw Exception(Format("Путь ключа реестра длиннее %d байт", kMaxPathBytes));
    if (Utf8ToCp1251(s).size() > static_cast<size_t>(kMaxValueBytes))
      throw Exception(Format("Значение \"%s\" длиннее %d байт", n, kMaxValueBytes));
    set.Append();
    kind.SetAsInteger(k);
    path.SetAsString(p);
    name.SetAsString(n);
    intValue.SetAsInteger(i);
    strValue.SetAsString(s);
    set.Post();
  };
  // Depth first, each key before its values and children.
  std::vector<const TRegistryNode*> pending{root_.get()};
  while (!pending.empty()) {
    const TRegistryNode* node = pending.back();
    pending.pop_back();
    const std::string p = node->Path();
    if (node->parent) add(kKindKey, p, "", 0, "");
    for (const auto& v : node->values)
      add(v.isString ? kKindString : kKindInteger, p, v.name, v.isString ? 0 : v.intValue, v.strValue);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) pending.push_back(it->get());
  }
  TZVMemoryStream stream;
  SaveDataSetToStream(set, stream);
  return stream.AsString();
}

void TRegistryStore::SaveToFile(const std::string& fileName) const {
  const std::string bytes = SaveToBytes();
  std::string dir = ExtractFileDir(fileName);
  if (dir.empty()) dir = ".";
  // Writers hold the folder's lock: a temporary file beside the list is a
  // killed write's.
  RemoveStaleTemporaries(fileName);
  std::string tmpName = JoinPath(dir, "." + ExtractFileName(fileName) + ".XXXXXX");
  const int fd = ::mkstemp(tmpName.data());
  if (fd < 0) throw Exception(Format("Не удается записать файл реестра %s: %s", fileName, ErrnoText(errno)));
  TempFile tmp(fd, tmpName);
  // The new file keeps the permissions of the one it replaces.
  mode_t mode = 0644;
  struct stat st {};
  const bool existed = ::stat(fileName.c_str(), &st) == 0;
  if (existed) mode = st.st_mode & 07777;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = FileWrite(tmp.fd(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw Exception(Format("Не удается записать файл реестра %s: %s", fileName, ErrnoText(n < 0 ? errno : ENOSPC)));
    done += static_cast<size_t>(n);
  }
  if (existed && ::fchown(tmp.fd(), st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    throw Exception(Format("Не удается записать файл реестра %s: %s", fileName, ErrnoText(errno)));
  }
  if (::fchmod(tmp.fd(), mode) != 0 || FileSync(tmp.fd()) != 0 || !tmp.Close())
    throw Exception(Format("Не удается записать файл реестра %s: %s", fileName, ErrnoText(errno)));
  if (FileRename(tmpName, fileName) != 0)
    throw Exception(Format("Не удается записать файл реестра %s: %s", fileName, ErrnoText(errno)));
  tmp.Keep();
  SyncDirectory(dir);
}

}  // namespace ztv
