// Checks of names that come from stored indexes before they become paths.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace ztv {

// Decimal text to integer as the index IDs are written; anything else raises
// "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& text);

// One path component from a stored image: not empty, not "." or "..", no
// separator, no NUL. Raises naming it otherwise.
void CheckStoredComponentName(const std::string& name);


// Matches the names a restore writes to the entries that were there before
// it, ignoring letter case as the file system the names come from does: a
// name that exists exactly is used as it is; otherwise an entry whose name
// differs only in case and that no name of the restore claims exactly;
// otherwise the name is new. What the restore creates itself is matched
// only exactly, so names that differ only in case all come back.
class TNameMatcher {
 public:
  // An entry that was there before the restore.
  void AddExisting(const std::string& name);
  // A name the restore will write: an existing entry of exactly that name
  // is kept for it.
  void Claim(const std::string& name);
  // The name to write for `name`.
  std::string Match(const std::string& name);

  // Whether Match gave a name that was neither there before nor matched
  // earlier: nothing stands there unless someone else put it there since.
  bool LastWasNew() const { return lastWasNew_; }
  // Whether Match gave an entry that was there before the restore.
  bool LastWasExisting() const { return lastWasExisting_; }

 private:
  enum : uint8_t { kExisting = 1, kClaimed = 2, kCreated = 4 };
  struct State {
    uint8_t flags = 0;
    uint32_t order = 0;  // of the existing names, as they were added
  };
  std::unordered_map<std::string, State> names_;
  // The first existing name of each upper-cased form, made when a name is
  // first missed (a restore over an equal tree never needs it).
  std::unordered_map<std::string, std::string> folded_;
  bool foldedBuilt_ = false;
  size_t existingCount_ = 0;
  bool lastWasNew_ = false;
  bool lastWasExisting_ = false;
};

// Replaces a symbolic link at `path` by nothing, so that what is written
// there next never lands outside the tree.
void RemoveIfSymlink(const std::string& path);

}  // namespace ztv
