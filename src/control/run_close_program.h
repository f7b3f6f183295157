// Finding, stopping and starting the database server (InterBase, kind 1, or
// Firebird, kind 2; -1 when undecided) and closing the workplace program.
//
// The update, restore, database replacement and optimisation call:
//   UnloadWorkplace()               when IsProcessRunning("Bureo")
//   IBServerStop(record)            fills the server record
//   IBServerStart(record)           starts that server again
// and, to learn whether any server runs, IsGuardianRunning(1),
// IsGuardianRunning(2) and RunningServers(false).
//
// Sets of kinds are bit sets: kind 1 is the value 2, kind 2 the value 4.
// Server installations are read from the registry (HKEY_LOCAL_MACHINE); on
// Linux the executables carry no ".exe". Firebird's are found as the
// distribution lays them out (see db/firebird_instance.h): the server
// "firebird" (the classic variant "fb_inet_server") under sbin/, bin/ or
// directly in the registered folder, its guardian "fbguard" beside it.
// InterBase's sit under "bin/" ("bin/IBServer"; the second variant
// "IBServer" directly in its directory). Names are matched ignoring letter
// case when the exact name is absent.
//
// Only processes of the registered executables count as the server: a
// Firebird process also has to run with the registered root, so that the
// server of another instance is never taken for ours. A server the program
// starts runs as the registered account (never as root) and is waited for
// until it accepts connections. Where the server cannot ask about its
// connected users itself (Linux), CloseServerApp asks the server for its
// attachment count first and puts the question when there are any.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "control/check_running.h"
#include "control/control_env.h"
#include "control/nt_api.h"
#include "platform/processes.h"

namespace ztv {

constexpr int kServerInterBase = 1;
constexpr int kServerFirebird = 2;
constexpr int kServerUndecided = -1;

// ServerFlags bits.
constexpr int kServerFlagService = 1;    // runs as a service (and its process is found)
constexpr int kServerFlagProgram = 2;    // runs as a program (window and process found)
constexpr int kServerFlagInstalled = 4;  // service registered and executable present

// The server record the main window keeps between stopping and starting.
struct TServerRecord {
  int FServerKind = 0;
  std::string FServerPath;
  bool FServerIsService = false;
};

// "Interbase4/5", "FireBird"; "" for other kinds.
std::string ServerKindName(int kind);
// "InterBaseGuardian", "FirebirdGuardianDefaultInstance"; "" for other kinds.
std::string GuardianName(int kind);

bool IsGuardianInstalled(int kind, const ControlEnv& env = DefaultControlEnv());
bool IsGuardianRunning(int kind, const ControlEnv& env = DefaultControlEnv());
bool StartGuardian(int kind, const ControlEnv& env = DefaultControlEnv());
bool StopGuardian(int kind, const ControlEnv& env = DefaultControlEnv());

// Stops the kind's guardian and server services (with a service manager and
// kinds 1 and 2 only).
void IBServiceStop(int kind, const ControlEnv& env = DefaultControlEnv());
// Starts the kind's guardian and server services.
void IBServiceRun(int kind, const ControlEnv& env = DefaultControlEnv());

// Installed: the kinds whose executable exists; dirs and exes are indexed by
// kind - 1. Raises when no server is installed.
void FindInstalledServers(int& installed, std::array<std::string, 2>& dirs, std::array<std::string, 2>& exes,
                          bool allVariants);

// The executable of an installed server ("" for kinds other than 1 and 2).
std::string ServerExePath(int kind, bool allVariants);
// The directory (with its trailing separator) of the server whose tools to
// use: the only one installed, else the only one running; kind -1 and ""
// otherwise.
void ServerDir(int& kind, bool allVariants, std::string& dir, const ControlEnv& env = DefaultControlEnv());
// "IBServer", "fbserver", "fb_inet_server": the variant's executable name up
// to its first dot; "" for other kinds or variants.
std::string ServerProcessName(int kind, int variant);

bool IsServerAppRunning(int kind, bool allVariants, const ControlEnv& env = DefaultControlEnv());
int ServerFlags(int kind, bool allVariants, const ControlEnv& env = DefaultControlEnv());
int RunningServers(bool allVariants, const ControlEnv& env = DefaultControlEnv());
// How many of kinds 1 and 2 are in the set (a negative set: the running ones).
int CountServers(int set, const ControlEnv& env = DefaultControlEnv());
// The number of the only bit set; -1 for none, several or a negative set.
int SingleServer(int set);
// The one kind in the set, else Firebird before InterBase; -1 when none.
int ChooseServer(int set, const ControlEnv& env = DefaultControlEnv());

// Ends a server that runs as a program.
void CloseServerApp(int kind, const ControlEnv& env = DefaultControlEnv());

// Stops whatever server runs and reports the one stopped (or the one to use
// when none ran): its kind, executable and whether it ran as a service.
void IBServerStop(int& kind, std::string& exePath, bool& isService, const ControlEnv& env = DefaultControlEnv());
void IBServerStop(TServerRecord& record, const ControlEnv& env = DefaultControlEnv());

// Starts the server IBServerStop reported: as a service when it was one
// (falling back to the program when that fails), otherwise as a program.
void IBServerStart(int kind, const std::string& exePath, bool asService,
                   const ControlEnv& env = DefaultControlEnv());
void IBServerStart(const TServerRecord& record, const ControlEnv& env = DefaultControlEnv());

// Starts the server's program (exePath empty: the installed one).
void RunServerProgram(int kind, const std::string& exePath, const ControlEnv& env = DefaultControlEnv());

inline constexpr const char* kWorkplaceProgram = "Bureo";

// The running workplace programs of the installation env.installationDir
// (every "Bureo" when it is empty).
std::vector<ProcessEntry> WorkplaceProcesses(const ControlEnv& env = DefaultControlEnv());
bool IsWorkplaceRunning(const ControlEnv& env = DefaultControlEnv());

// Closes the installation's workplace program "Bureo" (window class
// "TfWorkplace"); programs of other installations are left alone.
void UnloadWorkplace(const ControlEnv& env = DefaultControlEnv());

}  // namespace ztv
