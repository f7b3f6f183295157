// Helpers for the control tests: real stand-in processes that are always
// ended by their pid, clocks that record waits and pass part of them for
// real, a fake systemctl on PATH, a registry file of its own, a real
// Firebird server installation of the test's own, and a process space of the
// test's own.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/processes.h"
#include "support/temp_dir.h"

namespace ztv::test {

// Records every wait like FakeClock and sleeps 1/scale of it for real, so
// that processes get the time to react to what was posted to them.
class ScaledClock : public FakeClock {
 public:
  explicit ScaledClock(int scale) : scale_(scale) {}
  void Sleep(int64_t milliseconds) override;

 private:
  int scale_;
};

// Records every wait like FakeClock and sleeps at most `cap` milliseconds of
// each for real: short polling steps pass in full, so that a real process
// has the time it needs to react, while the long fixed waits are cut short.
class CappedClock : public FakeClock {
 public:
  explicit CappedClock(int64_t cap) : cap_(cap) {}
  void Sleep(int64_t milliseconds) override;

 private:
  int64_t cap_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Holds a lock shared by every test that starts processes named like the
// system's programs, so that tests running in parallel do not see each
// other's "Bureo" or "fbserver".
class ProcessTestLock {
 public:
  ProcessTestLock();
  ~ProcessTestLock();
  ProcessTestLock(const ProcessTestLock&) = delete;
  ProcessTestLock& operator=(const ProcessTestLock&) = delete;

 private:
  int fd_ = -1;
};

// Ends (SIGKILL, by pid) every process whose first argument lies below
// `dir`, and waits until they are gone.
void KillProcessesUnder(const std::string& dir);

// Kills what runs from `dir` when it goes out of scope. Declare it after the
// TempDir it watches, so it runs first.
class ProcessReaper {
 public:
  explicit ProcessReaper(std::string dir) : dir_(std::move(dir)) {}
  ~ProcessReaper() { KillProcessesUnder(dir_); }

 private:
  std::string dir_;
};

// The stand-in program's path (built with the tests).
std::string StandinProgram();

// Copies the stand-in to `path` (creating directories), executable.
void InstallStandin(const std::string& path);

// Starts the stand-in at `path` (installed first when absent) in `mode`
// ("exit", "ignore", "twice") and waits until it handles signals. Returns
// its process; fails the test when it does not come up.
ProcessEntry StartStandin(const std::string& path, const std::string& mode,
                          const std::vector<std::pair<std::string, std::string>>& environment = {});

// Waits (for real, at most `timeoutMs`) until `pred` holds.
template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs);
bool WaitUntilGone(int pid, uint64_t startTime, int timeoutMs);

// Number of running processes with the bare name (case-insensitive),
// counted independently of the code under test.
int CountNamed(const std::string& name);

// A fake systemctl in a bin directory put first on PATH; units live as files
// in a state directory (see the script's header).
class FakeSystemctl {
 public:
  explicit FakeSystemctl(const TempDir& dir);
  // Creates a unit in `state` (inactive, active, activating, ...).
  void AddUnit(const std::string& name, const std::string& state);
  void SetLoadState(const std::string& name, const std::string& load);
  // Start and stop leave the unit pending; with `settleAfter` >= 0 it
  // settles after that many further queries.
  void SetPending(const std::string& name, int settleAfter = -1);
  void SetFailsOnStart(const std::string& name);
  // The command line that start runs in the background and stop ends.
  void SetExec(const std::string& name, const std::string& command);
  std::string State(const std::string& name) const;
  // Every call as "verb unit" lines.
  std::vector<std::string> Calls() const;
  // The directory standing for /run/systemd/system.
  std::string RuntimeDir() const { return runtimeDir_; }

 private:
  std::string UnitFile(const std::string& name, const std::string& ext) const;
  std::string stateDir_;
  std::string runtimeDir_;
  ScopedEnv path_;
  ScopedEnv stateEnv_;
};

// A registry file of the test's own (ZTV_REGISTRY) with the given text after
// the REGEDIT4 header.
class TestRegistry {
 public:
  TestRegistry(const TempDir& dir, const std::string& body);
  void Write(const std::string& body);

 private:
  std::string file_;
  ScopedEnv env_;
};

// Moves the rest of the test program into a process space of its own (new
// PID and mount namespaces with their own /proc) when the system allows it
// (as root). The code under test finds and ends programs by their names
// ("Bureo", "fbserver"); isolated, it sees only the processes this test
// started and can never end a program that runs outside, such as a demo's
// server. Every process left in the space is killed when the test program
// ends. Call it first thing in main(); the processes it leaves behind wait
// for the test program and end with its exit status. Returns whether the
// program now runs isolated (ZTV_TEST_NO_ISOLATION=1 turns it off).
bool IsolateProcesses();

// True when no process with the bare name runs that this test did not start
// (which the code under test would take for its own); fails the test
// otherwise.
bool NoForeignProcess(const std::string& name);

// The uid of an account (-1 as unsigned when it is missing).
unsigned UidOf(const std::string& user);
// A key's text (as RegistryKey() gives it) with more value lines.
std::string FirebirdKeyValues(const std::string& key, const std::string& values);

// Registry text for the servers' installation keys.
std::string FirebirdKey(const std::string& dir);
std::string InterBaseRootKey(const std::string& dir);
std::string InterBaseServerDirKey(const std::string& dir);

// Whether something accepts TCP connections on the loopback port.
bool LoopbackAccepts(int port);
// A loopback port nobody listens on now (0 when none could be found).
int FreeLoopbackPort();

// A private instance of the distribution's own Firebird 3 server: the
// binaries of the firebird3.0-server package (/usr/sbin/fbguard,
// /usr/sbin/firebird) with a root of the test's own (configuration: loopback
// only, a free port; a copy of the security database with the SYSDBA
// password of the tests), its own lock folder and a folder for databases,
// all owned by user firebird. Registered with RegistryKey() as an
// administrator registers the distribution's server plus the instance's
// root. Its processes are found by their root and ended by pid when the
// object goes.
class FirebirdSandbox {
 public:
  // "" when the distribution's server and tools are installed, otherwise
  // what is missing (the test should then be skipped).
  static std::string Unavailable();

  explicit FirebirdSandbox(const TempDir& dir, const std::string& name = "Firebird_3_0");
  ~FirebirdSandbox();
  FirebirdSandbox(const FirebirdSandbox&) = delete;
  FirebirdSandbox& operator=(const FirebirdSandbox&) = delete;

  // The registered installation prefix and the server in it.
  std::string Dir() const { return "/usr"; }
  std::string ServerExe() const { return "/usr/sbin/firebird"; }
  std::string GuardianExe() const { return "/usr/sbin/fbguard"; }
  const std::string& Root() const { return root_; }
  const std::string& LockDir() const { return lock_; }
  // A folder the server may create databases in.
  const std::string& DataDir() const { return data_; }
  std::string RegistryKey() const;
  int Port() const { return port_; }
  // Starts the guardian and its server as the distribution's unit does
  // (user firebird, fbguard -daemon -forever) and waits until it accepts.
  bool StartLikeTheDistribution() const;
  // The running processes of this instance with that executable.
  std::vector<ProcessEntry> Processes(const std::string& exe) const;
  int ServerCount() const { return static_cast<int>(Processes(ServerExe()).size()); }
  int GuardianCount() const { return static_cast<int>(Processes(GuardianExe()).size()); }
  // Something listens on the server's port.
  bool Accepts() const { return LoopbackAccepts(port_); }
  bool WaitUntilAccepting(int timeoutMs) const;
  // A client logs in as SYSDBA through the service manager and gets the
  // server's version.
  bool ClientConnects() const;
  // The instance's name for a database file: through the server on its port.
  std::string DatabaseName(const std::string& path) const;

 private:
  std::string root_;
  std::string lock_;
  std::string data_;
  int port_ = 0;
};

// A Firebird installation whose server is the stand-in: Dir()/sbin/firebird
// with a root of its own whose firebird.conf names a free loopback port (the
// stand-in listens there once started with that root, as the server does).
// Registered to run as the caller's own account.
class StandinFirebird {
 public:
  explicit StandinFirebird(const TempDir& dir, const std::string& name = "Firebird");
  const std::string& Dir() const { return dir_; }
  std::string ServerExe() const { return dir_ + "/sbin/firebird"; }
  const std::string& Root() const { return root_; }
  // The installation's key; `extraValues` are more value lines of it.
  std::string RegistryKey(const std::string& extraValues = "") const;
  // Starts the stand-in server (in `mode`) as the program starts it.
  ProcessEntry Start(const std::string& mode = "exit") const;
  int Port() const { return port_; }

 private:
  std::string dir_;
  std::string root_;
  int port_ = 0;
};

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    if (pred()) return true;
    if (waited >= timeoutMs) return false;
    SystemClock().Sleep(10);
  }
}

}  // namespace ztv::test
