// What the server and workplace control routines reach of the machine: the
// clock for their fixed waits, top-level windows, the service manager and the
// program starter. The registry and the process list are always the real
// ones (CreateRegistry honours ZTV_REGISTRY).
#pragma once

#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/launcher.h"
#include "platform/services.h"
#include "platform/windows.h"

namespace ztv {

struct ControlEnv {
  Clock* clock = &SystemClock();
  WindowSystem* windows = &SystemWindows();
  ServiceManager* services = &SystemServices();
  ProgramLauncher* launcher = &SystemLauncher();
  // Asks the user an OK/Cancel question (caption, text) in a box without
  // owner; true for OK. Without one the answer is Cancel.
  std::function<bool(const std::string& caption, const std::string& text)> confirm;
  // How many attachments the running server of `kind` has; -1 when it
  // cannot be asked (`error` says why). Asked before a server is stopped
  // where the server cannot ask its users' question itself. The default
  // asks the registered Firebird server's service manager on loopback as
  // SYSDBA with the workplace's default password.
  std::function<int(int kind, std::string& error)> attachments;
  // The workplace installation whose program is closed: only a "Bureo"
  // whose executable lies below it is signalled. "" matches every "Bureo".
  std::string installationDir;
};

// The default attachment question: the registered Firebird server's count.
int DefaultAttachmentCount(int kind, std::string& error);

// The machine's own clock, windows, services and program starter.
const ControlEnv& DefaultControlEnv();

}  // namespace ztv
