// The implementation of the MultiRegistry component over TRegistryStore.
// The module exports these two through its C entry points; the fuzz target
// and the module's own tests call them directly.
#pragma once

#include "multiregistry/multiregistry.h"

namespace ztv::mreg {

// Creates the component for the class and interface identifiers (compared
// without regard to letter case); the object comes back with one reference.
HResult CreateInstance(const char* clsid, const char* iid, void** object);
// The text of the calling thread's last failure.
HResult GetErrorInfo(IStringResult* text);

}  // namespace ztv::mreg
