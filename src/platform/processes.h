// The list of running processes and signals to them.
//
// On Linux the list comes from /proc. A process is named in two ways: by the
// file name it was started under (a link "bin/fbserver" to a server binary
// runs as "fbserver", a "#!" script runs under the script's name) and by the
// full path of its executable image. Zombies and kernel threads are not
// listed: they run nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ztv {

struct ProcessEntry {
  int pid = 0;
  // With the pid this identifies the process, since pids are reused.
  uint64_t startTime = 0;
  // The file name the process was started under, without directory.
  std::string exeFile;
  // Full path of the executable image; "" when it cannot be read (a process
  // of another user when we are not privileged).
  std::string exePath;
};

// All running processes in pid order; nothing when the list cannot be read
// at all.
std::optional<std::vector<ProcessEntry>> EnumerateProcesses();

// The process with this pid, when it runs.
std::optional<ProcessEntry> ReadProcess(int pid);

// True while the process runs and is still the one that started at
// `startTime`.
bool ProcessAlive(int pid, uint64_t startTime);

// Sends `signal` to the process when it is still the same one. False when it
// has gone or the signal could not be sent.
bool SignalProcess(int pid, uint64_t startTime, int signal);

// The value of the process's environment variable `name` as it was when the
// process started; nothing when it is not set or the environment cannot be
// read (another user's process when we are not privileged).
std::optional<std::string> ProcessEnvironmentValue(int pid, const std::string& name);
// Whether the process's environment can be read at all.
bool ProcessEnvironmentReadable(int pid);

// Whether `path` lies in `dir` or below it (both absolute, compared after
// "." and ".." are resolved, ignoring letter case as the system's paths do).
bool PathIsUnder(const std::string& path, const std::string& dir);

// Compares a file name without its extension ("Bureo.exe" -> "Bureo") with a
// bare program name, ignoring letter case.
bool SameProgramName(const std::string& fileName, const std::string& name);

// True when the process runs under the bare program `name`: the name it was
// started under or its image's file name, each without extension and ignoring
// letter case.
bool ProcessHasName(const ProcessEntry& process, const std::string& name);

}  // namespace ztv
