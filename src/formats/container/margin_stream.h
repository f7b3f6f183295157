// A window onto the range [begin, end] of another stream (end inclusive;
// end -1 means up to the source's end). Positions are relative to begin and
// reads stop at end. A window with an end is read-only; one open to the
// source's end passes writes and size changes on to the source.
#pragma once

#include <cstdint>
#include <memory>

#include "core/stream.h"

namespace ztv {

class TMarginStream : public TZVStream {
 public:
  // Does not own `source`. Raises "Исходный поток не назначен [%s]" without
  // a source and "[%s] внутренняя ошибка (EndPos < BeginPos)" for an end
  // before the beginning (other than -1), both with "TMarginStream.Create".
  TMarginStream(TZVStream* source, int64_t beginPos, int64_t endPos);
  // Owns `source` and frees it with the window.
  TMarginStream(std::unique_ptr<TZVStream> source, int64_t beginPos, int64_t endPos);

  int64_t Read(void* buffer, int64_t count) override;
  // "[%s] Поток доступен только для чтения" (with
  // "TMarginStream.CheckWriteable") for a window with an end.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override;

 private:
  void CheckWriteable() const;
  // One past the last readable source offset.
  int64_t Limit();

  std::unique_ptr<TZVStream> owned_;
  TZVStream* source_;
  int64_t begin_;
  int64_t end_;
  int64_t position_ = 0;
};

}  // namespace ztv
