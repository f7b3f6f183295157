// The server service's list of files opened over the network, and closing
// one of them: the two calls of the open-files window. Results are the
// server's error numbers (0 is success), as the network management calls
// give them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ztv {

// One open of a file (the server's level-3 file information).
struct NetFileInfo3 {
  uint32_t id = 0;           // the open's identifier on that server
  uint32_t permissions = 0;  // access granted to the open (read 1, write 2, create 4)
  uint32_t numLocks = 0;     // byte-range locks the open holds
  std::string pathName;      // the path in the server's form, e.g. "C:\srv\share\a.txt"
  std::string userName;      // the user who holds the open
};

// Error numbers the callers look at.
inline constexpr uint32_t kNetErrorAccessDenied = 5;       // the account may not do this
inline constexpr uint32_t kNetErrorFileNotFound = 2;       // no open with that identifier
inline constexpr uint32_t kNetErrorLogonFailure = 1326;    // unknown user or wrong password
inline constexpr uint32_t kNetErrorCannotComplete = 1003;  // no connection to the server

class NetFileApi {
 public:
  virtual ~NetFileApi() = default;

  // The account the calls log on to the server with.
  virtual void SetCredentials(const std::string& user, const std::string& password) = 0;

  // Every open on `server` ("" for this computer; "\\NAME" or "NAME")
  // whose path begins with `basePath` ("" for all). On success fills
  // `entries` and `totalEntries`; on failure leaves them alone.
  virtual uint32_t FileEnum(const std::string& server, const std::string& basePath,
                            std::vector<NetFileInfo3>& entries, uint32_t& totalEntries) = 0;
  // Closes the open `id` on `server`.
  virtual uint32_t FileClose(const std::string& server, uint32_t id) = 0;
  // The system's text for an error number, "" when it has none.
  virtual std::string ErrorText(uint32_t code) = 0;
};

// The network management library of the machine's SMB server (Samba's
// NetAPI). "This computer" is the server listening on 127.0.0.1.
std::unique_ptr<NetFileApi> CreateNetFileApi();

}  // namespace ztv
