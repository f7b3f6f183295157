// Starting other programs without waiting for them.
//
// The results follow the old program-start calls the callers were written
// for: above 31 (Exec) or above 32 (ShellOpen) is success; 0 out of
// resources, 2 file not found, 3 path not found, 5 access denied, 11 bad
// executable format, 31 any other failure.
//
// On Linux a program is started detached (its own session, standard streams
// on /dev/null, reparented to init), so it outlives the caller. A file that
// begins with "#!" and lacks the execute bit runs through its interpreter; a
// Windows executable runs through `wine` when that is installed and is a bad
// format otherwise. The show command has no meaning here.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ztv {

constexpr int kLaunchOutOfResources = 0;
constexpr int kLaunchFileNotFound = 2;
constexpr int kLaunchPathNotFound = 3;
constexpr int kLaunchAccessDenied = 5;
constexpr int kLaunchBadFormat = 11;
constexpr int kLaunchNoAssociation = 31;
constexpr int kLaunchStarted = 33;

// Show commands the callers pass.
constexpr int kShowNormal = 1;
constexpr int kShow = 5;
constexpr int kShowDefault = 10;

struct LaunchResult {
  int code = kLaunchNoAssociation;
  int pid = 0;  // the started process, when code is kLaunchStarted
};

// How a program is started beyond its name and arguments.
struct LaunchOptions {
  std::string directory;  // "" for the caller's
  // Variables set on top of the caller's environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // The account to run the program as ("" for the caller's). Starting as
  // another account needs the privilege to change to it; a missing account
  // fails with kLaunchAccessDenied.
  std::string user;
};

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  // The old-style start: the command line is the program and its arguments.
  // A line that as a whole names an existing file is that program alone
  // (paths with blanks need no quotes); otherwise a leading quoted part is
  // the program, else the shortest blank-separated prefix that names an
  // existing file, else the first word.
  virtual LaunchResult Exec(const std::string& commandLine, int showCommand) = 0;
  // Opens `file` with `verb` ("open" or empty: start the program with the
  // blank-separated `parameters`, double quotes grouping) in `directory`
  // (empty: the caller's current directory). Other verbs have no
  // association.
  virtual LaunchResult ShellOpen(const std::string& verb, const std::string& file,
                                 const std::string& parameters, const std::string& directory,
                                 int showCommand) = 0;
  // Starts `file` with `args` (no splitting) as `options` say.
  virtual LaunchResult Start(const std::string& file, const std::vector<std::string>& args,
                             const LaunchOptions& options) = 0;
};

ProgramLauncher& SystemLauncher();

// Splits parameters at blanks; double quotes group and are removed.
std::vector<std::string> SplitParameters(const std::string& parameters);

// Gives a regular file the execute bit (for its owner, and for group and
// others where they may read it), as programs unpacked from an archive need.
// True when the file is executable afterwards.
bool EnsureExecutable(const std::string& path);

}  // namespace ztv
