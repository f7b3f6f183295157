// Questions to a running database server through its service manager.
#pragma once

#include <string>

namespace ztv {

// The SYSDBA password the workplace's databases are made with.
inline constexpr const char* kDefaultSysdbaPassword = "tulipwood";

// How many attachments the server at 127.0.0.1:`port` has, as its service
// manager reports them, logging in as `user` with `password`. -1 when the
// server cannot be asked (not running, login refused, no client library);
// `error` then says why.
int ServerAttachmentCount(int port, const std::string& user, const std::string& password, std::string& error);

}  // namespace ztv
