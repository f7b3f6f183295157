// The service-control layer: whether the machine has a service manager (the
// platform family with services) and the service routines built on it.
#pragma once

#include <string>

#include "control/control_env.h"

namespace ztv {

constexpr int kServiceOpStart = 0;
constexpr int kServiceOpStop = 1;

// Whether the machine has a service manager. Without one (the older platform
// family, or Linux without systemd) servers run only as programs.
bool IsNtFamily(const ControlEnv& env = DefaultControlEnv());

// Whether the service exists. Raises EWin32 when the manager cannot be
// reached.
bool IsServiceExist(const std::string& name, const ControlEnv& env = DefaultControlEnv());

// The service's state: 1 stopped, 4 running, 7 paused. Pending states are
// waited out, 1000 ms at a time and at most 60 times; a service still
// pending then raises.
int GetServiceStatus(const std::string& name, const ControlEnv& env = DefaultControlEnv());

// Starts (op 0) or stops (op 1) the service and waits until it runs or
// stops. With `tolerant`, a service that does not exist, or (on start) one
// that is disabled, gives false instead of an error.
bool ServiceOperation(const std::string& name, int op, bool tolerant, const ControlEnv& env = DefaultControlEnv());

}  // namespace ztv
