// CRC-32 as the update packages and the stream container store it: the
// reflected polynomial 0xEDB88320 with start value 0 and no final inversion
// ("123456789" gives 0x2DFD2D88). Results chain: the value returned by one
// call is the start value of the next.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ztv {

class TZVStream;

// The standard table of the reflected CRC-32: entry n is the register after
// shifting the single byte n through it.
extern const uint32_t kCRC32Table[256];

// Folds `length` bytes into the running CRC. A null buffer returns `crc`
// unchanged. Uses carry-less multiplication where the processor has it.
uint32_t UpdateCRC32(uint32_t crc, const void* buffer, size_t length);

// The same checksum computed one byte at a time through kCRC32Table; the
// reference the fast paths are checked against.
uint32_t UpdateCRC32Bytewise(uint32_t crc, const void* buffer, size_t length);

// Folds the next `count` bytes of `stream` (from its current position) into
// the running CRC, reading blocks of at most 61,440 bytes. Stops after a
// short block: the CRC then covers only the bytes delivered. The position
// ends after the last byte read.
uint32_t StreamCRC32(uint32_t crc, TZVStream& stream, int64_t count);

}  // namespace ztv
