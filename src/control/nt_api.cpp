#include "control/nt_api.h"

#include "core/errors.h"

namespace ztv {
namespace {

constexpr int kPendingWaitMs = 1000;
constexpr int kPendingWaits = 60;

void OpenManagerOrRaise(ServiceManager& services, const char* routine) {
  if (auto error = services.OpenManager())
    throw EWin32(Format("%s: Не удается получить ServiceManager", routine), error.code, error.message);
}

bool Settled(int state) { return state == kServiceStopped || state == kServiceRunning || state == kServicePaused; }

}  // namespace

bool IsNtFamily(const ControlEnv& env) { return env.services->Present(); }

bool IsServiceExist(const std::string& name, const ControlEnv& env) {
  OpenManagerOrRaise(*env.services, "IsServiceExist");
  return !env.services->OpenService(name);
}

int GetServiceStatus(const std::string& name, const ControlEnv& env) {
  static const char* kRoutine = "GetServiceStatus";
  ServiceManager& services = *env.services;
  OpenManagerOrRaise(services, kRoutine);
  if (auto error = services.OpenService(name))
    throw EWin32(Format("%s: Не удается получить сервис \"%s\"", kRoutine, name), error.code, error.message);
  auto query = [&] {
    int state = 0;
    if (auto error = services.QueryState(name, state))
      throw EWin32(Format("%s: Не удается получить состояние сервиса \"%s\"", kRoutine, name), error.code,
                   error.message);
    return state;
  };
  int state = query();
  for (int waits = 0; !Settled(state); ++waits) {
    if (waits == kPendingWaits)
      throw Exception(Format(
          "%s: Сервис \"%s\" находтся в промежуточном состоянии и не ответил на запрос своевременно", kRoutine,
          name));
    env.clock->Sleep(kPendingWaitMs);
    state = query();
  }
  return state;
}

bool ServiceOperation(const std::string& name, int op, bool tolerant, const ControlEnv& env) {
  ServiceManager& services = *env.services;
  OpenManagerOrRaise(services, "ServiceOperation");
  if (op != kServiceOpStart && op != kServiceOpStop) throw Exception("ServiceOperation: Op - Неизвестная операция");
  if (auto error = services.OpenService(name)) {
    if (error.code == kErrorServiceDoesNotExist && tolerant) return false;
    throw EWin32(Format("%s: Не удается получить сервис \"%s\"", "ServiceOperation", name), error.code,
                 error.message);
  }
  if (op == kServiceOpStop) {
    if (GetServiceStatus(name, env) != kServiceStopped) {
      if (services.Control(name, kServiceControlStop))
        throw Exception("ServiceOperation: Не удается остановить сервис " + name);
    }
  } else {
    int state = GetServiceStatus(name, env);
    if (state == kServiceStopped) {
      if (auto error = services.Start(name)) {
        if (tolerant && error.code == kErrorServiceDisabled) return false;
        throw Exception("ServiceOperation: Не удается запустить сервис " + name);
      }
    } else if (state == kServicePaused) {
      if (services.Control(name, kServiceControlContinue))
        throw Exception("ServiceOperation: Не удается запустить сервис " + name);
    }
  }
  int wanted = op == kServiceOpStop ? kServiceStopped : kServiceRunning;
  if (GetServiceStatus(name, env) != wanted)
    throw Exception("ServiceOperation: Не удаётся выполнить операцию загрузки/остановки сервиса " + name);
  return true;
}

}  // namespace ztv
