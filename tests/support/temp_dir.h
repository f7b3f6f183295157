// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "core/errors.h"

namespace ztv::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `bytes` to a file, creating parent directories.
void WriteFile(const std::string& path, const std::string& bytes);
// Reads a whole file; fails the test when it cannot.
std::string ReadFile(const std::string& path);

// A file of /proc (a process's stat, cmdline or environ), or nothing when it
// cannot be read: the process may end between the open and the read, and a
// read of a process that went away fails with ESRCH.
std::optional<std::string> ReadProcFile(const std::string& path);

// A whole tree: relative path -> content, "<dir>" for directories.
std::map<std::string, std::string> Snapshot(const std::string& root);

// A whole tree as a restore must give it back, links never followed:
// relative path -> "d MODE UID:GID" for a directory, "f MODE UID:GID MTIME
// content" for a file, "l UID:GID MTIME -> target" for a symbolic link, "p
// MODE UID:GID" for a pipe (MODE the 12 mode bits in octal, MTIME whole
// seconds).
std::map<std::string, std::string> StatSnapshot(const std::string& root);

// Runs a shell command, returning its exit status (-1 when it did not end
// normally) and its standard output and error together.
int RunShell(const std::string& command, std::string& output);

// What a program run by RunProgram left behind.
struct ProgramResult {
  int code = -1;  // its exit status, -1 when it did not end normally
  std::string out, err;
};
// Runs a shell command line with `input` as its standard input and
// collects its standard output and error apart.
ProgramResult RunProgram(const std::string& commandLine, const std::string& input = "");

// The message of the ztv::Exception that `f` raises, or "<no error>".
template <typename F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace ztv::test
