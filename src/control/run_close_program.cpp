#include "control/run_close_program.h"

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>

#include "core/errors.h"
#include "core/text.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/network.h"
#include "db/firebird_instance.h"

namespace ztv {
namespace {

struct ServerVariant {
  const char* key;    // under HKEY_LOCAL_MACHINE
  const char* value;  // holds the installation directory
  // Relative to that directory, native separators. Firebird's are bare
  // names, looked for as the distribution lays them out (InstalledExecutable).
  const char* exe;
};

struct ServerKindInfo {
  const char* displayName;
  const char* services;  // comma-separated server service names
  const char* guardian;
  ServerVariant variants[2];
  const char* windowClass;
  const char* dialogClass;
  const char* dialogTitle;
};

const ServerKindInfo kInterBase = {
    "Interbase4/5",
    "InterBaseServer",
    "InterBaseGuardian",
    {{"Software\\Borland\\Interbase\\CurrentVersion", "RootDirectory", "bin/IBServer"},
     {"Software\\InterBase Corp\\InterBase\\CurrentVersion", "ServerDirectory", "IBServer"}},
    "IB_Server",
    "#32770",
    "InterBase Server",
};

const ServerKindInfo kFirebird = {
    "FireBird",
    "FirebirdServerDefaultInstance",
    "FirebirdGuardianDefaultInstance",
    {{"SOFTWARE\\Firebird Project\\Firebird Server\\Instances", "DefaultInstance", "firebird"},
     {"SOFTWARE\\Firebird Project\\Firebird Server\\Instances", "DefaultInstance", "fb_inet_server"}},
    "FB_Server",
    "#32770",
    "Firebird Server",
};

const ServerKindInfo* KindInfo(int kind) {
  if (kind == kServerInterBase) return &kInterBase;
  if (kind == kServerFirebird) return &kFirebird;
  return nullptr;
}

bool IsKind(int kind) { return KindInfo(kind) != nullptr; }

int KindBit(int kind) { return 1 << kind; }

// Variants looked at: InterBase always both, Firebird the first unless all
// are asked for.
int VariantCount(int kind, bool allVariants) { return kind == kServerInterBase || allVariants ? 2 : 1; }

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) end = list.size();
    std::string item = Trim(list.substr(pos, end - pos));
    if (!item.empty()) items.push_back(item);
    pos = end + 1;
  }
  return items;
}

// The service manager's name for a service of the kind. Firebird's server
// and guardian services are one unit of the distribution ("firebird3.0", or
// what the registry names); InterBase's keep their names.
std::string ServiceUnit(int kind, const std::string& name) {
  if (kind == kServerFirebird) return ReadFirebirdInstance().unit;
  return name;
}

// The first server service name, or all of them.
std::vector<std::string> ServiceNames(int kind, bool all) {
  auto names = SplitList(KindInfo(kind)->services);
  if (!all && names.size() > 1) names.resize(1);
  for (auto& name : names) name = ServiceUnit(kind, name);
  return names;
}

std::string GuardianUnit(int kind) { return ServiceUnit(kind, GuardianName(kind)); }

// The directory a registry value names, with one trailing separator removed;
// "" when the key or the value is missing.
std::string ReadServerDir(const std::string& key, const std::string& value) {
  auto registry = CreateRegistry(RegRoot::LocalMachine);
  if (!registry->OpenKeyReadOnly(key)) return {};
  std::string dir = registry->ReadString(value);
  registry->CloseKey();
  return DropTrailingSeparator(dir);
}

// The executable a variant names below `dir`.
std::string VariantExe(int kind, const ServerVariant& variant, const std::string& dir) {
  if (kind == kServerFirebird) return InstalledExecutable(dir, variant.exe);
  return ResolvePathCase(JoinPath(dir, variant.exe));
}

// The executable of a kind's variant as registered; "" when nothing is.
std::string RegisteredExe(int kind, int v) {
  const ServerVariant& variant = KindInfo(kind)->variants[v];
  std::string dir = ReadServerDir(variant.key, variant.value);
  return dir.empty() ? std::string() : VariantExe(kind, variant, dir);
}

std::string NormalRoot(const std::string& root) {
  std::string r = NormalizePath(DropTrailingSeparator(root));
  return r.empty() ? NormalizePath(kFirebirdDistributionRoot) : r;
}

// Whether a Firebird process belongs to the registered instance: the one
// whose root (FIREBIRD) is the registered root, or, without a registered
// root, the distribution's own (FIREBIRD unset or naming that root). A
// process whose environment cannot be read is nobody's we may touch.
bool SameInstance(const ProcessEntry& p, const FirebirdInstance& instance) {
  if (!ProcessEnvironmentReadable(p.pid)) return false;
  std::string root = ProcessEnvironmentValue(p.pid, "FIREBIRD").value_or("");
  return SameText(NormalRoot(root), NormalRoot(instance.root));
}

// The running processes of `exe` (of the registered instance for Firebird).
std::vector<ProcessEntry> ProcessesOf(int kind, const std::string& exe) {
  std::vector<ProcessEntry> found;
  if (exe.empty()) return found;
  auto processes = EnumerateProcesses();
  if (!processes) throw Exception("I don't no create");
  std::optional<FirebirdInstance> instance;
  for (const auto& p : *processes) {
    if (!SameProcessFile(p.exePath, exe)) continue;
    if (kind == kServerFirebird) {
      if (!instance) instance = ReadFirebirdInstance();
      if (!SameInstance(p, *instance)) continue;
    }
    found.push_back(p);
  }
  return found;
}

// The server processes of a kind's variants considered.
std::vector<ProcessEntry> ServerProcesses(int kind, bool allVariants) {
  std::vector<ProcessEntry> found;
  for (int v = 0; v < (allVariants ? 2 : 1); ++v) {
    auto some = ProcessesOf(kind, RegisteredExe(kind, v));
    found.insert(found.end(), some.begin(), some.end());
  }
  return found;
}

std::function<bool(const ProcessEntry&)> ServerOwner(int kind, bool allVariants) {
  auto processes = ServerProcesses(kind, allVariants);
  return [processes](const ProcessEntry& p) {
    for (const auto& s : processes) {
      if (s.pid == p.pid && s.startTime == p.startTime) return true;
    }
    return false;
  };
}

int CountAlive(const std::vector<ProcessEntry>& processes) {
  int count = 0;
  for (const auto& p : processes) count += ProcessAlive(p.pid, p.startTime) ? 1 : 0;
  return count;
}

std::string ExeDir(const std::string& exePath) {
  auto pos = exePath.find_last_of('/');
  return pos == std::string::npos ? std::string() : exePath.substr(0, pos + 1);
}

bool ServerProcessRuns(int kind, bool allVariants) { return !ServerProcesses(kind, allVariants).empty(); }

[[noreturn]] void RaiseServerProcessNotFound(int kind) {
  throw Exception(Format(
      "Ошибка определения IB-сервера \"%s\": процесс сервера не найден. Возможно, используется не совместимый "
      "IB-сервер",
      ServerKindName(kind)));
}

// Service flags of one kind (with a service manager only).
int CheckServerService(int kind, bool allVariants, const ControlEnv& env) {
  int flags = 0;
  if (!IsNtFamily(env) || !IsKind(kind)) return flags;
  for (const auto& name : ServiceNames(kind, kind == kServerInterBase || allVariants)) {
    if (!IsServiceExist(name, env)) continue;
    std::string exe = ServerExePath(kind, allVariants);
    if (!exe.empty() && FileExists(exe)) flags |= kServerFlagInstalled;
    int state = GetServiceStatus(name, env);
    if (state == kServiceRunning || state == kServicePaused) {
      if (!ServerProcessRuns(kind, allVariants)) RaiseServerProcessNotFound(kind);
      flags |= kServerFlagService;
      break;
    }
  }
  return flags;
}

constexpr int kCloseFirstWaitMs = 200;
constexpr int kCloseWaitMs = 200;
constexpr int kDialogWaitMs = 100;
constexpr int kCloseWaits = 101;
constexpr int kUnloadWaitMs = 1000;
constexpr int kUnloadRoundWaitMs = 7000;
constexpr int kUnloadMaxTries = 20;
constexpr int kDialogOkCommand = 1;

}  // namespace

std::string ServerKindName(int kind) {
  auto info = KindInfo(kind);
  return info ? info->displayName : "";
}

std::string GuardianName(int kind) {
  auto info = KindInfo(kind);
  return info ? info->guardian : "";
}

bool IsGuardianInstalled(int kind, const ControlEnv& env) {
  if (!IsNtFamily(env) || !IsKind(kind)) return false;
  return IsServiceExist(GuardianUnit(kind), env);
}

bool IsGuardianRunning(int kind, const ControlEnv& env) {
  if (!IsNtFamily(env) || !IsKind(kind)) return false;
  std::string name = GuardianUnit(kind);
  if (!IsServiceExist(name, env)) return false;
  int state = GetServiceStatus(name, env);
  return state == kServiceRunning || state == kServicePaused;
}

bool StartGuardian(int kind, const ControlEnv& env) {
  if (IsGuardianInstalled(kind, env) && !IsGuardianRunning(kind, env))
    return ServiceOperation(GuardianUnit(kind), kServiceOpStart, true, env);
  return false;
}

bool StopGuardian(int kind, const ControlEnv& env) {
  if (IsGuardianRunning(kind, env)) return ServiceOperation(GuardianUnit(kind), kServiceOpStop, false, env);
  return false;
}

void IBServiceStop(int kind, const ControlEnv& env) {
  if (!IsNtFamily(env) || !IsKind(kind)) return;
  StopGuardian(kind, env);
  if (!ServiceOperation(ServiceNames(kind, false).front(), kServiceOpStop, true, env))
    throw Exception(std::string("IBServiceStop: Не удается остановить сервисы ") + KindInfo(kind)->services);
}

void IBServiceRun(int kind, const ControlEnv& env) {
  if (!IsKind(kind)) return;
  StartGuardian(kind, env);
  if (!ServiceOperation(ServiceNames(kind, false).front(), kServiceOpStart, true, env))
    throw Exception(std::string("IBServiceRun: не удаётся запустить сервис ") + KindInfo(kind)->services);
}

void FindInstalledServers(int& installed, std::array<std::string, 2>& dirs, std::array<std::string, 2>& exes,
                          bool allVariants) {
  installed = 0;
  for (int kind : {kServerInterBase, kServerFirebird}) {
    const ServerKindInfo* info = KindInfo(kind);
    for (int v = 0; v < VariantCount(kind, allVariants); ++v) {
      const ServerVariant& variant = info->variants[v];
      std::string dir = ReadServerDir(variant.key, variant.value);
      dirs[kind - 1] = dir;
      exes[kind - 1].clear();
      if (dir.empty()) continue;
      std::string exe = VariantExe(kind, variant, dir);
      exes[kind - 1] = exe;
      if (FileExists(exe)) {
        installed |= KindBit(kind);
        break;
      }
    }
  }
  if (installed == 0)
    throw Exception(
        "Ни один из серверов InterBase, FireBird не найден (отсутствует файл, директория или информация в "
        "реестре)");
}

std::string ServerExePath(int kind, bool allVariants) {
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, allVariants);
  return IsKind(kind) ? exes[kind - 1] : std::string();
}

void ServerDir(int& kind, bool allVariants, std::string& dir, const ControlEnv& env) {
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, allVariants);
  kind = SingleServer(installed);
  if (IsKind(kind)) {
    dir = ExeDir(exes[kind - 1]);
    return;
  }
  installed &= RunningServers(allVariants, env);
  kind = SingleServer(installed);
  if (IsKind(kind)) {
    dir = ExeDir(exes[kind - 1]);
  } else {
    kind = kServerUndecided;
    dir.clear();
  }
}

std::string ServerProcessName(int kind, int variant) {
  auto info = KindInfo(kind);
  if (!info || variant < 0 || variant > 1) return {};
  std::string name = ExtractFileName(info->variants[variant].exe);
  auto dot = name.find('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

namespace {
std::vector<ProcessEntry> GuardianProcesses(int kind);
}  // namespace

bool IsServerAppRunning(int kind, bool allVariants, const ControlEnv& env) {
  auto info = KindInfo(kind);
  if (!info) return false;
  // A guardian of the instance without its server (a start that was cut
  // short) counts as the running server: it would start one at any moment.
  if (!env.windows->ProgramsShowDialogs() && !GuardianProcesses(kind).empty()) return true;
  if (!env.windows->FindOwnedTopLevel(info->windowClass, ServerOwner(kind, allVariants))) return false;
  if (ServerProcessRuns(kind, allVariants)) return true;
  RaiseServerProcessNotFound(kind);
}

int ServerFlags(int kind, bool allVariants, const ControlEnv& env) {
  int flags = CheckServerService(kind, allVariants, env);
  if (IsServerAppRunning(kind, allVariants, env)) flags |= kServerFlagProgram;
  return flags;
}

int RunningServers(bool allVariants, const ControlEnv& env) {
  int set = 0;
  for (int kind : {kServerInterBase, kServerFirebird}) {
    if (ServerFlags(kind, allVariants, env) & (kServerFlagService | kServerFlagProgram)) set |= KindBit(kind);
  }
  return set;
}

int CountServers(int set, const ControlEnv& env) {
  if (set < 0) set = RunningServers(false, env);
  int count = 0;
  for (int kind : {kServerInterBase, kServerFirebird}) {
    if (set & KindBit(kind)) ++count;
  }
  return count;
}

int SingleServer(int set) {
  if (set < 0) return kServerUndecided;
  int found = kServerUndecided;
  for (int bit = 0; bit < 32; ++bit) {
    if (set & (1 << bit)) {
      if (found != kServerUndecided) return kServerUndecided;
      found = bit;
    }
  }
  return found;
}

int ChooseServer(int set, const ControlEnv& env) {
  if (set < 0) return kServerUndecided;
  if (CountServers(set, env) == 1) return SingleServer(set);
  for (int kind : {kServerFirebird, kServerInterBase}) {
    if (set & KindBit(kind)) return kind;
  }
  return kServerUndecided;
}

namespace {

// Waits (kCloseWaitMs steps, kCloseWaits at most) until none of `processes`
// runs.
bool WaitUntilEnded(const std::vector<ProcessEntry>& processes, const ControlEnv& env) {
  for (int waits = 0; CountAlive(processes) > 0; ++waits) {
    if (waits == kCloseWaits) return false;
    env.clock->Sleep(kCloseWaitMs);
  }
  return true;
}

// The guardians of the registered server that would start it again: the
// "fbguard" beside its executable, of the same instance.
std::vector<ProcessEntry> GuardianProcesses(int kind) {
  if (kind != kServerFirebird) return {};
  return ProcessesOf(kind, GuardianExecutable(RegisteredExe(kind, 0)));
}

// Ends the guardians of the instance that run without their server, and a
// server one of them may have started meanwhile. Nobody can be attached to
// a server that was not running, so nothing is asked.
void EndLoneGuardians(int kind, const ServerKindInfo& info, const ControlEnv& env) {
  const auto guardians = GuardianProcesses(kind);
  if (guardians.empty()) return;
  const std::string failure = std::string("Не удаётся выгрузить ") + info.displayName;
  for (const auto& g : guardians) SignalProcess(g.pid, g.startTime, SIGTERM);
  if (!WaitUntilEnded(guardians, env)) throw Exception(failure);
  const auto started = ServerProcesses(kind, false);
  for (const auto& p : started) SignalProcess(p.pid, p.startTime, SIGTERM);
  if (!WaitUntilEnded(started, env)) throw Exception(failure);
}

// Ends a server program where the server cannot ask about its users
// itself: the question is asked here from the server's own attachment
// count, then the guardian is stopped (so that it does not start the server
// again), then the server.
void CloseServerProgramAsking(int kind, const ServerKindInfo& info, const ControlEnv& env) {
  const auto servers = ServerProcesses(kind, false);
  if (servers.empty()) {
    EndLoneGuardians(kind, info, env);
    return;
  }
  WindowSystem& windows = *env.windows;
  WindowHandle window = windows.FindOwnedTopLevel(info.windowClass, ServerOwner(kind, false));
  if (!window) return;
  const std::string failure = std::string("Не удаётся выгрузить ") + info.displayName;

  std::string why;
  const int attachments = env.attachments ? env.attachments(kind, why) : -1;
  // A count that cannot be had is asked about rather than cut off silently.
  if (attachments != 0) {
    const bool breakConnections =
        env.confirm && env.confirm("Инсталляция обновления",
                                   std::string(info.displayName) +
                                       " имеет подключенных к базе пользователей. Оборвать соединения?");
    if (!breakConnections) throw Exception(failure);
  }

  const auto guardians = GuardianProcesses(kind);
  for (const auto& g : guardians) SignalProcess(g.pid, g.startTime, SIGTERM);
  if (!WaitUntilEnded(guardians, env)) throw Exception(failure);
  // The guardian usually takes its server with it.
  if (CountAlive(servers) > 0) {
    for (const auto& p : servers) {
      if (ProcessAlive(p.pid, p.startTime)) windows.PostClose(WindowHandle{p.pid, p.startTime});
    }
    env.clock->Sleep(kCloseFirstWaitMs);
    if (!WaitUntilEnded(servers, env)) throw Exception(failure);
  }
}

}  // namespace

void CloseServerApp(int kind, const ControlEnv& env) {
  const ServerKindInfo* info = KindInfo(kind);
  if (!info) return;
  WindowSystem& windows = *env.windows;
  if (!windows.ProgramsShowDialogs()) {
    CloseServerProgramAsking(kind, *info, env);
    return;
  }
  const auto servers = ServerProcesses(kind, false);
  if (servers.empty()) return;
  const int count = CountAlive(servers);
  auto stillCount = [&] { return CountAlive(servers) == count; };
  WindowHandle window = windows.FindOwnedTopLevel(info->windowClass, ServerOwner(kind, false));
  if (!window) return;
  const std::string failure = std::string("Не удаётся выгрузить ") + info->displayName;

  windows.PostClose(window);
  env.clock->Sleep(kCloseFirstWaitMs);
  WindowHandle dialog = windows.FindTopLevel(info->dialogClass, info->dialogTitle);
  // The server either ends or asks about its connected users.
  for (int waits = 0; !dialog && stillCount(); ++waits) {
    if (waits == kCloseWaits) throw Exception(failure);
    env.clock->Sleep(kCloseWaitMs);
    dialog = windows.FindTopLevel(info->dialogClass, info->dialogTitle);
  }

  if (dialog) {
    windows.SetVisible(dialog, false);
    bool breakConnections =
        env.confirm && env.confirm("Инсталляция обновления",
                                   std::string(info->displayName) +
                                       " имеет подключенных к базе пользователей. Оборвать соединения?");
    if (!breakConnections) {
      windows.PostClose(dialog);
    } else {
      windows.SetVisible(dialog, true);
      windows.PostCommand(dialog, kDialogOkCommand);
      for (int waits = 0; dialog || stillCount(); ++waits) {
        if (waits == kCloseWaits) throw Exception(failure);
        env.clock->Sleep(kDialogWaitMs);
        dialog = windows.FindTopLevel(info->dialogClass, info->dialogTitle);
      }
    }
  }
  if (stillCount()) throw Exception(failure);
}

void IBServerStop(int& kind, std::string& exePath, bool& isService, const ControlEnv& env) {
  exePath.clear();
  isService = false;
  int flags[3] = {0, 0, 0};
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, false);
  int stopped = 0;
  for (int k : {kServerInterBase, kServerFirebird}) {
    flags[k] = ServerFlags(k, false, env);
    if (flags[k] & (kServerFlagService | kServerFlagProgram)) {
      if (flags[k] & kServerFlagService) IBServiceStop(k, env);
      stopped |= KindBit(k);
      if (flags[k] & kServerFlagProgram) CloseServerApp(k, env);
    }
  }
  kind = stopped != 0 ? ChooseServer(stopped, env) : ChooseServer(installed, env);
  if (IsKind(kind)) {
    exePath = exes[kind - 1];
    isService = (flags[kind] & kServerFlagInstalled) != 0;
  }
}

void IBServerStop(TServerRecord& record, const ControlEnv& env) {
  IBServerStop(record.FServerKind, record.FServerPath, record.FServerIsService, env);
}

void IBServerStart(int kind, const std::string& exePath, bool asService, const ControlEnv& env) {
  if (!IsKind(kind))
    throw Exception(Format(
        "%s: Передан неопределенный идентификатор IB-сервера. Поддерживаются сервера: Interbase[0,1], "
        "FireBird[2]. Передано: %d",
        "IBServerStart", kind));
  if (!IsNtFamily(env) || !asService) {
    RunServerProgram(kind, exePath, env);
    return;
  }
  try {
    IBServiceRun(kind, env);
  } catch (const Exception&) {
    RunServerProgram(kind, exePath, env);
  }
}

void IBServerStart(const TServerRecord& record, const ControlEnv& env) {
  IBServerStart(record.FServerKind, record.FServerPath, record.FServerIsService, env);
}

namespace {

constexpr int kStartWaitMs = 200;
constexpr int kStartWaits = 100;

// Starts the Firebird server the way the distribution does: its guardian in
// daemon mode, restarting the server should it fail, as the account that
// owns the server's files, with the registered root and lock folder. A
// server of the instance that already runs is left alone, so a second one
// never starts beside it. Returns once the server accepts connections.
void StartFirebirdProgram(const std::string& path, const ControlEnv& env) {
  if (!ProcessesOf(kServerFirebird, path).empty()) return;
  // A guardian of the instance that runs without its server is ended
  // first, so that the instance never gets a second one.
  if (const ServerKindInfo* info = KindInfo(kServerFirebird)) EndLoneGuardians(kServerFirebird, *info, env);
  const FirebirdInstance instance = ReadFirebirdInstance();
  const std::string guardian = GuardianExecutable(path);
  const bool guarded = FileExists(guardian);
  LaunchOptions options;
  options.directory = "/";
  // The server always gets its root spelled out, so that a FIREBIRD of the
  // caller's own never points it elsewhere.
  options.environment.emplace_back("FIREBIRD", instance.root);
  if (!instance.lockDir.empty()) options.environment.emplace_back("FIREBIRD_LOCK", instance.lockDir);
  // Only a privileged caller can change accounts; anyone else runs the
  // server as themselves.
  if (::geteuid() == 0) options.user = instance.user;
  std::vector<std::string> args;
  if (guarded) args = {"-daemon", "-forever"};
  const int result = env.launcher->Start(guarded ? guardian : path, args, options).code;
  if (result <= 32) throw Exception(Format("Не удаётся загрузить \"%s\" : код ошибки %d ", path, result));

  const int port = FirebirdPort(instance.root);
  for (int waits = 1;; ++waits) {
    env.clock->Sleep(kStartWaitMs);
    if (!ProcessesOf(kServerFirebird, path).empty() && LoopbackAccepts(port)) return;
    if (waits == kStartWaits)
      throw Exception(Format("Не удаётся загрузить \"%s\" : сервер не принимает соединений на порту %d", path,
                             port));
  }
}

}  // namespace

void RunServerProgram(int kind, const std::string& exePath, const ControlEnv& env) {
  if (!IsKind(kind)) return;
  std::string path = exePath.empty() ? ServerExePath(kind, false) : exePath;
  if (kind == kServerInterBase) {
    int result = env.launcher->Exec(path, kShowDefault).code;
    if (result < 32) throw Exception(Format("Не удаётся загрузить \"%s\" : код ошибки %d", path, result));
  } else if (!FileExists(path)) {
    throw Exception(Format("Не удаётся загрузить \"%s\" : код ошибки %d ", path, kLaunchFileNotFound));
  } else {
    StartFirebirdProgram(path, env);
  }
}

bool IsWorkplaceRunning(const ControlEnv& env) { return !WorkplaceProcesses(env).empty(); }

std::vector<ProcessEntry> WorkplaceProcesses(const ControlEnv& env) {
  auto processes = EnumerateProcesses();
  if (!processes) throw Exception("I don't no create");
  std::vector<ProcessEntry> found;
  for (const auto& p : *processes) {
    if (!ProcessHasName(p, kWorkplaceProgram)) continue;
    if (!env.installationDir.empty() && !PathIsUnder(p.exePath, env.installationDir)) continue;
    found.push_back(p);
  }
  return found;
}

void UnloadWorkplace(const ControlEnv& env) {
  static const char* kWindowClass = "TfWorkplace";
  WindowSystem& windows = *env.windows;
  int tries = 0;
  for (auto running = WorkplaceProcesses(env); !running.empty(); running = WorkplaceProcesses(env)) {
    auto ours = [&running](const ProcessEntry& p) {
      for (const auto& w : running) {
        if (w.pid == p.pid && w.startTime == p.startTime) return true;
      }
      return false;
    };
    WindowHandle window = windows.FindOwnedTopLevel(kWindowClass, ours);
    while (window && windows.Exists(window)) {
      windows.PostClose(window);
      env.clock->Sleep(kUnloadWaitMs);
      ++tries;
      // A window that went away during the last wait has been closed.
      if (tries > kUnloadMaxTries && windows.Exists(window)) throw Exception("Не удаётся выгрузить ЗТВ");
    }
    if (IsWorkplaceRunning(env)) env.clock->Sleep(kUnloadRoundWaitMs);
  }
}

}  // namespace ztv
