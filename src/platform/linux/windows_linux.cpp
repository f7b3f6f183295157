#include <signal.h>

#include "core/text.h"
#include "platform/processes.h"
#include "platform/windows.h"

namespace ztv {
namespace {

struct ClassProgram {
  const char* className;
  const char* program;
};

// Window classes of the programs this system closes, and the programs that
// own them.
constexpr ClassProgram kClassPrograms[] = {
    {"TfWorkplace", "Bureo"},
    {"IB_Server", "IBServer"},
    {"FB_Server", "firebird"},
};

class ProcessWindows : public WindowSystem {
 public:
  WindowHandle FindTopLevel(const std::string& className, const std::string& title) override {
    // The programs' main windows carry no title we could check; a search by
    // title is one for a dialog, and no dialog is shown here.
    if (!title.empty()) return {};
    std::string program = WindowClassProgram(className);
    if (program.empty()) return {};
    auto processes = EnumerateProcesses();
    if (!processes) return {};
    for (const auto& p : *processes) {
      if (ProcessHasName(p, program)) return WindowHandle{p.pid, p.startTime};
    }
    return {};
  }

  WindowHandle FindOwnedTopLevel(const std::string& className,
                                 const std::function<bool(const ProcessEntry&)>& owner) override {
    if (WindowClassProgram(className).empty()) return {};
    auto processes = EnumerateProcesses();
    if (!processes) return {};
    for (const auto& p : *processes) {
      if (owner(p)) return WindowHandle{p.pid, p.startTime};
    }
    return {};
  }

  bool ProgramsShowDialogs() const override { return false; }

  bool Exists(const WindowHandle& window) override {
    return window && ProcessAlive(window.pid, window.startTime);
  }

  bool PostClose(const WindowHandle& window) override {
    return window && SignalProcess(window.pid, window.startTime, SIGTERM);
  }

  bool PostCommand(const WindowHandle&, int) override { return false; }
  bool SetVisible(const WindowHandle&, bool) override { return false; }
};

}  // namespace

std::string WindowClassProgram(const std::string& className) {
  // Window classes compare ignoring letter case, as the system's do.
  for (const auto& entry : kClassPrograms) {
    if (SameText(className, entry.className)) return entry.program;
  }
  return {};
}

WindowSystem& SystemWindows() {
  static ProcessWindows windows;
  return windows;
}

}  // namespace ztv
