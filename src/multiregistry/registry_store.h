// The store behind the MultiRegistry component: a tree of keys, each with
// named integer and string values, kept in one IMD packet (so that
// `ztvtool imd dump` shows it).
//
// Packet fields, one record per key and per value, in tree order:
//   Kind     Integer  0 a key, 1 an integer value, 2 a string value
//   Path     String   the key's path below the root, parts separated by "\"
//                     ("" is the root); for a value, the path of its key
//   Name     String   the value's name ("" for a key record)
//   IntValue Integer  the integer value (0 otherwise)
//   StrValue String   the string value ("" otherwise)
// Texts are CP1251 in the packet (Path up to 4095 bytes, Name 255,
// StrValue 4095); Memo fields are read as well.
// A key record comes after the record of its parent key (the root needs
// none); the order of key records is the order of a key's children. Names
// are compared without regard to letter case; a name is never empty and
// holds no backslash and no control character.
//
// Reading checks everything: a file that is damaged, truncated, holds a key
// twice, a key before its parent or a value of a missing key raises an
// Exception saying what is wrong and where.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ztv {

struct TRegistryValueData {
  std::string name;
  bool isString = false;
  int32_t intValue = 0;
  std::string strValue;
};

struct TRegistryNode {
  std::string name;
  TRegistryNode* parent = nullptr;
  // In their order; changed only through AddChild, RemoveChild and
  // AddValue, which keep the lookups by name up to date.
  std::vector<std::unique_ptr<TRegistryNode>> children;
  std::vector<TRegistryValueData> values;

  // Lookups by name, without regard to letter case; a key with many
  // children or values (a file may hold millions) is found at once.
  TRegistryNode* Child(std::string_view childName) const;
  const TRegistryValueData* Value(std::string_view valueName) const;
  TRegistryNode* AddChild(std::unique_ptr<TRegistryNode> child);
  bool RemoveChild(const TRegistryNode* child);
  void AddValue(TRegistryValueData value);
  // The path below the root ("" for the root).
  std::string Path() const;

 private:
  std::unordered_map<std::string, TRegistryNode*> childByName_;  // upper-cased name -> child
  std::unordered_map<std::string, size_t> valueByName_;          // upper-cased name -> index in values
};

class TRegistryStore {
 public:
  // Bounds on what a store may hold.
  static constexpr int64_t kMaxFileSize = 64 << 20;
  static constexpr int kMaxDepth = 64;
  static constexpr size_t kMaxNameLength = 255;
  static constexpr int kMaxNameBytes = 255;
  static constexpr int kMaxPathBytes = 4095;
  static constexpr int kMaxValueBytes = 4095;

  TRegistryStore();

  // Reads a store file. The messages name the file.
  static std::shared_ptr<TRegistryStore> LoadFromFile(const std::string& fileName);
  // Reads a store from its bytes; `source` names them in messages.
  static std::shared_ptr<TRegistryStore> LoadFromBytes(const std::string& bytes, const std::string& source);

  std::string SaveToBytes() const;
  // Writes the store atomically: a temporary file beside the target, synced,
  // then renamed over it (the folder is synced after). A failure leaves the
  // old file as it was. The caller holds the folder's lock (as every writer
  // of the list does), so temporary files a killed write left are removed.
  void SaveToFile(const std::string& fileName) const;

  TRegistryNode& Root() { return *root_; }
  const TRegistryNode& Root() const { return *root_; }

  // The key at `path` below `from` (parts separated by "\"; empty parts are
  // skipped); nullptr when there is none.
  static TRegistryNode* FindKey(const TRegistryNode& from, std::string_view path);
  // The key at `path` below the root, created with its missing parents.
  TRegistryNode& CreateKey(std::string_view path);
  // Removes the key at `path` below the root with everything under it;
  // false when there is none.
  bool DeleteKey(std::string_view path);

  static void SetInteger(TRegistryNode& key, std::string_view name, int32_t value);
  static void SetString(TRegistryNode& key, std::string_view name, std::string_view value);

  // Raises when `name` cannot be a key or value name.
  static void CheckName(std::string_view name);
  // The parts of a path (empty parts skipped).
  static std::vector<std::string> SplitPath(std::string_view path);

 private:
  std::unique_ptr<TRegistryNode> root_;
};

}  // namespace ztv
