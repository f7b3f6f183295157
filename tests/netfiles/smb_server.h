// A real Samba server of the test's own: smbd started from a configuration
// with every folder below a temporary folder, listening on 127.0.0.1:445 in
// the test program's own network namespace, with users of its own (Unix
// accounts through nss_wrapper, the machine's accounts are not touched).
// Real SMB clients hold files open on its share.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace ztv::test {

// Gives the program a network namespace of its own with loopback up, and a
// mount namespace in which the Samba log folder is a temporary one. Call
// first in main(), before any thread exists (threads keep the namespaces of
// the thread that created them). False, with the reason, when it cannot.
bool EnterOwnNetworkNamespace(std::string& why);

// The accounts of the test server; each password is "pw-" + the name.
inline constexpr const char* kSmbAdmin = "ztvadmin";    // maps to root: lists and closes
inline constexpr const char* kSmbLister = "ztvlister";  // an Administrator that may list but not close
inline constexpr const char* kSmbUser1 = "ztvuser1";
inline constexpr const char* kSmbUser2 = "ztvuser2";
std::string SmbPassword(const std::string& user);

class SambaServer {
 public:
  SambaServer();  // starts it; fails the test (ADD_FAILURE) when it cannot
  ~SambaServer();  // stops smbd and samba-dcerpcd by their pids
  SambaServer(const SambaServer&) = delete;
  SambaServer& operator=(const SambaServer&) = delete;

  bool Running() const { return smbd_ > 0; }
  const std::string& ConfigFile() const { return conf_; }
  const std::string& ClientConfigFile() const { return clientConf_; }
  // The share's folder on disk and in the server's form ("C:\...\share").
  const std::string& ShareDir() const { return share_; }
  std::string ServerPath(const std::string& relative) const;  // relative with "\"
  std::string LogTail() const;

 private:
  bool Run(const std::string& command, const std::string& input = "");
  void Stop();

  TempDir dir_;
  std::string conf_, clientConf_, share_, env_;
  pid_t smbd_ = -1;
};

// An SMB client process (a Python program over Samba's client library)
// logged on to the share as one user; commands on its standard input.
class SmbClient {
 public:
  SmbClient(const SambaServer& server, const std::string& user);
  ~SmbClient();
  SmbClient(const SmbClient&) = delete;
  SmbClient& operator=(const SmbClient&) = delete;

  // Opens (creating it if needed) `relative` ("sub\\a.txt") for reading
  // and writing, sharing everything; the handle number, -1 on failure.
  int Open(const std::string& relative);
  // Writes one byte through the handle: "ok" or "error 0x...".
  std::string Write(int fnum);
  std::string Close(int fnum);

 private:
  std::string Command(const std::string& line);

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buffer_;
};

}  // namespace ztv::test
