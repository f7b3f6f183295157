#include "control/run_close_program.h"

#include <memory>

#include "core/errors.h"
#include "core/text.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/registry.h"

namespace ztv {
namespace {

struct ServerVariant {
  const char* key;    // under HKEY_LOCAL_MACHINE
  const char* value;  // holds the installation directory
  const char* exe;    // relative to that directory, native separators
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
    {{"SOFTWARE\\Firebird Project\\Firebird Server\\Instances", "DefaultInstance", "bin/fbserver"},
     {"SOFTWARE\\Firebird Project\\Firebird Server\\Instances", "DefaultInstance", "bin/fb_inet_server"}},
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

// The first server service name, or all of them.
std::vector<std::string> ServiceNames(int kind, bool all) {
  auto names = SplitList(KindInfo(kind)->services);
  if (!all && names.size() > 1) names.resize(1);
  return names;
}

// The directory a registry value names, with one trailing separator removed;
// "" when the key or the value is missing.
std::string ReadServerDir(const std::string& key, const std::string& value) {
  auto registry = CreateRegistry(RegRoot::LocalMachine);
  if (!registry->OpenKeyReadOnly(key)) return {};
  std::string dir = registry->ReadString(value);
  registry->CloseKey();
  return DropTrailingSeparator(dir);
}

std::string ExeDir(const std::string& exePath) {
  auto pos = exePath.find_last_of('/');
  return pos == std::string::npos ? std::string() : exePath.substr(0, pos + 1);
}

bool ServerProcessRuns(int kind, bool allVariants) {
  return IsProcessRunning(ServerProcessName(kind, 0)) ||
         (allVariants && IsProcessRunning(ServerProcessName(kind, 1)));
}

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
  if (!IsNtFamily(env)) return false;
  return IsServiceExist(GuardianName(kind), env);
}

bool IsGuardianRunning(int kind, const ControlEnv& env) {
  if (!IsNtFamily(env)) return false;
  std::string name = GuardianName(kind);
  if (!IsServiceExist(name, env)) return false;
  int state = GetServiceStatus(name, env);
  return state == kServiceRunning || state == kServicePaused;
}

bool StartGuardian(int kind, const ControlEnv& env) {
  if (IsGuardianInstalled(kind, env) && !IsGuardianRunning(kind, env))
    return ServiceOperation(GuardianName(kind), kServiceOpStart, true, env);
  return false;
}

bool StopGuardian(int kind, const ControlEnv& env) {
  if (IsGuardianRunning(kind, env)) return ServiceOperation(GuardianName(kind), kServiceOpStop, false, env);
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
      std::string exe = ResolvePathCase(JoinPath(dir, variant.exe));
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

bool IsServerAppRunning(int kind, bool allVariants, const ControlEnv& env) {
  auto info = KindInfo(kind);
  if (!info) return false;
  if (!env.windows->FindTopLevel(info->windowClass, "")) return false;
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

void CloseServerApp(int kind, const ControlEnv& env) {
  const ServerKindInfo* info = KindInfo(kind);
  if (!info) return;
  std::string proc = ServerProcessName(kind, 0);
  if (proc.empty() || !IsProcessRunning(proc)) return;
  const int count = ProcessCount(proc);
  WindowSystem& windows = *env.windows;
  WindowHandle window = windows.FindTopLevel(info->windowClass, "");
  if (!window) return;
  const std::string failure = std::string("Не удаётся выгрузить ") + info->displayName;

  windows.PostClose(window);
  env.clock->Sleep(kCloseFirstWaitMs);
  WindowHandle dialog = windows.FindTopLevel(info->dialogClass, info->dialogTitle);
  // The server either ends or asks about its connected users.
  for (int waits = 0; !dialog && ProcessCount(proc) == count; ++waits) {
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
      for (int waits = 0; dialog || ProcessCount(proc) == count; ++waits) {
        if (waits == kCloseWaits) throw Exception(failure);
        env.clock->Sleep(kDialogWaitMs);
        dialog = windows.FindTopLevel(info->dialogClass, info->dialogTitle);
      }
    }
  }
  if (ProcessCount(proc) == count) throw Exception(failure);
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

void RunServerProgram(int kind, const std::string& exePath, const ControlEnv& env) {
  if (!IsKind(kind)) return;
  std::string path = exePath.empty() ? ServerExePath(kind, false) : exePath;
  if (kind == kServerInterBase) {
    int result = env.launcher->Exec(path, kShowDefault).code;
    if (result < 32) throw Exception(Format("Не удаётся загрузить \"%s\" : код ошибки %d", path, result));
  } else {
    int result = env.launcher->ShellOpen("OPEN", path, "-a", "", kShow).code;
    if (result <= 32) throw Exception(Format("Не удаётся загрузить \"%s\" : код ошибки %d ", path, result));
  }
}

void UnloadWorkplace(const ControlEnv& env) {
  static const char* kProcess = "Bureo";
  static const char* kWindowClass = "TfWorkplace";
  WindowSystem& windows = *env.windows;
  int tries = 0;
  while (IsProcessRunning(kProcess)) {
    WindowHandle window = windows.FindTopLevel(kWindowClass, "");
    while (window && windows.Exists(window)) {
      windows.PostClose(window);
      env.clock->Sleep(kUnloadWaitMs);
      ++tries;
      // A window that went away during the last wait has been closed.
      if (tries > kUnloadMaxTries && windows.Exists(window)) throw Exception("Не удаётся выгрузить ЗТВ");
    }
    if (IsProcessRunning(kProcess)) env.clock->Sleep(kUnloadRoundWaitMs);
  }
}

}  // namespace ztv
