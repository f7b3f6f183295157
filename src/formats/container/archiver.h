// The compressed stream container: one packed stream with a CRC-32 trailer
// (start 0, no inversion) over everything before it. The caller names the
// family by a method code; only its low 8 bits count:
//   0        LZH:  S (u32), plain size (u32), LZH bits, CRC
//   1, 2, 3  zlib: one zlib stream (15-bit window), CRC
//   4, 5, 6  LZMA: P (u32), U (u32), 5 property bytes, P bytes of LZMA, CRC
//   7..255   nothing is done and no error is raised
// All integers little-endian; S is the size of the whole packed stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/stream.h"
#include "formats/lzh/lzh.h"
#include "formats/lzma/seven_zip.h"

namespace ztv {

class TStreamArchiver {
 public:
  TStreamArchiver() = default;
  TStreamArchiver(const TStreamArchiver&) = delete;
  TStreamArchiver& operator=(const TStreamArchiver&) = delete;

  // Binds the streams: a given stream replaces the bound one, a null one
  // keeps it. With both bound the output is truncated to size 0; otherwise
  // raises "[%s] переданы не корректные указатели".
  void CheckStream(TZVStream* input, TZVStream* output);

  // Each leaves the output holding the decoded bytes, positioned at their
  // end. The input must be seekable and know its size.
  void LZHUnPackStream(TZVStream* input, TZVStream* output);
  void ZLibUnPackStream(TZVStream* input, TZVStream* output);
  void LZMAUnPackStream(TZVStream* input, TZVStream* output);

  // The pack side, producing the layouts above from the whole input (from
  // position 0). For the tools and tests.
  void LZHPackStream(TZVStream* input, TZVStream* output);
  void ZLibPackStream(TZVStream* input, TZVStream* output);
  void LZMAPackStream(TZVStream* input, TZVStream* output);

 private:
  std::unique_ptr<TLZH> codec_;  // alive only during an LZH unpack
  TZVStream* input_ = nullptr;   // not owned
  TZVStream* output_ = nullptr;  // not owned
  int32_t plainSize_ = 0;
};

// Unpacks `input` into `output` with the family of `method` and rewinds the
// output. Errors of the general class come back as "[UnPackStream] message".
void UnPackStream(TZVStream* input, TZVStream* output, int method);

// The pack side of UnPackStream (errors as "[PackStream] message").
void PackStream(TZVStream* input, TZVStream* output, int method);

// Nothing for result 0; otherwise raises
// "Ошибка LZMA во время [%s]. Код ошибки: %d" with the stage and the result.
void CheckLZMAResult(sevenzip::HRESULT result, const std::string& stage);

}  // namespace ztv
