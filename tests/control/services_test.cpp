// The service routines over systemd, against a fake systemctl on PATH (this
// machine runs no systemd) that keeps unit states in files and can be made
// to stay pending, to be missing or to refuse starting.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "control/run_close_program.h"
#include "control_support.h"
#include "core/errors.h"

namespace ztv {
namespace {

using test::MessageOf;
using test::TempDir;

const char* kGuardian = "FirebirdGuardianDefaultInstance";
const char* kServer = "FirebirdServerDefaultInstance";

template <typename F>
int Win32CodeOf(F f) {
  try {
    f();
  } catch (const EWin32& e) {
    return e.Code();
  } catch (const Exception& e) {
    ADD_FAILURE() << "not an EWin32: " << e.Message();
    return -1;
  }
  ADD_FAILURE() << "no error raised";
  return -1;
}

// Position of the first `call` at or after `from`; calls.size() when absent.
size_t IndexOf(const std::vector<std::string>& calls, const std::string& call, size_t from = 0) {
  from = std::min(from, calls.size());
  return static_cast<size_t>(std::find(calls.begin() + static_cast<std::ptrdiff_t>(from), calls.end(), call) -
                             calls.begin());
}

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() {
    env_.clock = &clock_;
    env_.services = services_.get();
  }

  test::ProcessTestLock lock_;
  TempDir dir_;
  test::ProcessReaper reaper_{dir_.Path()};
  test::FakeSystemctl systemctl_{dir_};
  FakeClock clock_;
  std::unique_ptr<ServiceManager> services_ = CreateSystemdServices(systemctl_.RuntimeDir());
  ControlEnv env_;
};

TEST_F(ServiceTest, StatesOfExistingAndMissingUnits) {
  systemctl_.AddUnit("A", "active");
  systemctl_.AddUnit("B", "inactive");
  systemctl_.AddUnit("C", "failed");
  EXPECT_TRUE(IsNtFamily(env_));
  EXPECT_TRUE(IsServiceExist("A", env_));
  EXPECT_FALSE(IsServiceExist("D", env_));
  EXPECT_FALSE(IsServiceExist("bad name;rm", env_));
  EXPECT_EQ(GetServiceStatus("A", env_), kServiceRunning);
  EXPECT_EQ(GetServiceStatus("B", env_), kServiceStopped);
  EXPECT_EQ(GetServiceStatus("C", env_), kServiceStopped);
  EXPECT_TRUE(clock_.Sleeps().empty());

  EXPECT_EQ(MessageOf([&] { GetServiceStatus("D", env_); }),
            "GetServiceStatus: Не удается получить сервис \"D\"\r\nWin32 error. Code: 1060. Message: Unit "
            "D.service not found.");
  EXPECT_EQ(Win32CodeOf([&] { GetServiceStatus("D", env_); }), 1060);

  systemctl_.AddUnit("E", "exploded");
  EXPECT_EQ(Win32CodeOf([&] { GetServiceStatus("E", env_); }), kErrorInvalidData);
  EXPECT_EQ(MessageOf([&] { GetServiceStatus("E", env_); }).rfind("GetServiceStatus: Не удается получить состояние сервиса \"E\"\r\n", 0), 0u);
}

TEST_F(ServiceTest, PendingStatesAreWaitedOut) {
  systemctl_.AddUnit("A", "activating");
  systemctl_.SetPending("A", 3);
  EXPECT_EQ(GetServiceStatus("A", env_), kServiceRunning);
  auto sleeps = clock_.Sleeps();
  EXPECT_FALSE(sleeps.empty());
  EXPECT_LT(sleeps.size(), 60u);
  EXPECT_EQ(sleeps, std::vector<int64_t>(sleeps.size(), 1000));
}

TEST_F(ServiceTest, AServiceStuckPendingFailsAfterSixtySeconds) {
  systemctl_.AddUnit(kServer, "deactivating");
  EXPECT_EQ(MessageOf([&] { GetServiceStatus(kServer, env_); }),
            "GetServiceStatus: Сервис \"FirebirdServerDefaultInstance\" находтся в промежуточном состоянии и не "
            "ответил на запрос своевременно");
  EXPECT_EQ(clock_.Sleeps(), std::vector<int64_t>(60, 1000));
}

TEST_F(ServiceTest, StartingAndStopping) {
  systemctl_.AddUnit("A", "inactive");
  EXPECT_TRUE(ServiceOperation("A", kServiceOpStart, false, env_));
  EXPECT_EQ(systemctl_.State("A"), "active");
  EXPECT_TRUE(ServiceOperation("A", kServiceOpStart, false, env_));  // already running
  EXPECT_TRUE(ServiceOperation("A", kServiceOpStop, false, env_));
  EXPECT_EQ(systemctl_.State("A"), "inactive");
  EXPECT_TRUE(ServiceOperation("A", kServiceOpStop, false, env_));  // already stopped
  auto calls = systemctl_.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "start A.service"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "stop A.service"), 1);
  EXPECT_EQ(MessageOf([&] { ServiceOperation("A", 2, false, env_); }), "ServiceOperation: Op - Неизвестная операция");
}

TEST_F(ServiceTest, MissingAndRefusingUnitsAreToleratedWhenAsked) {
  EXPECT_FALSE(ServiceOperation("Missing", kServiceOpStart, true, env_));
  EXPECT_FALSE(ServiceOperation("Missing", kServiceOpStop, true, env_));
  EXPECT_EQ(MessageOf([&] { ServiceOperation("Missing", kServiceOpStop, false, env_); }),
            "ServiceOperation: Не удается получить сервис \"Missing\"\r\nWin32 error. Code: 1060. Message: Unit "
            "Missing.service not found.");

  systemctl_.AddUnit("Masked", "inactive");
  systemctl_.SetLoadState("Masked", "masked");
  EXPECT_FALSE(ServiceOperation("Masked", kServiceOpStart, true, env_));
  EXPECT_EQ(MessageOf([&] { ServiceOperation("Masked", kServiceOpStart, false, env_); }),
            "ServiceOperation: Не удается запустить сервис Masked");
  EXPECT_EQ(systemctl_.State("Masked"), "inactive");
}

TEST_F(ServiceTest, AServiceThatDoesNotReachTheStateFails) {
  systemctl_.AddUnit("Broken", "inactive");
  systemctl_.SetFailsOnStart("Broken");
  EXPECT_EQ(MessageOf([&] { ServiceOperation("Broken", kServiceOpStart, true, env_); }),
            "ServiceOperation: Не удаётся выполнить операцию загрузки/остановки сервиса Broken");

  systemctl_.AddUnit("Slow", "active");
  systemctl_.SetPending("Slow");
  EXPECT_NE(MessageOf([&] { ServiceOperation("Slow", kServiceOpStop, false, env_); }).find("находтся в промежуточном"),
            std::string::npos);
  EXPECT_EQ(clock_.Sleeps(), std::vector<int64_t>(60, 1000));
}

TEST_F(ServiceTest, NoSystemctlMeansNoServiceManager) {
  test::ScopedEnv path("PATH", dir_ / "empty");
  EXPECT_EQ(MessageOf([&] { IsServiceExist("A", env_); }),
            "IsServiceExist: Не удается получить ServiceManager\r\nWin32 error. Code: 2. Message: systemctl: No "
            "such file or directory");
  EXPECT_EQ(Win32CodeOf([&] { ServiceOperation("A", kServiceOpStart, true, env_); }), 2);
}

TEST_F(ServiceTest, WithoutSystemdThereAreNoServices) {
  auto none = CreateSystemdServices(dir_ / "absent");
  env_.services = none.get();
  systemctl_.AddUnit(kGuardian, "active");
  EXPECT_FALSE(IsNtFamily(env_));
  EXPECT_FALSE(IsGuardianInstalled(2, env_));
  EXPECT_FALSE(IsGuardianRunning(2, env_));
  EXPECT_FALSE(StartGuardian(2, env_));
  IBServiceStop(2, env_);
  EXPECT_TRUE(systemctl_.Calls().empty());
}

TEST_F(ServiceTest, GuardianRoutinesUseTheDistributionsUnitByDefault) {
  test::TestRegistry registry(dir_, "");
  const char* unit = "firebird3.0";
  EXPECT_FALSE(IsGuardianInstalled(2, env_));
  EXPECT_FALSE(StartGuardian(2, env_));
  systemctl_.AddUnit(unit, "inactive");
  EXPECT_TRUE(IsGuardianInstalled(2, env_));
  EXPECT_FALSE(IsGuardianRunning(2, env_));
  EXPECT_FALSE(StopGuardian(2, env_));
  EXPECT_TRUE(StartGuardian(2, env_));
  EXPECT_TRUE(IsGuardianRunning(2, env_));
  EXPECT_FALSE(StartGuardian(2, env_));  // already running
  EXPECT_TRUE(StopGuardian(2, env_));
  EXPECT_EQ(systemctl_.State(unit), "inactive");
  EXPECT_FALSE(IsGuardianInstalled(1, env_));
}

// Firebird's server and guardian services are the one unit the registry
// names (the distribution's "firebird3.0" unless told otherwise).
const char* kFirebirdUnit = "ztv-firebird";

class FirebirdServiceTest : public ServiceTest {
 protected:
  FirebirdServiceTest() {
    systemctl_.AddUnit(kFirebirdUnit, "inactive");
    systemctl_.SetExec(kFirebirdUnit, "env FIREBIRD=" + fb_.Root() + " " + fb_.ServerExe() + " exit");
    env_.attachments = [](int, std::string&) { return 0; };
  }

  void StartServerUnit() {
    ASSERT_TRUE(ServiceOperation(kFirebirdUnit, kServiceOpStart, false, env_));
    ASSERT_TRUE(test::WaitFor([] { return test::CountNamed("firebird") == 1; }, 5000));
  }

  test::StandinFirebird fb_{dir_};
  test::TestRegistry registry_{dir_, fb_.RegistryKey(std::string("\"ServiceUnit\"=\"") + kFirebirdUnit + "\"\n")};
};

TEST_F(FirebirdServiceTest, AServiceIsStoppedAndStartedAgainThroughItsUnit) {
  StartServerUnit();
  // Its process also stands for the server's window: stopping the service
  // ends it before the program would be closed.
  EXPECT_EQ(ServerFlags(2, false, env_), kServerFlagService | kServerFlagInstalled | kServerFlagProgram);
  EXPECT_EQ(RunningServers(false, env_), 4);
  EXPECT_TRUE(IsGuardianRunning(2, env_));

  TServerRecord record;
  IBServerStop(record, env_);
  EXPECT_EQ(record.FServerKind, 2);
  EXPECT_EQ(record.FServerPath, fb_.ServerExe());
  EXPECT_TRUE(record.FServerIsService);
  auto calls = systemctl_.Calls();
  size_t stop = IndexOf(calls, std::string("stop ") + kFirebirdUnit + ".service");
  ASSERT_LT(stop, calls.size());
  EXPECT_EQ(systemctl_.State(kFirebirdUnit), "inactive");
  EXPECT_EQ(test::CountNamed("firebird"), 0);
  EXPECT_EQ(RunningServers(false, env_), 0);

  IBServerStart(record, env_);
  calls = systemctl_.Calls();
  EXPECT_LT(IndexOf(calls, std::string("start ") + kFirebirdUnit + ".service", stop), calls.size());
  EXPECT_EQ(systemctl_.State(kFirebirdUnit), "active");
  EXPECT_TRUE(test::WaitFor([] { return test::CountNamed("firebird") == 1; }, 5000));
}

TEST_F(FirebirdServiceTest, ARunningServiceWithoutItsProcessIsAnError) {
  systemctl_.AddUnit(kFirebirdUnit, "active");  // no process behind it
  EXPECT_EQ(MessageOf([&] { RunningServers(false, env_); }),
            "Ошибка определения IB-сервера \"FireBird\": процесс сервера не найден. Возможно, используется не "
            "совместимый IB-сервер");
}

TEST_F(FirebirdServiceTest, AServiceThatWillNotStartFallsBackToTheProgram) {
  systemctl_.SetLoadState(kFirebirdUnit, "masked");
  EXPECT_EQ(MessageOf([&] { IBServiceRun(2, env_); }),
            "IBServiceRun: не удаётся запустить сервис FirebirdServerDefaultInstance");
  IBServerStart(2, fb_.ServerExe(), true, env_);
  EXPECT_TRUE(test::WaitFor([] { return test::CountNamed("firebird") == 1; }, 5000));
  EXPECT_EQ(systemctl_.State(kFirebirdUnit), "inactive");
  // It now runs as a program: found, but not as the service.
  EXPECT_EQ(ServerFlags(2, false, env_), kServerFlagInstalled | kServerFlagProgram);
}

TEST_F(FirebirdServiceTest, StoppingAMissingUnitFails) {
  std::filesystem::remove(dir_ / (std::string("units/") + kFirebirdUnit + ".service.state"));
  EXPECT_EQ(MessageOf([&] { IBServiceStop(2, env_); }),
            "IBServiceStop: Не удается остановить сервисы FirebirdServerDefaultInstance");
}

}  // namespace
}  // namespace ztv
