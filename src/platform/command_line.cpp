#include "platform/command_line.h"

#include <mutex>

#include "core/text.h"
#include "platform/paths.h"

namespace ztv {
namespace {

struct CommandLine {
  std::mutex mutex;
  std::vector<std::string> args;
  std::string programOverride;
};

CommandLine& State() {
  static CommandLine state;
  return state;
}

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  SetCommandLine(args);
}

void SetCommandLine(const std::vector<std::string>& args) {
  std::lock_guard lock(State().mutex);
  State().args = args;
}

int ParamCount() {
  std::lock_guard lock(State().mutex);
  return State().args.empty() ? 0 : static_cast<int>(State().args.size()) - 1;
}

std::string ParamStr(int i) {
  if (i == 0) return ProgramFileName();
  std::lock_guard lock(State().mutex);
  if (i < 0 || i >= static_cast<int>(State().args.size())) return {};
  return State().args[static_cast<size_t>(i)];
}

bool HasParam(const std::string& word) {
  for (int i = 1, n = ParamCount(); i <= n; ++i)
    if (SameText(ParamStr(i), word)) return true;
  return false;
}

std::string ProgramFileName() {
  {
    std::lock_guard lock(State().mutex);
    if (!State().programOverride.empty()) return State().programOverride;
  }
  return RunningProgramPath();
}

void SetProgramFileNameForTesting(const std::string& path) {
  std::lock_guard lock(State().mutex);
  State().programOverride = path;
}

}  // namespace ztv
