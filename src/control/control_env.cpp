#include "control/control_env.h"

#include "db/firebird_instance.h"
#include "db/server_services.h"

namespace ztv {

int DefaultAttachmentCount(int kind, std::string& error) {
  if (kind != 2) {
    error = "only the Firebird server can be asked";
    return -1;
  }
  return ServerAttachmentCount(LocalServerPort(), "SYSDBA", kDefaultSysdbaPassword, error);
}

const ControlEnv& DefaultControlEnv() {
  static const ControlEnv env = [] {
    ControlEnv e;
    e.attachments = DefaultAttachmentCount;
    return e;
  }();
  return env;
}

}  // namespace ztv
