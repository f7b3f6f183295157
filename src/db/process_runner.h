// Running a console program (the server's gbak) with its standard output and
// error output captured line by line under a time-out.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace ztv {

// Formats "%s Ошибка: %s" with Msg and the platform's text for the calling
// thread's last error (errno). Raises it as ztv::Exception when RaiseIt,
// otherwise returns it in Text.
void Win32ErrorText(const std::string& Msg, bool RaiseIt, std::string& Text);
// The same for a given error code.
void Win32ErrorText(const std::string& Msg, int errorCode, bool RaiseIt, std::string& Text);

// Splits a command line into arguments the way the older platform's C
// run-time does: blanks separate arguments, double quotes group, 2n
// backslashes before a quote give n backslashes and a grouping quote, 2n+1
// give n backslashes and a literal quote, and other backslashes are plain
// characters (so "C:\dir\gbak" keeps its separators).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

class TProcessRunner {
 public:
  using TLineEvent = std::function<void(const std::string&)>;

  // Waits and the time-out go through `clock`.
  explicit TProcessRunner(Clock& clock = SystemClock()) : clock_(&clock) {}

  // A line of the child's standard output / error output, without its line
  // end. A stream whose event is not assigned is not captured (it goes to
  // /dev/null).
  TLineEvent OnStdOutput;
  TLineEvent OnStdError;
  // Called once per polling pass (every kPollMs) with the milliseconds since
  // the child started, so that a caller can show that a long run is alive.
  std::function<void(int64_t elapsedMs)> OnPoll;

  // Variables given to the child on top of the caller's environment
  // ("NAME" -> value; a name the caller has too is replaced). This is how a
  // password reaches a tool without appearing on its command line.
  std::map<std::string, std::string> Environment;

  // Runs CommandLine (split by SplitCommandLine; a program name without a
  // slash is looked up in PATH) and returns when the child has ended and all
  // its output has been passed on, or when more than TimeoutSec whole
  // seconds have passed; a child still running then is killed. ShowWindow 0
  // (hidden) runs the child in a session of its own, without a terminal;
  // other values keep the caller's session. The child's standard input is
  // /dev/null. Output is read in pieces of at most 21 bytes; a line ends at
  // LF (a CR before it is dropped) and the output's last line needs no line
  // end. Text that is not UTF-8 is read as code page 1251. The child gets
  // only its three standard streams: no other descriptor of the caller
  // (such as the database client's sockets) reaches it.
  //
  // Raises "Не удается создать pipe для StdOutput. Ошибка: ..." (or
  // StdError) and "Не удается создать требуемый процесс. Ошибка: ..." with
  // the system's text; nothing is left running or open then. Errors raised
  // by the events pass on after the child has been ended.
  void Execute(uint16_t ShowWindow, const std::string& CommandLine, uint32_t TimeoutSec);

  // The child's exit code of the last Execute; 259 when it was still
  // running at the end (and was killed), 128 + the signal when a signal
  // ended it.
  int ExitCode() const { return exitCode_; }

  static constexpr int kStillActive = 259;
  static constexpr size_t kReadSize = 21;
  static constexpr int64_t kPollMs = 200;

 private:
  Clock* clock_;
  int exitCode_ = kStillActive;
};

}  // namespace ztv
