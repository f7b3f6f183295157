// The MultiRegistry component: a tree of keys with integer and string values,
// read from the installation's "ocx/IMD.DAT". It stands outside the program:
// a run-time module ("ztv-multiregistry.so") creates it through one exported
// factory by class and interface identifier, and the program reaches it only
// through the interfaces below. A site may put its own module in place as
// long as it keeps this binary interface.
//
// Binary interface (stable; plain types only, no C++ library types cross it):
//   - every interface begins with QueryInterface, AddRef and Release; an
//     object lives until its last Release;
//   - every other method returns a result code (0 success, negative failure)
//     and hands its result back through an out parameter;
//   - texts are UTF-8 and NUL-terminated on the way in; texts on the way out
//     are written into a caller's IStringResult;
//   - after a failure, ZtvGetErrorInfo gives the component's own text of the
//     failure of the calling thread's last failed call.
// Exported functions of the module (C linkage):
//   int32_t ZtvCreateInstance(const char* clsid, const char* iid, void** object);
//   int32_t ZtvGetErrorInfo(IStringResult* text);
#pragma once

#include <cstddef>
#include <cstdint>

namespace ztv::mreg {

using HResult = int32_t;

inline constexpr HResult kOk = 0;
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003u);
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult kOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kClassNotAvailable = static_cast<HResult>(0x80040111u);

inline bool Failed(HResult hr) { return hr < 0; }

// Class and interfaces, in the registry form of their identifiers.
inline constexpr const char* kClsidMultiRegistry = "{A6C89371-0D7E-11D5-8614-000021EEE7D4}";
inline constexpr const char* kIidMultiRegistry = "{A6C89372-0D7E-11D5-8614-000021EEE7D4}";
inline constexpr const char* kIidUnknown = "{00000000-0000-0000-C000-000000000046}";

// Receives a text the component hands out.
class IStringResult {
 public:
  virtual void Assign(const char* data, size_t size) = 0;

 protected:
  ~IStringResult() = default;
};

class IUnknownLike {
 public:
  virtual HResult QueryInterface(const char* iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknownLike() = default;
};

class IRegistryValue : public IUnknownLike {
 public:
  virtual HResult AsInteger(int32_t* value) = 0;
  virtual HResult AsString(IStringResult* value) = 0;

 protected:
  ~IRegistryValue() = default;
};

class IRegistryKey : public IUnknownLike {
 public:
  // `path` is relative to this key, parts separated by a backslash.
  virtual HResult OpenKey(const char* path, IRegistryKey** key) = 0;
  // The names of the key's children in their stored order, one per line
  // (CR LF between lines).
  virtual HResult GetSubKeyNames(IStringResult* names) = 0;
  virtual HResult GetValue(const char* name, IRegistryValue** value) = 0;

 protected:
  ~IRegistryKey() = default;
};

class IMultiRegistry : public IUnknownLike {
 public:
  virtual HResult LoadFile(const char* fileName) = 0;
  // Index 0 is the store's root.
  virtual HResult GetRoot(int32_t index, IRegistryKey** key) = 0;

 protected:
  ~IMultiRegistry() = default;
};

using CreateInstanceFn = HResult (*)(const char* clsid, const char* iid, void** object);
using GetErrorInfoFn = HResult (*)(IStringResult* text);

inline constexpr const char* kCreateInstanceSymbol = "ZtvCreateInstance";
inline constexpr const char* kGetErrorInfoSymbol = "ZtvGetErrorInfo";
inline constexpr const char* kModuleFileName = "ztv-multiregistry.so";

}  // namespace ztv::mreg
