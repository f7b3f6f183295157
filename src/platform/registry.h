// The registry: keys of values under a root hive. On Linux the hive is one
// REGEDIT4 text file (see linux/registry_file.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"

namespace ztv {

// Failures of the registry layer itself (wrong value type, failed write).
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

enum class RegRoot { LocalMachine, CurrentUser };

// An accessor for one open key at a time, in the manner of the classic
// registry wrapper: open a key, read or write its values, close it.
class Registry {
 public:
  virtual ~Registry() = default;

  // Opens `key` (path below the root, "\" separated) for reading and
  // writing. Returns false when the key does not exist (and `canCreate` is
  // false) or cannot be opened for writing.
  virtual bool OpenKey(const std::string& key, bool canCreate) = 0;
  // Opens an existing key for reading only.
  virtual bool OpenKeyReadOnly(const std::string& key) = 0;
  virtual void CloseKey() = 0;
  virtual bool KeyExists(const std::string& key) = 0;

  virtual bool ValueExists(const std::string& name) = 0;
  // An absent value reads as ""; a value of another type raises
  // ERegistryException.
  virtual std::string ReadString(const std::string& name) = 0;
  // An absent value or one of another type raises ERegistryException.
  virtual int32_t ReadInteger(const std::string& name) = 0;
  virtual void WriteString(const std::string& name, const std::string& value) = 0;
  virtual void WriteInteger(const std::string& name, int32_t value) = 0;
  virtual std::vector<std::string> GetValueNames() = 0;
  virtual std::vector<std::string> GetKeyNames() = 0;
};

// The platform's registry for `root`.
std::unique_ptr<Registry> CreateRegistry(RegRoot root = RegRoot::LocalMachine);

}  // namespace ztv
