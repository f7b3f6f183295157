// LZMA through the 7-Zip codec library, loaded at run time. The library is
// looked for as "7za.so", then "7z.so" beside the program, then as the
// distribution's "/usr/lib/p7zip/7z.so"; once loaded it stays loaded for the
// rest of the run, as does a failure to load it.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/stream.h"
#include "formats/lzma/seven_zip.h"

namespace ztv {

// One library and its object factory.
class TLZMALibrary {
 public:
  // The files tried in order; the first that loads is used.
  explicit TLZMALibrary(std::vector<std::string> candidates);
  ~TLZMALibrary();
  TLZMALibrary(const TLZMALibrary&) = delete;
  TLZMALibrary& operator=(const TLZMALibrary&) = delete;

  // "7za.so" and "7z.so" in the program's directory, then the system copy.
  static std::vector<std::string> DefaultCandidates();

  // Returns when the factory is known, otherwise raises:
  //  "Ошибка загрузки библиотеки %s [GetLastError = %d:%s]" when no
  //  candidate loads (not retried: every later call raises it again);
  //  "Ошибка загрузки функции 7Z %s [GetLastError = %d:%s]" when the library
  //  has no "CreateObject" (looked up again on the next call).
  void Load();

  // The factory; Load() must have succeeded.
  sevenzip::HRESULT CreateObject(const sevenzip::GUID& classId, const sevenzip::GUID& interfaceId,
                                 void** object) const;

  // The file that was loaded (empty before).
  const std::string& LoadedPath() const { return loadedPath_; }

 private:
  std::vector<std::string> candidates_;
  std::mutex mutex_;  // the window program may unpack on a worker thread
  void* handle_ = nullptr;
  bool failed_ = false;
  std::string failure_;
  std::string loadedPath_;
  sevenzip::CreateObjectFunc createObject_ = nullptr;
};

// The process-wide library, with the default candidates.
TLZMALibrary& LZMALibrary();
// LZMALibrary().Load().
void LoadLZMALibrary();

// Receives the message of a program stream that failed while the library
// was reading or writing it (the window program shows it in a message box).
// Without a handler the message is only recorded by the adapter.
void SetLZMAStreamErrorHandler(std::function<void(const std::string&)> handler);

// Presents one of the program's streams (not owned) to the library as its
// sequential input and output stream. Reference counted: created with one
// reference, freed with the last Release. A failure of the program's stream
// is not passed through the library: the adapter records it, reports the
// message to the handler and returns E_FAIL; the caller checks Failed()
// after the library call, since the library may turn the code into another.
class TSeqStream final : public sevenzip::ISequentialInStream, public sevenzip::ISequentialOutStream {
 public:
  static sevenzip::ComPtr<TSeqStream> Create(TZVStream& stream);

  sevenzip::HRESULT QueryInterface(const sevenzip::GUID& iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  sevenzip::HRESULT Read(void* data, uint32_t size, uint32_t* processedSize) override;
  sevenzip::HRESULT Write(const void* data, uint32_t size, uint32_t* processedSize) override;

  sevenzip::ISequentialInStream* AsIn() { return this; }
  sevenzip::ISequentialOutStream* AsOut() { return this; }

  // A stream call failed (with one of the program's errors or another).
  bool Failed() const { return failed_; }
  const std::string& FailureMessage() const { return failureMessage_; }
  // Rethrows an error that is not of the program's general class (those
  // pass through every wrapper unchanged), if one was recorded.
  void RethrowForeign() const;

 private:
  explicit TSeqStream(TZVStream& stream) : stream_(stream) {}
  ~TSeqStream() = default;
  void RecordFailure();

  TZVStream& stream_;
  uint32_t references_ = 1;
  bool failed_ = false;
  std::string failureMessage_;
  std::exception_ptr foreign_;
};

// Compresses `input` from its position to its end into raw LZMA data on
// `output` with the library's encoder, and returns the 5 property bytes the
// decoder needs. The container stores no end marker (it knows the size);
// one can be asked for to make streams that end early. For the tools and
// tests.
std::vector<uint8_t> LZMAEncode(TZVStream& input, TZVStream& output, bool endMarker = false);

}  // namespace ztv
