// A stream that inflates zlib data (RFC 1950 framing, 15-bit window) read
// from another stream, through the zlib library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <zlib.h>

#include "core/errors.h"
#include "core/stream.h"

namespace ztv {

// A failure reported by the zlib library, with its result code.
class EZLibError : public Exception {
 public:
  EZLibError(int code, std::string message) : Exception(std::move(message)), code_(code) {}
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

class EDecompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};

// The source stream (not owned), the zlib state and the 64 KiB input buffer.
class TCustomZlibStream : public TZVStream {
 public:
  explicit TCustomZlibStream(TZVStream& source);
  ~TCustomZlibStream() override;

  // Called after each block read from the source.
  std::function<void(TCustomZlibStream&)> OnProgress;

 protected:
  static constexpr int64_t kBufferSize = 65536;
  TZVStream& source_;
  int64_t sourcePos_;  // where the source stood after the last block
  z_stream zstream_{};
  std::unique_ptr<uint8_t[]> buffer_;
};

class TDecompressionStream : public TCustomZlibStream {
 public:
  explicit TDecompressionStream(TZVStream& source);
  ~TDecompressionStream() override;

  // Inflates into `buffer` until it is full, the source is exhausted or the
  // zlib stream has ended; returns the count produced. Bytes after the end
  // of the zlib stream are never looked at.
  int64_t Read(void* buffer, int64_t count) override;
  // Always "ZLib: Invalid stream operation".
  int64_t Write(const void* buffer, int64_t count) override;
  // To the start: resets the inflater and the source. Forward from the
  // current position, or from the start to beyond it: inflates and drops
  // the bytes in between. Anything else is "ZLib: Invalid stream operation".
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;

 private:
  void Check(int result);

  int64_t startPos_;
  bool ended_ = false;
};

// The message for a zlib result code: the library's text for codes -7 .. 2,
// "ZLib: Unknown error (%d)" below.
std::string ZLibErrorText(int code);

}  // namespace ztv
