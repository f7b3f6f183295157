// The run-time module's two entry points.
#include "multiregistry/component.h"

extern "C" __attribute__((visibility("default"))) ztv::mreg::HResult ZtvCreateInstance(const char* clsid,
                                                                                       const char* iid,
                                                                                       void** object) {
  return ztv::mreg::CreateInstance(clsid, iid, object);
}

extern "C" __attribute__((visibility("default"))) ztv::mreg::HResult ZtvGetErrorInfo(
    ztv::mreg::IStringResult* text) {
  return ztv::mreg::GetErrorInfo(text);
}
