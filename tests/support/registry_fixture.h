// Points the registry at a fresh REGEDIT4 file for one test.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/command_line.h"
#include "support/temp_dir.h"

namespace ztv::test {

class ScopedRegistry {
 public:
  // `body` is the text after the header, e.g. a key and its values.
  explicit ScopedRegistry(const std::string& body = "") {
    const char* old = std::getenv("ZTV_REGISTRY");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    file_ = dir_ / "registry.reg";
    Write(body);
    ::setenv("ZTV_REGISTRY", file_.c_str(), 1);
  }
  ~ScopedRegistry() {
    if (hadOld_)
      ::setenv("ZTV_REGISTRY", old_.c_str(), 1);
    else
      ::unsetenv("ZTV_REGISTRY");
  }
  void Write(const std::string& body) { WriteFile(file_, "REGEDIT4\n\n" + body); }
  void WriteRaw(const std::string& bytes) { WriteFile(file_, bytes); }
  std::string Text() const { return ReadFile(file_); }
  const std::string& File() const { return file_; }
  const TempDir& Dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string file_;
  std::string old_;
  bool hadOld_ = false;
};

// Sets the command line for one test and restores an empty one afterwards.
class ScopedCommandLine {
 public:
  explicit ScopedCommandLine(std::vector<std::string> args, const std::string& program = "/opt/ztv/bin/ztv-updater") {
    args.insert(args.begin(), program);
    SetCommandLine(args);
    SetProgramFileNameForTesting(program);
  }
  ~ScopedCommandLine() {
    SetCommandLine(std::vector<std::string>{});
    SetProgramFileNameForTesting("");
  }
};

}  // namespace ztv::test
