#include "control/check_running.h"

#include <cstdlib>
#include <filesystem>

#include "core/errors.h"
#include "core/text.h"
#include "platform/processes.h"

namespace ztv {
namespace {

bool HasPathPart(const std::string& name) { return name.find_first_of("/\\") != std::string::npos; }

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

const char* Lookup(const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos) return nullptr;
  return std::getenv(name.c_str());
}

std::string ExpandEnvironment(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '%') {
      size_t end = s.find('%', i + 1);
      if (end != std::string::npos && end > i + 1) {
        if (const char* value = Lookup(s.substr(i + 1, end - i - 1))) {
          out += value;
          i = end + 1;
          continue;
        }
      }
    } else if (c == '$' && i + 1 < s.size()) {
      if (s[i + 1] == '{') {
        size_t end = s.find('}', i + 2);
        if (end != std::string::npos) {
          if (const char* value = Lookup(s.substr(i + 2, end - i - 2))) {
            out += value;
            i = end + 1;
            continue;
          }
        }
      } else if (IsNameChar(s[i + 1]) && !(s[i + 1] >= '0' && s[i + 1] <= '9')) {
        size_t end = i + 1;
        while (end < s.size() && IsNameChar(s[end])) ++end;
        if (const char* value = Lookup(s.substr(i + 1, end - i - 1))) {
          out += value;
          i = end;
          continue;
        }
      }
    }
    out += c;
    ++i;
  }
  return out;
}

}  // namespace

std::string NormalizePath(const std::string& path) {
  std::string result = ExpandEnvironment(path);
  if (result.size() > 1 && result.compare(0, 2, "\\\\") != 0) {
    // The file's own name: what links and relative parts stand for.
    std::error_code ec;
    auto absolute = std::filesystem::absolute(std::filesystem::path(result), ec);
    if (ec) return result;
    auto canonical = std::filesystem::weakly_canonical(absolute, ec);
    if (!ec && !canonical.empty()) result = canonical.string();
  }
  return result;
}

bool SameProcessFile(const std::string& exe, const std::string& name) {
  if (!HasPathPart(name)) {
    auto slash = exe.find_last_of('/');
    return SameProgramName(slash == std::string::npos ? exe : exe.substr(slash + 1), name);
  }
  if (exe.empty()) return false;
  try {
    return SameText(NormalizePath(exe), NormalizePath(name));
  } catch (const std::exception&) {
    return false;
  }
}

int ProcessCount(const std::string& name) {
  auto processes = EnumerateProcesses();
  if (!processes) throw Exception("I don't no create");
  if (name.empty()) return 0;
  bool byPath = HasPathPart(name);
  int count = 0;
  for (const auto& p : *processes) {
    bool match = byPath ? SameProcessFile(p.exePath, name)
                        : SameProcessFile(p.exeFile, name) || SameProcessFile(p.exePath, name);
    if (match) ++count;
  }
  return count;
}

bool IsProcessRunning(const std::string& name) { return ProcessCount(name) > 0; }

}  // namespace ztv
