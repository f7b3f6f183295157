// Helpers for the control tests: real stand-in processes that are always
// ended by their pid, a clock that records waits and passes a fraction of
// them for real, a fake systemctl on PATH, a registry file of its own.
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
ProcessEntry StartStandin(const std::string& path, const std::string& mode);

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

// Registry text for the servers' installation keys.
std::string FirebirdKey(const std::string& dir);
std::string InterBaseRootKey(const std::string& dir);
std::string InterBaseServerDirKey(const std::string& dir);

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    if (pred()) return true;
    if (waited >= timeoutMs) return false;
    SystemClock().Sleep(10);
  }
}

}  // namespace ztv::test
