#include "engine/parts_stream.h"

#include <algorithm>

#include "core/crc32.h"
#include "core/errors.h"

namespace ztv {

TPartsStream::TPartsStream(std::vector<TPackagePart> parts) : parts_(std::move(parts)) {
  for (const auto& p : parts_) {
    starts_.push_back(size_);
    size_ += p.length;
  }
}

void TPartsStream::SelectPart() {
  // The last part starting at or before the position: empty parts share
  // their start with the next one, so this is always a part with data
  // while the position is inside the stream.
  const int index =
      static_cast<int>(std::upper_bound(starts_.begin(), starts_.end(), position_) - starts_.begin()) - 1;
  if (index == current_) return;
  file_.reset();
  current_ = index;
  if (index < 0) return;
  const TPackagePart& part = parts_[static_cast<size_t>(index)];
  try {
    file_ = std::make_unique<TZVFileStream>(part.path, TZVFileStream::Mode::OpenRead);
    if (file_->Size() != part.length)
      throw Exception(Format("неверная длина - ожидалось %d, пришло %d", part.length, file_->Size()));
  } catch (const Exception& e) {
    file_.reset();
    current_ = -1;
    throw Exception(Format("Ошибка обработки файла [%s]: %s", part.path, e.what()));
  }
  sequential_ = position_ == starts_[static_cast<size_t>(index)];
  checkedUpTo_ = 0;
  crc_ = 0;
}

int64_t TPartsStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count && position_ < size_) {
    SelectPart();
    if (current_ < 0) break;
    const TPackagePart& part = parts_[static_cast<size_t>(current_)];
    const int64_t offset = position_ - starts_[static_cast<size_t>(current_)];
    const int64_t want = std::min(count - done, part.length - offset);
    file_->SetPosition(offset);
    const int64_t got = file_->Read(out + done, want);
    if (sequential_ && offset == checkedUpTo_) {
      crc_ = UpdateCRC32(crc_, out + done, static_cast<size_t>(std::max<int64_t>(got, 0)));
      checkedUpTo_ += std::max<int64_t>(got, 0);
      if (checkedUpTo_ == part.length) FinishSequentialCheck();
    } else {
      sequential_ = false;
    }
    if (got < want)
      throw Exception(Format("Ошибка обработки файла [%s]: %s", part.path, "ошибка формирования общего файла"));
    done += got;
    position_ += got;
  }
  return done;
}

void TPartsStream::FinishSequentialCheck() {
  const TPackagePart& part = parts_[static_cast<size_t>(current_)];
  sequential_ = false;
  if (crc_ != part.crc)
    throw Exception(Format("Ошибка обработки файла [%s]: %s", part.path, "неверная контрольная сумма"));
}

int64_t TPartsStream::Write(const void*, int64_t) { throw EStreamError("Stream write error"); }

int64_t TPartsStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
  int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  if (current_ >= 0) {
    // Returning to the start of the open part restarts its check.
    const int64_t start = starts_[static_cast<size_t>(current_)];
    if (target == start) {
      sequential_ = true;
      checkedUpTo_ = 0;
      crc_ = 0;
    } else if (target != position_) {
      sequential_ = sequential_ && target - start == checkedUpTo_;
    }
  }
  position_ = target;
  return position_;
}

void TPartsStream::SetSize(int64_t) { throw EStreamError("Stream size error"); }

}  // namespace ztv
