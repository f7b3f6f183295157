// Small questions about the local network.
#pragma once

namespace ztv {

// Whether something accepts TCP connections on 127.0.0.1:`port` (answered
// within a second).
bool LoopbackAccepts(int port);

}  // namespace ztv
