// Where the registered Firebird server lives on this machine and how the
// program reaches it.
//
// The installation is named by the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Firebird Project\Firebird Server\Instances:
//   "DefaultInstance"  the installation prefix ("/usr" for the distribution's
//                      packages) or the folder that holds the server itself
//                      ("/usr/sbin"); the server is the first of
//                      sbin/firebird, bin/firebird, firebird found below it,
//                      its guardian "fbguard" lies beside it, and the tools
//                      (gbak, isql-fb) are in the server's folder or in the
//                      "bin" folder beside it
//   "RootDirectory"    optional: the server's root (what FIREBIRD names:
//                      firebird.conf, the security database); without it
//                      the distribution's own root
//   "LockDirectory"    optional: the server's lock folder (FIREBIRD_LOCK)
//   "ServiceUnit"      optional: the systemd unit that stands for the
//                      server and its guardian (default "firebird3.0")
//   "ServerUser"       optional: the account the server runs as when the
//                      program starts it (default "firebird")
// A database name without a host goes to this server on loopback, at the
// RemoteServicePort of the root's firebird.conf (default 3050).
#pragma once

#include <string>

namespace ztv {

inline constexpr const char* kFirebirdInstancesKey = "SOFTWARE\\Firebird Project\\Firebird Server\\Instances";
inline constexpr const char* kFirebirdDistributionRoot = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
inline constexpr const char* kFirebirdDefaultUnit = "firebird3.0";
inline constexpr const char* kFirebirdDefaultUser = "firebird";
inline constexpr int kFirebirdDefaultPort = 3050;

struct FirebirdInstance {
  std::string installDir;  // "DefaultInstance" without a trailing separator
  std::string root;        // the registered root, or the distribution's
  std::string lockDir;     // "" for the server's default
  std::string unit = kFirebirdDefaultUnit;
  std::string user = kFirebirdDefaultUser;
};

// The registered instance; empty fields where nothing is registered (no
// error: a machine may have no Firebird at all).
FirebirdInstance ReadFirebirdInstance();

// The executable `name` of an installation named by `dir`: the first of
// dir/sbin/name, dir/bin/name, dir/name that exists; dir/sbin/name when none
// does.
std::string InstalledExecutable(const std::string& dir, const std::string& name);

// A tool of the server whose executable lies in `serverDir` ("gbak",
// "isql-fb"): in that folder, else in the "bin" folder beside it (the
// distribution keeps the server in sbin and its tools in bin). The path in
// the server's folder when neither exists.
std::string ServerToolPath(const std::string& serverDir, const std::string& tool);

// The guardian that belongs to a server executable: "fbguard" beside it.
std::string GuardianExecutable(const std::string& serverExe);

// The port the server of `root` listens on: RemoteServicePort of
// root/firebird.conf (the last setting wins), else 3050.
int FirebirdPort(const std::string& root);

// The registered server's port.
int LocalServerPort();

// A database name as the server should see it. A name without a host (an
// absolute or relative file path) goes to the local server on loopback:
// "127.0.0.1/PORT:/abs/path". Names with a host part ("host:path",
// "host/port:path", "inet://...") are left as they are.
std::string LoopbackDatabaseName(const std::string& name, int port);
// The same with the registered server's port.
std::string LoopbackDatabaseName(const std::string& name);
// Whether the name carries a host part.
bool HasServerPrefix(const std::string& name);

}  // namespace ztv
