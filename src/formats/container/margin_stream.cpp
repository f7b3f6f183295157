#include "formats/container/margin_stream.h"

#include <algorithm>

#include "core/errors.h"

namespace ztv {

TMarginStream::TMarginStream(TZVStream* source, int64_t beginPos, int64_t endPos)
    : source_(source), begin_(beginPos), end_(endPos) {
  if (source_ == nullptr) throw Exception(Format("Исходный поток не назначен [%s]", "TMarginStream.Create"));
  if (end_ != -1 && end_ < begin_)
    throw Exception(Format("[%s] внутренняя ошибка (EndPos < BeginPos)", "TMarginStream.Create"));
  if (begin_ < 0) throw EStreamError("Stream seek error");
}

TMarginStream::TMarginStream(std::unique_ptr<TZVStream> source, int64_t beginPos, int64_t endPos)
    : TMarginStream(source.get(), beginPos, endPos) {
  owned_ = std::move(source);
}

void TMarginStream::CheckWriteable() const {
  if (end_ >= 0) throw Exception(Format("[%s] Поток доступен только для чтения", "TMarginStream.CheckWriteable"));
}

int64_t TMarginStream::Limit() { return end_ >= 0 ? end_ + 1 : source_->Size(); }

int64_t TMarginStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t at = begin_ + position_;
  const int64_t n = std::min(count, Limit() - at);
  if (n <= 0) return 0;
  source_->Seek(at, SeekOrigin::Begin);
  const int64_t got = source_->Read(buffer, n);
  if (got > 0) position_ += got;
  return got;
}

int64_t TMarginStream::Write(const void* buffer, int64_t count) {
  CheckWriteable();
  source_->Seek(begin_ + position_, SeekOrigin::Begin);
  const int64_t n = source_->Write(buffer, count);
  if (n > 0) position_ += n;
  return n;
}

int64_t TMarginStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : Size();
  const int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = target;
  return position_;
}

void TMarginStream::SetSize(int64_t size) {
  CheckWriteable();
  source_->SetSize(begin_ + size);
}

int64_t TMarginStream::Size() {
  const int64_t limit = end_ >= 0 ? std::min(end_ + 1, source_->Size()) : source_->Size();
  return std::max<int64_t>(0, limit - begin_);
}

}  // namespace ztv
