#include "formats/container/zlib_stream.h"

#include <algorithm>
#include <climits>

namespace ztv {

namespace {
constexpr const char* kInvalidStreamOperation = "ZLib: Invalid stream operation";
// The inflater announces the library version the format was first written
// with; zlib accepts any 1.x caller.
constexpr const char* kAnnouncedVersion = "1.1.3";
}  // namespace

std::string ZLibErrorText(int code) {
  if (code >= -7 && code <= 2) return zError(code);
  return Format("ZLib: Unknown error (%d)", code);
}

TCustomZlibStream::TCustomZlibStream(TZVStream& source)
    : source_(source), sourcePos_(source.Position()), buffer_(std::make_unique<uint8_t[]>(kBufferSize)) {}

TCustomZlibStream::~TCustomZlibStream() = default;

TDecompressionStream::TDecompressionStream(TZVStream& source) : TCustomZlibStream(source), startPos_(sourcePos_) {
  zstream_.next_in = buffer_.get();
  zstream_.avail_in = 0;
  Check(inflateInit2_(&zstream_, 15, kAnnouncedVersion, static_cast<int>(sizeof(z_stream))));
}

TDecompressionStream::~TDecompressionStream() { inflateEnd(&zstream_); }

void TDecompressionStream::Check(int result) {
  // A preset dictionary is not provided for: without this check the
  // inflater would keep asking for it and never make progress.
  if (result >= 0 && result != Z_NEED_DICT) return;
  std::string text = ZLibErrorText(result);
  if (zstream_.msg != nullptr)
    text = Format("%s: %s (position = %d)", text, zstream_.msg, static_cast<int64_t>(zstream_.total_in));
  throw EDecompressionError(result, text);
}

int64_t TDecompressionStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const uInt want = static_cast<uInt>(std::min<int64_t>(count, INT_MAX));
  zstream_.next_out = static_cast<Bytef*>(buffer);
  zstream_.avail_out = want;
  if (source_.Position() != sourcePos_) source_.SetPosition(sourcePos_);
  while (zstream_.avail_out > 0 && !ended_) {
    if (zstream_.avail_in == 0) {
      const int64_t n = source_.Read(buffer_.get(), kBufferSize);
      if (n <= 0) break;
      zstream_.next_in = buffer_.get();
      zstream_.avail_in = static_cast<uInt>(n);
      sourcePos_ = source_.Position();
      if (OnProgress) OnProgress(*this);
    }
    const int result = inflate(&zstream_, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      ended_ = true;
      break;
    }
    Check(result);
  }
  return static_cast<int64_t>(want - zstream_.avail_out);
}

int64_t TDecompressionStream::Write(const void*, int64_t) {
  throw EDecompressionError(0, kInvalidStreamOperation);
}

void TDecompressionStream::SetSize(int64_t) { throw EDecompressionError(0, kInvalidStreamOperation); }

int64_t TDecompressionStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t current = static_cast<int64_t>(zstream_.total_out);
  if (offset == 0 && origin == SeekOrigin::Begin) {
    Check(inflateReset(&zstream_));
    zstream_.next_in = buffer_.get();
    zstream_.avail_in = 0;
    ended_ = false;
    source_.SetPosition(startPos_);
    sourcePos_ = startPos_;
    return 0;
  }
  if ((offset >= 0 && origin == SeekOrigin::Current) || (origin == SeekOrigin::Begin && offset > current)) {
    if (origin == SeekOrigin::Begin) offset -= current;
    uint8_t scratch[4096];
    while (offset > 0) {
      const int64_t n = std::min<int64_t>(offset, sizeof scratch);
      ReadBuffer(scratch, n);
      offset -= n;
    }
    return static_cast<int64_t>(zstream_.total_out);
  }
  throw EDecompressionError(0, kInvalidStreamOperation);
}

}  // namespace ztv
