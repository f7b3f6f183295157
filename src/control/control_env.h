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
};

// The machine's own clock, windows, services and program starter.
const ControlEnv& DefaultControlEnv();

}  // namespace ztv
