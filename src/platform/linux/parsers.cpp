#include "platform/linux/parsers.h"

#include <charconv>

namespace ztv {
namespace {

bool ParseUnsigned(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Splits at single blanks, as the kernel writes the fields.
std::vector<std::string_view> SplitFields(std::string_view text, size_t maxFields) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < text.size() && fields.size() < maxFields) {
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    fields.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<ProcStat> ParseProcStat(std::string_view text) {
  // Trailing newline is part of the file.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.remove_suffix(1);
  size_t open = text.find(" (");
  size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) return {};
  ProcStat st;
  uint64_t pid = 0;
  if (!ParseUnsigned(text.substr(0, open), pid) || pid == 0 || pid > 0x7fffffff) return {};
  st.pid = static_cast<int>(pid);
  st.comm = std::string(text.substr(open + 2, close - open - 2));
  if (close + 2 > text.size() || text[close + 1] != ' ') return {};
  // Fields after the command name, numbered from 3 (state) as in proc(5).
  auto fields = SplitFields(text.substr(close + 2), 20);
  if (fields.size() < 20) return {};
  if (fields[0].size() != 1) return {};
  st.state = fields[0][0];
  if (!ParseUnsigned(fields[6], st.flags)) return {};       // field 9
  if (!ParseUnsigned(fields[19], st.startTime)) return {};  // field 22
  return st;
}

std::vector<std::string> ParseCmdline(std::string_view text, size_t maxArgs) {
  std::vector<std::string> args;
  size_t pos = 0;
  while (pos < text.size() && args.size() < maxArgs) {
    size_t end = text.find('\0', pos);
    if (end == std::string_view::npos) end = text.size();
    args.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return args;
}

std::optional<std::map<std::string, std::string>> ParseSystemctlShow(std::string_view text) {
  std::map<std::string, std::string> values;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return {};
    auto [it, inserted] = values.emplace(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
    if (!inserted) return {};
  }
  return values;
}

std::optional<int> ServiceStateFromActiveState(std::string_view s) {
  if (s == "inactive" || s == "failed") return 1;
  if (s == "active") return 4;
  if (s == "activating" || s == "maintenance") return 2;
  if (s == "deactivating") return 3;
  if (s == "reloading" || s == "refreshing") return 5;
  return {};
}

std::optional<Shebang> ParseShebang(std::string_view head) {
  if (head.size() < 2 || head[0] != '#' || head[1] != '!') return {};
  size_t eol = head.find('\n');
  if (eol == std::string_view::npos) return {};
  std::string_view line = head.substr(2, eol - 2);
  if (line.find('\0') != std::string_view::npos) return {};
  while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  line.remove_prefix(start);
  if (line.empty()) return {};
  size_t gap = 0;
  while (gap < line.size() && !IsBlank(line[gap])) ++gap;
  Shebang result;
  result.interpreter = std::string(line.substr(0, gap));
  std::string_view rest = line.substr(gap);
  size_t argStart = 0;
  while (argStart < rest.size() && IsBlank(rest[argStart])) ++argStart;
  result.argument = std::string(rest.substr(argStart));
  return result;
}

}  // namespace ztv
