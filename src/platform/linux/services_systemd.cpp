#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/errors.h"
#include "core/text.h"
#include "platform/linux/parsers.h"
#include "platform/linux/spawn.h"
#include "platform/services.h"

namespace ztv {
namespace {

// systemctl answers at once (starts and stops are queued without waiting);
// this only guards against a manager that hangs.
constexpr int kSystemctlTimeoutMs = 30000;
constexpr int kErrorFileNotFound = 2;
constexpr int kErrorCallNotImplemented = 120;
constexpr int kErrorServiceCannotAcceptControl = 1061;

bool ValidUnitName(const std::string& name) {
  if (name.empty() || name.size() > 250) return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' ||
              c == '_' || c == '.' || c == '-' || c == '@' || c == '\\';
    if (!ok) return false;
  }
  return name[0] != '-' && name[0] != '.';
}

// A name without a unit type of its own is a service ("firebird3.0" is
// "firebird3.0.service"), as systemctl reads it.
std::string UnitName(const std::string& name) {
  static const char* kTypes[] = {".service", ".socket", ".target", ".mount", ".automount", ".swap",
                                 ".timer",   ".path",   ".slice",  ".scope", ".device"};
  for (const char* type : kTypes) {
    const size_t n = std::strlen(type);
    if (name.size() > n && name.compare(name.size() - n, n, type) == 0) return name;
  }
  return name + ".service";
}

// The first line of what systemctl said, for the error's text.
std::string FirstLine(const std::string& text) {
  std::string t = Trim(text);
  auto eol = t.find('\n');
  return Trim(eol == std::string::npos ? t : t.substr(0, eol));
}

class SystemdServices : public ServiceManager {
 public:
  SystemdServices(std::string runtimeDir, std::string systemctl)
      : runtimeDir_(std::move(runtimeDir)), systemctl_(std::move(systemctl)) {}

  bool Present() override {
    struct stat st;
    return ::stat(runtimeDir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  ServiceError OpenManager() override {
    if (!Present()) return {kErrorCallNotImplemented, "systemd does not run on this machine"};
    bool found = systemctl_.find('/') != std::string::npos ? ::access(systemctl_.c_str(), X_OK) == 0
                                                          : !FindOnPath(systemctl_).empty();
    if (!found) return {kErrorFileNotFound, systemctl_ + ": " + SystemErrorText(ENOENT)};
    return {};
  }

  ServiceError OpenService(const std::string& name) override {
    UnitState unit;
    return Show(name, unit);
  }

  ServiceError QueryState(const std::string& name, int& state) override {
    UnitState unit;
    if (auto error = Show(name, unit)) return error;
    auto mapped = ServiceStateFromActiveState(unit.activeState);
    if (!mapped) return {kErrorInvalidData, "unknown ActiveState \"" + unit.activeState + "\""};
    state = *mapped;
    return {};
  }

  ServiceError Start(const std::string& name) override {
    if (!ValidUnitName(name)) return InvalidName(name);
    auto run = Run({"start", "--no-block", "--", UnitName(name)});
    if (auto error = RunFailure(run)) return error;
    if (run.exitCode == 0) return {};
    // A unit that exists but will not start (masked, refused) is what the
    // callers know as a disabled service.
    UnitState unit;
    if (auto error = Show(name, unit)) return error;
    return {kErrorServiceDisabled, Message(run)};
  }

  ServiceError Control(const std::string& name, int control) override {
    if (!ValidUnitName(name)) return InvalidName(name);
    if (control != kServiceControlStop) return {kErrorInvalidServiceControl, "systemd has no such control"};
    auto run = Run({"stop", "--no-block", "--", UnitName(name)});
    if (auto error = RunFailure(run)) return error;
    if (run.exitCode == 0) return {};
    UnitState unit;
    if (auto error = Show(name, unit)) return error;
    return {kErrorServiceCannotAcceptControl, Message(run)};
  }

 private:
  struct UnitState {
    std::string loadState;
    std::string activeState;
  };

  static ServiceError InvalidName(const std::string& name) {
    return {kErrorInvalidName, "invalid unit name \"" + name + "\""};
  }

  CapturedRun Run(std::vector<std::string> args) {
    args.insert(args.begin(), systemctl_);
    return RunCaptured(args, kSystemctlTimeoutMs);
  }

  ServiceError RunFailure(const CapturedRun& run) {
    if (run.spawnError) return {kErrorFileNotFound, systemctl_ + ": " + SystemErrorText(run.spawnError)};
    if (run.timedOut) return {kErrorServiceRequestTimeout, systemctl_ + " did not answer in time"};
    if (run.exitCode < 0) return {kErrorInvalidData, systemctl_ + " was killed"};
    return {};
  }

  static std::string Message(const CapturedRun& run) {
    std::string line = FirstLine(run.err);
    if (line.empty()) line = FirstLine(run.out);
    if (line.empty()) line = Format("systemctl exited with code %d", run.exitCode);
    return line;
  }

  ServiceError Show(const std::string& name, UnitState& unit) {
    if (!ValidUnitName(name)) return InvalidName(name);
    std::string unitName = UnitName(name);
    auto run = Run({"show", "--property=LoadState", "--property=ActiveState", "--", unitName});
    if (auto error = RunFailure(run)) return error;
    if (run.exitCode != 0) return {kErrorInvalidData, Message(run)};
    auto values = ParseSystemctlShow(run.out);
    if (!values) return {kErrorInvalidData, "unreadable answer of systemctl show"};
    auto load = values->find("LoadState");
    auto active = values->find("ActiveState");
    if (load == values->end() || active == values->end())
      return {kErrorInvalidData, "systemctl show did not report the unit's state"};
    unit.loadState = load->second;
    unit.activeState = active->second;
    if (unit.loadState == "not-found") return {kErrorServiceDoesNotExist, "Unit " + unitName + " not found."};
    return {};
  }

  std::string runtimeDir_;
  std::string systemctl_;
};

}  // namespace

std::unique_ptr<ServiceManager> CreateSystemdServices(const std::string& runtimeDir, const std::string& systemctl) {
  return std::make_unique<SystemdServices>(runtimeDir, systemctl);
}

ServiceManager& SystemServices() {
  static auto services = CreateSystemdServices();
  return *services;
}

}  // namespace ztv
