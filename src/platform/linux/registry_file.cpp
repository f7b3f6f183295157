#include "platform/linux/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "core/file_io.h"
#include "core/stream.h"
#include "core/text.h"
#include "platform/paths.h"

namespace ztv {
namespace {

constexpr const char* kHeader = "REGEDIT4";

// Holds an exclusive advisory lock on "<file>.lock" for one write.
class WriteLock {
 public:
  explicit WriteLock(const std::string& file) {
    fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = FileWrite(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}



// Reads a quoted string starting at s[i] == '"'; handles \\ and \".
bool ParseQuoted(const std::string& s, size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return true;
    if (c == '\\') {
      if (i >= s.size()) return false;
      out += s[i++];
    } else {
      out += c;
    }
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool ParseValueData(const std::string& data, RegValue& v) {
  if (!data.empty() && data[0] == '"') {
    size_t i = 0;
    std::string text;
    if (!ParseQuoted(data, i, text) || !Trim(data.substr(i)).empty()) return false;
    v.type = RegValue::Type::String;
    v.text = text;
    return true;
  }
  if (data.compare(0, 6, "dword:") == 0) {
    std::string hex = data.substr(6);
    if (hex.empty() || hex.size() > 8) return false;
    uint32_t value = 0;
    for (char c : hex) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      value = (value << 4) | static_cast<uint32_t>(d);
    }
    v.type = RegValue::Type::Dword;
    v.dword = value;
    return true;
  }
  if (data.compare(0, 3, "hex") == 0) {
    // Kept as written, less a trailing continuation mark that continued
    // nothing: written back, it would join the next line.
    std::string text = data;
    for (;;) {
      std::string t = TrimRight(text);
      while (!t.empty() && t.back() == '\\') t.pop_back();
      if (t == text) break;
      text = std::move(t);
    }
    v.type = RegValue::Type::Other;
    v.text = text;
    return true;
  }
  return false;
}

// Whether a line is a value whose data is hex data (the only data a
// trailing backslash continues): the data after the name's "=" starts with
// "hex", exactly as ParseValueData takes it.
bool ContinuesHexData(const std::string& rawLine) {
  const std::string line = Trim(rawLine);
  size_t i = 0;
  std::string name;
  if (line.empty()) return false;
  if (line[0] == '@')
    i = 1;
  else if (!ParseQuoted(line, i, name))
    return false;
  if (i >= line.size() || line[i] != '=') return false;
  return Trim(line.substr(i + 1)).compare(0, 3, "hex") == 0;
}

}  // namespace

RegKey* RegDocument::FindKey(const std::string& fullPath) {
  for (auto& k : keys)
    if (SameText(k.path, fullPath)) return &k;
  return nullptr;
}

RegKey& RegDocument::AddKey(const std::string& fullPath) {
  if (RegKey* k = FindKey(fullPath)) return *k;
  keys.push_back(RegKey{fullPath, {}});
  return keys.back();
}

std::optional<RegDocument> ParseRegFile(const std::string& raw) {
  std::string bytes = IsValidUtf8(raw) ? raw : Cp1251ToUtf8(raw);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);

  // Split into logical lines: a trailing backslash continues hex data.
  std::vector<std::string> lines;
  std::string pending;
  size_t start = 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (!pending.empty()) line = pending + Trim(line);
    pending.clear();
    if (!line.empty() && line.back() == '\\' && ContinuesHexData(line)) {
      line.pop_back();
      pending = line;
      continue;
    }
    lines.push_back(line);
  }
  if (!pending.empty()) lines.push_back(pending);

  RegDocument doc;
  RegKey* current = nullptr;
  bool header = false;
  for (const auto& rawLine : lines) {
    std::string line = Trim(rawLine);
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line != kHeader && line != "Windows Registry Editor Version 5.00") return std::nullopt;
      header = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) return std::nullopt;
      std::string path = line.substr(1, line.size() - 2);
      if (path[0] == '-') {  // "[-key]" removes a key
        current = nullptr;
        continue;
      }
      current = &doc.AddKey(path);
      continue;
    }
    if (!current) return std::nullopt;
    RegValue v;
    size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (!ParseQuoted(line, i, v.name)) {
      return std::nullopt;
    }
    if (i >= line.size() || line[i] != '=') return std::nullopt;
    std::string data = Trim(line.substr(i + 1));
    if (data == "-") continue;  // deletion mark
    if (!ParseValueData(data, v)) {
      v.type = RegValue::Type::Invalid;
      v.text = data;
    }
    bool replaced = false;
    for (auto& old : current->values)
      if (SameText(old.name, v.name)) { old = v; replaced = true; }
    if (!replaced) current->values.push_back(v);
  }
  if (!header) return std::nullopt;
  return doc;
}

std::string FormatRegFile(const RegDocument& doc) {
  std::string out = std::string(kHeader) + "\n";
  for (const auto& k : doc.keys) {
    out += "\n[" + k.path + "]\n";
    for (const auto& v : k.values) {
      out += v.name.empty() ? "@" : Quote(v.name);
      out += "=";
      switch (v.type) {
        case RegValue::Type::String: out += Quote(v.text); break;
        case RegValue::Type::Dword: out += Format("dword:%08x", v.dword); break;
        case RegValue::Type::Other:
        case RegValue::Type::Invalid: out += v.text; break;
      }
      out += "\n";
    }
  }
  return out;
}

std::string DefaultRegistryFile() {
  const char* env = std::getenv("ZTV_REGISTRY");
  return env && *env ? std::string(env) : std::string("/etc/ztv/registry.reg");
}

FileRegistry::FileRegistry(std::string fileName, std::string rootName)
    : fileName_(std::move(fileName)), rootName_(std::move(rootName)) {}

std::string FileRegistry::FullPath(const std::string& key) const {
  std::string k = key;
  while (!k.empty() && k.front() == '\\') k.erase(0, 1);
  while (!k.empty() && k.back() == '\\') k.pop_back();
  return k.empty() ? rootName_ : rootName_ + "\\" + k;
}

std::optional<RegDocument> FileRegistry::Load(bool* broken) const {
  if (broken) *broken = false;
  std::string bytes;
  try {
    TZVMemoryStream m;
    m.LoadFromFile(fileName_);
    bytes = m.AsString();
  } catch (const Exception&) {
    return std::nullopt;
  }
  auto doc = ParseRegFile(bytes);
  if (!doc && broken) *broken = true;
  return doc;
}

// Write access is judged by the permission bits as well as by access(2): a
// file without any write bit is read-only for everybody, root included, as a
// read-only file is on the system this store stands for.
bool FileRegistry::Writable() const {
  struct stat st;
  if (::stat(fileName_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (::access(fileName_.c_str(), R_OK | W_OK) != 0) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  std::string dir = ExtractFileDir(fileName_);
  if (dir.empty()) dir = ".";
  if (::stat(dir.c_str(), &st) != 0) return false;
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

bool FileRegistry::OpenKey(const std::string& key, bool canCreate) {
  CloseKey();
  if (!Writable()) return false;
  bool broken = false;
  auto doc = Load(&broken);
  std::string full = FullPath(key);
  if (broken) {
    // The key cannot be looked up in a damaged file; it opens, and every
    // read of it fails, so callers report their own read failure.
    currentKey_ = full;
    return true;
  }
  if (!doc) return false;
  if (!doc->FindKey(full)) {
    if (!canCreate) return false;
    currentKey_ = full;
    readOnly_ = false;
    try {
      Modify([&](RegDocument& d) { d.AddKey(full); }, "Failed to create key " + key);
    } catch (const Exception&) {
      currentKey_.clear();
      return false;
    }
    return true;
  }
  currentKey_ = full;
  readOnly_ = false;
  return true;
}

bool FileRegistry::OpenKeyReadOnly(const std::string& key) {
  CloseKey();
  bool broken = false;
  auto doc = Load(&broken);
  std::string full = FullPath(key);
  if (!broken && (!doc || !doc->FindKey(full))) return false;
  currentKey_ = full;
  readOnly_ = true;
  return true;
}

void FileRegistry::CloseKey() {
  currentKey_.clear();
  readOnly_ = false;
}

bool FileRegistry::KeyExists(const std::string& key) {
  auto doc = Load();
  return doc && doc->FindKey(FullPath(key));
}

const RegValue* FileRegistry::FindValue(const RegDocument& doc, const std::string& name) const {
  auto& d = const_cast<RegDocument&>(doc);
  RegKey* k = d.FindKey(currentKey_);
  if (!k) return nullptr;
  for (const auto& v : k->values)
    if (SameText(v.name, name)) return &v;
  return nullptr;
}

bool FileRegistry::ValueExists(const std::string& name) {
  if (currentKey_.empty()) return false;
  auto doc = Load();
  return doc && FindValue(*doc, name);
}

std::string FileRegistry::ReadString(const std::string& name) {
  auto doc = currentKey_.empty() ? std::nullopt : Load();
  if (!doc) throw ERegistryException(Format("Failed to get data for '%s'", name));
  const RegValue* v = FindValue(*doc, name);
  if (!v) return {};
  if (v->type != RegValue::Type::String)
    throw ERegistryException(Format("Invalid data type for '%s'", name));
  return v->text;
}

int32_t FileRegistry::ReadInteger(const std::string& name) {
  auto doc = currentKey_.empty() ? std::nullopt : Load();
  if (!doc) throw ERegistryException(Format("Failed to get data for '%s'", name));
  const RegValue* v = FindValue(*doc, name);
  if (!v || v->type != RegValue::Type::Dword)
    throw ERegistryException(Format("Invalid data type for '%s'", name));
  return static_cast<int32_t>(v->dword);
}

void FileRegistry::WriteString(const std::string& name, const std::string& value) {
  RegValue v;
  v.name = name;
  v.type = RegValue::Type::String;
  v.text = value;
  Write(v);
}

void FileRegistry::WriteInteger(const std::string& name, int32_t value) {
  RegValue v;
  v.name = name;
  v.type = RegValue::Type::Dword;
  v.dword = static_cast<uint32_t>(value);
  Write(v);
}


void FileRegistry::Write(const RegValue& value) {
  const std::string failure = Format("Failed to set data for '%s'", value.name);
  if (currentKey_.empty() || readOnly_) throw ERegistryException(failure);
  Modify(
      [&](RegDocument& doc) {
        RegKey& key = doc.AddKey(currentKey_);
        for (auto& v : key.values) {
          if (SameText(v.name, value.name)) {
            std::string keptName = v.name;  // keep the name as first written
            v = value;
            v.name = keptName;
            return;
          }
        }
        key.values.push_back(value);
      },
      failure);
}

void FileRegistry::Modify(const std::function<void(RegDocument&)>& change, const std::string& failure) {
  WriteLock lock(fileName_);
  if (!lock.Held()) throw ERegistryException(failure);
  // Read again under the lock so that concurrent writers do not lose each
  // other's values; a damaged file is never overwritten.
  auto doc = Load();
  if (!doc) throw ERegistryException(failure);
  change(*doc);
  std::string text = FormatRegFile(*doc);

  struct stat st;
  mode_t mode = ::stat(fileName_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  std::string dir = ExtractFileDir(fileName_);
  if (dir.empty()) dir = ".";
  // Under the lock no other write is under way: a temporary file left
  // beside the settings is a killed write's.
  RemoveStaleTemporaries(fileName_);
  std::string tmpl = JoinPath(dir, "." + ExtractFileName(fileName_) + ".XXXXXX");
  std::vector<char> tmpName(tmpl.begin(), tmpl.end());
  tmpName.push_back('\0');
  int fd = ::mkstemp(tmpName.data());
  if (fd < 0) throw ERegistryException(failure);
  bool ok = WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && FileSync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || FileRename(tmpName.data(), fileName_) != 0) {
    ::unlink(tmpName.data());
    throw ERegistryException(failure);
  }
  SyncDirectory(dir);
}

std::vector<std::string> FileRegistry::GetValueNames() {
  std::vector<std::string> names;
  auto doc = currentKey_.empty() ? std::nullopt : Load();
  if (!doc) return names;
  if (RegKey* k = doc->FindKey(currentKey_))
    for (const auto& v : k->values) names.push_back(v.name);
  return names;
}

std::vector<std::string> FileRegistry::GetKeyNames() {
  std::vector<std::string> names;
  auto doc = currentKey_.empty() ? std::nullopt : Load();
  if (!doc) return names;
  std::string prefix = currentKey_ + "\\";
  for (const auto& k : doc->keys) {
    if (k.path.size() <= prefix.size() || !SameText(k.path.substr(0, prefix.size()), prefix)) continue;
    std::string rest = k.path.substr(prefix.size());
    std::string first = rest.substr(0, rest.find('\\'));
    bool seen = false;
    for (const auto& n : names) seen = seen || SameText(n, first);
    if (!seen) names.push_back(first);
  }
  return names;
}

std::unique_ptr<Registry> CreateRegistry(RegRoot root) {
  return std::make_unique<FileRegistry>(
      DefaultRegistryFile(), root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER");
}

}  // namespace ztv
