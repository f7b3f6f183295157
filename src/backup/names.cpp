#include "backup/names.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "backup/file_ops.h"
#include "core/errors.h"
#include "core/text.h"

namespace ztv {

int32_t StrToInt(const std::string& text) {
  const std::string t = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i == t.size()) throw Exception(Format("'%s' is not a valid integer value", text));
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw Exception(Format("'%s' is not a valid integer value", text));
    v = v * 10 + (t[i] - '0');
    if (v > static_cast<int64_t>(INT32_MAX) + 1) throw Exception(Format("'%s' is not a valid integer value", text));
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) throw Exception(Format("'%s' is not a valid integer value", text));
  return static_cast<int32_t>(v);
}

void CheckStoredComponentName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/") != std::string::npos ||
      name.find('\0') != std::string::npos)
    throw Exception(Format("Недопустимое имя в образе каталога: [%s]", name));
}

void TNameMatcher::AddExisting(const std::string& name) {
  State& state = names_[name];
  if (state.flags & kExisting) return;
  state.flags |= kExisting;
  state.order = static_cast<uint32_t>(existingCount_++);
  if (foldedBuilt_) folded_.emplace(UpperCase(name), name);
}

void TNameMatcher::Claim(const std::string& name) {
  auto it = names_.find(name);
  if (it != names_.end() && (it->second.flags & kExisting)) it->second.flags |= kClaimed;
}

std::string TNameMatcher::Match(const std::string& name) {
  lastWasNew_ = false;
  lastWasExisting_ = false;
  auto it = names_.find(name);
  if (it != names_.end() && (it->second.flags & (kExisting | kCreated))) {
    it->second.flags |= kClaimed;
    lastWasExisting_ = (it->second.flags & kExisting) != 0;
    return name;
  }
  if (existingCount_ > 0) {
    if (!foldedBuilt_) {
      // The first existing name of each upper-cased form is the one matched.
      std::vector<const std::string*> order(existingCount_);
      for (const auto& [n, state] : names_)
        if (state.flags & kExisting) order[state.order] = &n;
      folded_.reserve(existingCount_);
      for (const std::string* n : order) folded_.emplace(UpperCase(*n), *n);
      foldedBuilt_ = true;
    }
    auto f = folded_.find(UpperCase(name));
    if (f != folded_.end()) {
      State& state = names_[f->second];
      if (!(state.flags & kClaimed)) {
        state.flags |= kClaimed;
        lastWasExisting_ = true;
        return f->second;
      }
    }
  }
  names_[name].flags |= kCreated | kClaimed;
  lastWasNew_ = true;
  return name;
}

void RemoveIfSymlink(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) DeleteOrRename(path);
}

}  // namespace ztv
