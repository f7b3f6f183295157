// Top-level windows of other programs: finding one by class (and title),
// asking whether it still exists, posting it a close request or a button
// command, hiding and showing it.
//
// On Linux a window class stands for the processes that own such windows:
// "TfWorkplace" for the workplace program "Bureo", "IB_Server" for
// "IBServer", "FB_Server" for the Firebird server "firebird". A window handle
// is then one such process; a close request is SIGTERM to it. Other classes
// (the servers' dialogs among them) are never found.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/processes.h"

namespace ztv {

struct WindowHandle {
  int pid = 0;
  uint64_t startTime = 0;
  explicit operator bool() const { return pid != 0; }
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // The first top-level window of `className`; when `title` is not empty the
  // window's title must match it too. An empty handle when there is none.
  virtual WindowHandle FindTopLevel(const std::string& className, const std::string& title) = 0;
  // The first top-level window of `className` whose owning process `owner`
  // accepts: how a caller tells its own program's window from the same
  // program's window of another installation.
  virtual WindowHandle FindOwnedTopLevel(const std::string& className,
                                         const std::function<bool(const ProcessEntry&)>& owner) = 0;
  // Whether programs show their own dialogs (a server's question about
  // connected users) that a caller can find and answer. Not on Linux: there
  // the caller asks such questions itself.
  virtual bool ProgramsShowDialogs() const = 0;
  virtual bool Exists(const WindowHandle& window) = 0;
  // Posts the close request (WM_CLOSE) without waiting for it to be handled.
  virtual bool PostClose(const WindowHandle& window) = 0;
  // Posts the command of a button (WM_COMMAND with its identifier).
  virtual bool PostCommand(const WindowHandle& window, int commandId) = 0;
  virtual bool SetVisible(const WindowHandle& window, bool visible) = 0;
};

// The program whose processes stand for windows of `className` on Linux;
// "" for classes that have none.
std::string WindowClassProgram(const std::string& className);

WindowSystem& SystemWindows();

}  // namespace ztv
