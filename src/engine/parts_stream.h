// The part files of an update package read as one stream, in joining order,
// without holding them in memory. Each part is opened when reading reaches
// it; its length and CRC-32 are checked again as it is read through, so a
// part changed after it was verified cannot slip into the decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/stream.h"

namespace ztv {

struct TPackagePart {
  std::string path;
  int64_t length = 0;
  uint32_t crc = 0;
};

class TPartsStream : public TZVStream {
 public:
  explicit TPartsStream(std::vector<TPackagePart> parts);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return size_; }

 private:
  // Opens the part that holds `position_` when it is not the open one.
  void SelectPart();
  void FinishSequentialCheck();

  std::vector<TPackagePart> parts_;
  std::vector<int64_t> starts_;
  int64_t size_ = 0;
  int64_t position_ = 0;
  int current_ = -1;
  std::unique_ptr<TZVFileStream> file_;
  // Running CRC of the open part while it is read from its start straight
  // through; a seek elsewhere in the part stops the check for that pass.
  bool sequential_ = false;
  int64_t checkedUpTo_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace ztv
