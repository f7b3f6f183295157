// A registry hive kept in one REGEDIT4 text file.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Zorvic\ZTV]
//   "CurrentVersion"="7.1.2"
//   "CurrentStatus"=dword:00000001
//
// Key and value names compare without regard to letter case. The file is
// UTF-8 (a file that is not valid UTF-8 is read as CP1251). Every write
// rewrites the whole file atomically under an advisory lock, so readers see
// either the old or the new file, never a half-written one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace ztv {

struct RegValue {
  enum class Type { String, Dword, Other, Invalid };
  std::string name;   // "" for the default value "@"
  Type type = Type::String;
  std::string text;   // String: the value; Other/Invalid: the raw data text
  uint32_t dword = 0;
};

struct RegKey {
  std::string path;  // full path with the root name, as written
  std::vector<RegValue> values;
};

struct RegDocument {
  std::vector<RegKey> keys;

  RegKey* FindKey(const std::string& fullPath);
  RegKey& AddKey(const std::string& fullPath);
};

// Parses the text of a REGEDIT4 file. Returns nothing when the text is not
// such a file (no header, or a line that is neither key, value, comment nor
// blank). A value line whose data cannot be parsed gives an Invalid value.
std::optional<RegDocument> ParseRegFile(const std::string& bytes);
std::string FormatRegFile(const RegDocument& doc);

// The default hive file: $ZTV_REGISTRY or /etc/ztv/registry.reg.
std::string DefaultRegistryFile();

class FileRegistry : public Registry {
 public:
  FileRegistry(std::string fileName, std::string rootName);

  bool OpenKey(const std::string& key, bool canCreate) override;
  bool OpenKeyReadOnly(const std::string& key) override;
  void CloseKey() override;
  bool KeyExists(const std::string& key) override;
  bool ValueExists(const std::string& name) override;
  std::string ReadString(const std::string& name) override;
  int32_t ReadInteger(const std::string& name) override;
  void WriteString(const std::string& name, const std::string& value) override;
  void WriteInteger(const std::string& name, int32_t value) override;
  std::vector<std::string> GetValueNames() override;
  std::vector<std::string> GetKeyNames() override;

 private:
  std::string FullPath(const std::string& key) const;
  // Reads the file now; nothing when it is missing, unreadable or broken.
  std::optional<RegDocument> Load(bool* broken = nullptr) const;
  const RegValue* FindValue(const RegDocument& doc, const std::string& name) const;
  void Write(const RegValue& value);
  void Modify(const std::function<void(RegDocument&)>& change, const std::string& failure);
  bool Writable() const;

  std::string fileName_;
  std::string rootName_;
  std::string currentKey_;  // full path of the open key, "" when none
  bool readOnly_ = false;
};

}  // namespace ztv
