// Low-level process starting for the Linux platform layer.
#pragma once

#include <string>
#include <vector>

namespace ztv {

// Starts `program` (a path) with `argv` detached from the caller: leader of
// a new session, standard streams on /dev/null, no inherited descriptors, default
// signal handling, reparented to init. Returns 0 and the pid, or the errno
// of the failed step (fork, chdir or execve).
int SpawnDetached(const std::string& program, const std::vector<std::string>& argv,
                  const std::string& directory, int& pid);

// The same with the environment given whole ("NAME=value" entries) and,
// when `credentials` is set, run as that account (its uid, gid and
// supplementary groups).
struct SpawnCredentials {
  unsigned uid = 0;
  unsigned gid = 0;
  std::vector<unsigned> groups;
};
int SpawnDetached(const std::string& program, const std::vector<std::string>& argv, const std::string& directory,
                  const std::vector<std::string>& environment, const SpawnCredentials* credentials, int& pid);

// Runs a program found on PATH, waits for it at most `timeoutMs` and
// collects what it writes (each stream up to `outputLimit` bytes; the rest is
// read and dropped).
struct CapturedRun {
  int spawnError = 0;  // errno when the program could not be started
  bool timedOut = false;  // killed after the time-out
  int exitCode = -1;   // exit status; -1 when killed by a signal
  std::string out;
  std::string err;
};
CapturedRun RunCaptured(const std::vector<std::string>& argv, int timeoutMs,
                        size_t outputLimit = 65536);

// The first executable regular file called `name` in the directories of
// PATH; "" when there is none.
std::string FindOnPath(const std::string& name);

}  // namespace ztv
