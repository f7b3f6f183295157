// The machine's service manager: whether there is one, whether a service
// exists, its state, starting it and sending it a control.
//
// Results use the service-control codes the callers were written for:
// states 1 stopped, 2 start pending, 3 stop pending, 4 running, 5 continue
// pending, 6 pause pending, 7 paused; errors 1058 (the service cannot be
// started: disabled) and 1060 (no such service), others as they come.
//
// On Linux the manager is systemd, reached through `systemctl`, when
// /run/systemd/system exists; service names are unit names (".service" is
// added). A unit that is inactive or failed is stopped, active is running,
// activating/deactivating/reloading are pending; systemd has no paused
// state. Without systemd there is no service manager.
#pragma once

#include <memory>
#include <string>

namespace ztv {

constexpr int kServiceStopped = 1;
constexpr int kServiceStartPending = 2;
constexpr int kServiceStopPending = 3;
constexpr int kServiceRunning = 4;
constexpr int kServiceContinuePending = 5;
constexpr int kServicePausePending = 6;
constexpr int kServicePaused = 7;

constexpr int kServiceControlStop = 1;
constexpr int kServiceControlContinue = 3;

constexpr int kErrorInvalidData = 13;
constexpr int kErrorInvalidName = 123;
constexpr int kErrorInvalidServiceControl = 1052;
constexpr int kErrorServiceRequestTimeout = 1053;
constexpr int kErrorServiceDisabled = 1058;
constexpr int kErrorServiceDoesNotExist = 1060;

// A failed call: its code and the manager's own text. Code 0 is success.
struct ServiceError {
  int code = 0;
  std::string message;
  explicit operator bool() const { return code != 0; }
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Whether the machine has a service manager at all.
  virtual bool Present() = 0;
  // Connects to the manager.
  virtual ServiceError OpenManager() = 0;
  // Whether the service can be opened (1060 when it does not exist).
  virtual ServiceError OpenService(const std::string& name) = 0;
  virtual ServiceError QueryState(const std::string& name, int& state) = 0;
  // Asks the manager to start the service and returns without waiting.
  virtual ServiceError Start(const std::string& name) = 0;
  // Sends a control (kServiceControlStop, kServiceControlContinue) without
  // waiting for it to take effect.
  virtual ServiceError Control(const std::string& name, int control) = 0;
};

// systemd through `systemctl` (found on PATH) when `runtimeDir` exists.
std::unique_ptr<ServiceManager> CreateSystemdServices(const std::string& runtimeDir = "/run/systemd/system",
                                                      const std::string& systemctl = "systemctl");

// The machine's own service manager.
ServiceManager& SystemServices();

}  // namespace ztv
