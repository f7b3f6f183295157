// The public interfaces of the 7-Zip codec library, declared as the library
// lays them out on this platform: GUIDs of {u32, u16, u16, u8[8]}, 32-bit
// result codes, and interfaces whose virtual tables hold QueryInterface,
// AddRef and Release followed by the interface's own methods. The
// interfaces have no virtual destructor (a destructor slot would shift every
// method after it), so objects are only ever released, never deleted.
#pragma once

#include <cstdint>
#include <cstring>

namespace ztv::sevenzip {

using HRESULT = int32_t;
using PROPID = uint32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// Interface identifiers: {23170F69-40C1-278A-0000-00gg00ii0000}.
constexpr GUID InterfaceId(uint8_t group, uint8_t id) {
  return GUID{0x23170F69u, 0x40C1u, 0x278Au, {0, 0, 0, group, 0, id, 0, 0}};
}

constexpr GUID IID_IUnknown = {0x00000000u, 0x0000u, 0x0000u, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID IID_ISequentialInStream = InterfaceId(3, 0x01);
constexpr GUID IID_ISequentialOutStream = InterfaceId(3, 0x02);
constexpr GUID IID_ICompressCoder = InterfaceId(4, 0x05);
constexpr GUID IID_ICompressSetCoderProperties = InterfaceId(4, 0x20);
constexpr GUID IID_ICompressSetDecoderProperties2 = InterfaceId(4, 0x22);
constexpr GUID IID_ICompressWriteCoderProperties = InterfaceId(4, 0x23);

// Coder class identifiers carry the method id in Data4 (LZMA: 03 01 01);
// Data3 is 0x2790 for a decoder and 0x2791 for an encoder.
constexpr GUID CLSID_LZMADecoder = {0x23170F69u, 0x40C1u, 0x2790u, {0x01, 0x01, 0x03, 0, 0, 0, 0, 0}};
constexpr GUID CLSID_LZMAEncoder = {0x23170F69u, 0x40C1u, 0x2791u, {0x01, 0x01, 0x03, 0, 0, 0, 0, 0}};

struct IUnknown {
  virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct ISequentialInStream : IUnknown {
  virtual HRESULT Read(void* data, uint32_t size, uint32_t* processedSize) = 0;

 protected:
  ~ISequentialInStream() = default;
};

struct ISequentialOutStream : IUnknown {
  virtual HRESULT Write(const void* data, uint32_t size, uint32_t* processedSize) = 0;

 protected:
  ~ISequentialOutStream() = default;
};

struct ICompressProgressInfo;  // never passed: progress is not reported

struct ICompressCoder : IUnknown {
  virtual HRESULT Code(ISequentialInStream* inStream, ISequentialOutStream* outStream, const uint64_t* inSize,
                       const uint64_t* outSize, ICompressProgressInfo* progress) = 0;

 protected:
  ~ICompressCoder() = default;
};

struct ICompressSetDecoderProperties2 : IUnknown {
  virtual HRESULT SetDecoderProperties2(const uint8_t* data, uint32_t size) = 0;

 protected:
  ~ICompressSetDecoderProperties2() = default;
};

// The property value as the library reads it: a 16-bit type tag, three
// reserved 16-bit words, then the value.
struct PROPVARIANT {
  uint16_t vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t boolVal;  // VARIANT_TRUE is -1
    uint32_t ulVal;
    uint64_t uhVal;
    void* pointer;
  };
};
static_assert(sizeof(PROPVARIANT) == 16);

constexpr uint16_t VT_BOOL = 11;
constexpr uint16_t VT_UI4 = 19;

// Coder property ids.
constexpr PROPID kDictionarySize = 1;
constexpr PROPID kNumThreads = 13;
constexpr PROPID kEndMarker = 14;
constexpr PROPID kLevel = 15;

struct ICompressSetCoderProperties : IUnknown {
  virtual HRESULT SetCoderProperties(const PROPID* propIDs, const PROPVARIANT* props, uint32_t numProps) = 0;

 protected:
  ~ICompressSetCoderProperties() = default;
};

struct ICompressWriteCoderProperties : IUnknown {
  virtual HRESULT WriteCoderProperties(ISequentialOutStream* outStream) = 0;

 protected:
  ~ICompressWriteCoderProperties() = default;
};

// The library's object factory, exported as "CreateObject".
using CreateObjectFunc = HRESULT (*)(const GUID* classId, const GUID* interfaceId, void** object);

// Holds one reference to an interface and releases it.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }

  // Takes over a reference the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }

  void Reset() {
    if (p_) {
      T* p = p_;
      p_ = nullptr;
      p->Release();
    }
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out parameters of factory and QueryInterface calls.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  T* p_ = nullptr;
};

}  // namespace ztv::sevenzip
