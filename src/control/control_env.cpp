#include "control/control_env.h"

namespace ztv {

const ControlEnv& DefaultControlEnv() {
  static const ControlEnv env;
  return env;
}

}  // namespace ztv
