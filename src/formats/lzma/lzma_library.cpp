#include "formats/lzma/lzma_library.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>

#include "core/errors.h"
#include "platform/paths.h"

// The library resolves its own calls inside itself (RTLD_DEEPBIND), so that
// a host symbol of the same name never takes their place. The address
// sanitizer refuses that flag; sanitized builds load without it.
#if defined(__SANITIZE_ADDRESS__)
#define ZTV_LZMA_DEEPBIND 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define ZTV_LZMA_DEEPBIND 0
#endif
#endif
#ifndef ZTV_LZMA_DEEPBIND
#define ZTV_LZMA_DEEPBIND 1
#endif

namespace ztv {

using namespace sevenzip;

namespace {

std::function<void(const std::string&)>& StreamErrorHandler() {
  static std::function<void(const std::string&)> handler;
  return handler;
}

std::string DlErrorText() {
  const char* text = dlerror();
  return text ? std::string(text) : std::string();
}

}  // namespace

TLZMALibrary::TLZMALibrary(std::vector<std::string> candidates) : candidates_(std::move(candidates)) {}

// The library is never unloaded: objects it created may outlive any owner
// we could name, and the process-wide copy lives for the run anyway.
TLZMALibrary::~TLZMALibrary() = default;

std::vector<std::string> TLZMALibrary::DefaultCandidates() {
  std::vector<std::string> list;
  const std::string dir = ExtractFileDir(RunningProgramPath());
  if (!dir.empty()) {
    list.push_back(JoinPath(dir, "7za.so"));
    list.push_back(JoinPath(dir, "7z.so"));
  }
  list.push_back("/usr/lib/p7zip/7z.so");
  return list;
}

void TLZMALibrary::Load() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr && !failed_) {
    int flags = RTLD_NOW | RTLD_LOCAL;
#if ZTV_LZMA_DEEPBIND
    flags |= RTLD_DEEPBIND;
#endif
    int code = 0;
    std::string text = "no library file to try";
    for (const std::string& file : candidates_) {
      errno = 0;
      handle_ = dlopen(file.c_str(), flags);
      if (handle_ != nullptr) {
        loadedPath_ = file;
        break;
      }
      code = errno;
      text = DlErrorText();
    }
    if (handle_ == nullptr) {
      failed_ = true;
      failure_ = Format("Ошибка загрузки библиотеки %s [GetLastError = %d:%s]", "7z.so", code, text);
    }
  }
  if (failed_) throw Exception(failure_);
  if (createObject_ == nullptr) {
    dlerror();
    errno = 0;
    void* symbol = dlsym(handle_, "CreateObject");
    if (symbol == nullptr) {
      const int code = errno;
      throw Exception(
          Format("Ошибка загрузки функции 7Z %s [GetLastError = %d:%s]", "CreateObject", code, DlErrorText()));
    }
    createObject_ = reinterpret_cast<CreateObjectFunc>(symbol);
  }
}

HRESULT TLZMALibrary::CreateObject(const GUID& classId, const GUID& interfaceId, void** object) const {
  *object = nullptr;
  if (createObject_ == nullptr) return E_FAIL;
  return createObject_(&classId, &interfaceId, object);
}

TLZMALibrary& LZMALibrary() {
  static TLZMALibrary library(TLZMALibrary::DefaultCandidates());
  return library;
}

void LoadLZMALibrary() { LZMALibrary().Load(); }

void SetLZMAStreamErrorHandler(std::function<void(const std::string&)> handler) {
  StreamErrorHandler() = std::move(handler);
}

// --- TSeqStream ---

ComPtr<TSeqStream> TSeqStream::Create(TZVStream& stream) {
  // The reference count owns the object from here on; Release frees it.
  return ComPtr<TSeqStream>::Adopt(new TSeqStream(stream));
}

HRESULT TSeqStream::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_FAIL;
  if (iid == IID_IUnknown || iid == IID_ISequentialInStream) {
    *object = static_cast<ISequentialInStream*>(this);
  } else if (iid == IID_ISequentialOutStream) {
    *object = static_cast<ISequentialOutStream*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ++references_;
  return S_OK;
}

uint32_t TSeqStream::AddRef() { return ++references_; }

uint32_t TSeqStream::Release() {
  const uint32_t left = --references_;
  if (left == 0) delete this;
  return left;
}

void TSeqStream::RecordFailure() {
  failed_ = true;
  try {
    throw;
  } catch (const Exception& e) {
    failureMessage_ = e.what();
    if (StreamErrorHandler()) {
      try {
        StreamErrorHandler()(failureMessage_);
      } catch (...) {
        // Showing the message must not unwind through the library.
      }
    }
  } catch (...) {
    foreign_ = std::current_exception();
  }
}

HRESULT TSeqStream::Read(void* data, uint32_t size, uint32_t* processedSize) {
  if (processedSize) *processedSize = 0;
  try {
    const int64_t n = stream_.Read(data, size);
    if (processedSize) *processedSize = static_cast<uint32_t>(std::max<int64_t>(n, 0));
    return S_OK;
  } catch (...) {
    RecordFailure();
    return E_FAIL;
  }
}

HRESULT TSeqStream::Write(const void* data, uint32_t size, uint32_t* processedSize) {
  if (processedSize) *processedSize = 0;
  try {
    const int64_t n = stream_.Write(data, size);
    if (processedSize) *processedSize = static_cast<uint32_t>(std::max<int64_t>(n, 0));
    return S_OK;
  } catch (...) {
    RecordFailure();
    return E_FAIL;
  }
}

void TSeqStream::RethrowForeign() const {
  if (foreign_) std::rethrow_exception(foreign_);
}

// --- encoder for the tools ---

std::vector<uint8_t> LZMAEncode(TZVStream& input, TZVStream& output, bool endMarker) {
  const int64_t size = input.Remaining();
  LoadLZMALibrary();
  const TLZMALibrary& library = LZMALibrary();
  auto check = [](HRESULT result, const char* stage) {
    if (result != S_OK) throw Exception(Format("Ошибка LZMA во время [%s]. Код ошибки: %d", stage, result));
  };
  ComPtr<ICompressCoder> encoder;
  check(library.CreateObject(CLSID_LZMAEncoder, IID_ICompressCoder, encoder.PutVoid()), "создание объекта Encoder");
  ComPtr<ICompressSetCoderProperties> setProperties;
  check(encoder->QueryInterface(IID_ICompressSetCoderProperties, setProperties.PutVoid()),
        "получение ICompressSetCoderProperties");
  // A dictionary no larger than the data (within 64 KiB .. 16 MiB) keeps
  // the encoder's memory modest; one thread keeps all stream calls on ours.
  uint32_t dictionary = 1u << 16;
  while (dictionary < (1u << 24) && static_cast<int64_t>(dictionary) < size) dictionary <<= 1;
  PROPID ids[4] = {kDictionarySize, kNumThreads, kLevel, kEndMarker};
  PROPVARIANT values[4] = {};
  for (auto& v : values) v.vt = VT_UI4;
  values[0].ulVal = dictionary;
  values[1].ulVal = 1;
  values[2].ulVal = 5;
  values[3].vt = VT_BOOL;
  values[3].boolVal = endMarker ? -1 : 0;
  check(setProperties->SetCoderProperties(ids, values, 4), "установка свойств кодера");

  ComPtr<ICompressWriteCoderProperties> writeProperties;
  check(encoder->QueryInterface(IID_ICompressWriteCoderProperties, writeProperties.PutVoid()),
        "получение ICompressWriteCoderProperties");
  TZVMemoryStream propertyBytes;
  auto propertySink = TSeqStream::Create(propertyBytes);
  check(writeProperties->WriteCoderProperties(propertySink->AsOut()), "запись свойств кодера");
  propertySink->RethrowForeign();

  auto in = TSeqStream::Create(input);
  auto out = TSeqStream::Create(output);
  const uint64_t inSize = static_cast<uint64_t>(std::max<int64_t>(size, 0));
  HRESULT result = encoder->Code(in->AsIn(), out->AsOut(), &inSize, nullptr, nullptr);
  in->RethrowForeign();
  out->RethrowForeign();
  if (in->Failed() || out->Failed()) result = E_FAIL;
  check(result, "упаковка потока LZMA");
  return propertyBytes.Data();
}

}  // namespace ztv
