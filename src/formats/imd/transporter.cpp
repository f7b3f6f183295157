#include "formats/imd/transporter.h"

#include <algorithm>
#include <cstring>

#include "core/errors.h"

namespace ztv {

TTransporter::TTransporter() = default;

TTransporter::TTransporter(TZVStream* stream) { OpenOnStream(stream); }

TTransporter::TTransporter(std::unique_ptr<TZVStream> stream) { OpenOnStream(std::move(stream)); }

TTransporter::~TTransporter() { Close(); }

void TTransporter::OpenOnStream(TZVStream* stream) {
  Close();
  if (!stream) throw Exception(imd_messages::kNilStream);
  stream_ = stream;
  Open();
}

void TTransporter::OpenOnStream(std::unique_ptr<TZVStream> stream) {
  Close();
  if (!stream) throw Exception(imd_messages::kNilStream);
  owned_ = std::move(stream);
  stream_ = owned_.get();
  Open();
}

void TTransporter::InternalOpen() {
  if (!stream_) throw Exception(imd_messages::kNilStream);
  ClearFields();
  Params().Clear();
  header_ = TIMDHeader{};
  hasHeader_ = false;
  fieldToDescriptor_.clear();
  current_.clear();
  cur_ = -1;
  count_ = -1;
  resync_ = false;
  if (stream_->Remaining() < kIMDMinimumSize) {
    count_ = 0;
    return;
  }
  try {
    ReadIMDHeader(*stream_, header_, &Params());
    for (size_t i = 0; i < header_.Fields.size(); ++i) {
      TIMDFieldRec& f = header_.Fields[i];
      if (f.Name.empty()) continue;  // nothing can name such a field; its values are read past
      TField& field = AddField(f.Name, f.DataType, f.Shape.Size);
      field.SetAttributes(f.Flags & TIMDFlags::Attributes);
      f.Bound = field.Index();
      fieldToDescriptor_.push_back(static_cast<int>(i));
    }
  } catch (...) {
    ClearFields();
    Params().Clear();
    header_ = TIMDHeader{};
    throw;
  }
  hasHeader_ = true;
  nextPos_ = header_.RecordsStart;
}

void TTransporter::InternalClose() {
  ClearFields();
  Params().Clear();
  header_ = TIMDHeader{};
  hasHeader_ = false;
  fieldToDescriptor_.clear();
  current_.clear();
  scratch_.clear();
  cur_ = -1;
  count_ = -1;
  resync_ = false;
  stream_ = nullptr;
  owned_.reset();
}

void TTransporter::Restart() {
  cur_ = -1;
  nextPos_ = header_.RecordsStart;
  for (auto& f : header_.Fields) f.PrevText.reset();
  resync_ = false;
}

bool TTransporter::ReadNext() {
  if (!hasHeader_) return false;
  if (count_ >= 0 && cur_ + 1 >= count_) return false;
  stream_->Seek(nextPos_, SeekOrigin::Begin);
  bool got;
  try {
    got = ReadIMDRecord(*stream_, header_, scratch_, false, TIMDBlobMode::ByPosition);
  } catch (...) {
    resync_ = true;
    throw;
  }
  if (!got) {
    count_ = cur_ + 1;
    return false;
  }
  std::swap(current_, scratch_);
  ++cur_;
  nextPos_ = stream_->Position();
  return true;
}

bool TTransporter::InternalGoto(int index) {
  if (index < 0 || !hasHeader_) return false;
  if (count_ >= 0 && index >= count_) return false;
  if (!resync_ && index == cur_) return true;
  if (resync_ || index < cur_) Restart();
  while (cur_ < index)
    if (!ReadNext()) return false;
  return true;
}

bool TTransporter::InternalHasRecordAfter(int index) {
  if (!hasHeader_) return false;
  if (count_ >= 0) return index + 1 < count_;
  if ((index != cur_ || resync_) && !InternalGoto(index)) return false;
  if (header_.IsLegacy()) return nextPos_ < header_.RecordsEnd;
  stream_->Seek(nextPos_, SeekOrigin::Begin);
  uint8_t status = 0;
  if (stream_->Read(&status, 1) == 1 && status == kIMDEndMark) {
    count_ = cur_ + 1;
    return false;
  }
  // Anything else is a record, or a fault that reading it will report.
  return true;
}

int TTransporter::InternalRecordCount() {
  if (!hasHeader_) return 0;
  if (count_ < 0) {
    int saved = cur_;
    if (resync_) Restart();
    while (ReadNext()) {
    }
    if (saved < 0) {
      Restart();
    } else {
      InternalGoto(saved);
    }
  }
  return count_;
}

TNativeValue TTransporter::InternalGetValue(int field) {
  if (cur_ < 0) return std::nullopt;
  int d = fieldToDescriptor_.at(static_cast<size_t>(field));
  const TIMDValue& v = current_.at(static_cast<size_t>(d));
  if (!v.Present) return std::nullopt;
  if (v.BlobPos >= 0) return ReadIMDBlobAt(*stream_, header_.Fields[static_cast<size_t>(d)], v.BlobPos);
  return v.Value;
}

// ---------------------------------------------------------------------------
// TSharedStream

TSharedStream::TSharedStream(const void* block, int64_t startPosition, int64_t size)
    : block_(static_cast<const uint8_t*>(block)), size_(size), position_(startPosition) {
  if (size < 0 || startPosition < 0 || (!block && size > 0)) throw EStreamError("Stream size error");
}

int64_t TSharedStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, block_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TSharedStream::Write(const void*, int64_t) { return 0; }

int64_t TSharedStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
  int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = target;
  return position_;
}

void TSharedStream::SetSize(int64_t) { throw EStreamError("Stream size error"); }

}  // namespace ztv
