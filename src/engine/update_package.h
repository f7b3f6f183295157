// Update packages: the descriptor "Files.DAT" (length, IMD packet, CRC-32
// trailer) and the part files beside it, joined in reverse record order into
// one LZH bit stream or one LZMA container that decodes to a compound-file
// directory image.
//
// Nothing here holds the package in memory: parts are verified by reading
// them through, then decoded straight from the parts into the image file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/stream.h"
#include "engine/parts_stream.h"
#include "formats/imd/static_set.h"

namespace ztv {

inline constexpr const char* kDescriptorName = "Files.DAT";
inline constexpr const char* kPackedImageName = "_PACKED_ZTV_UPDATE_.DAT";
inline constexpr const char* kInstallerName = "UpdateInstaller.exe";

// Drops one trailing "/" or "\" (an empty path stays empty).
std::string ExcludeTrailingSlash(const std::string& path);

class TUpdatePackage {
 public:
  explicit TUpdatePackage(const std::string& updateDirectory);

  // Reads and checks the descriptor against the installed version. Failures
  // come as "Ошибка загрузки заголовка [%s]: %s" with the descriptor's path.
  void LoadHeader(const std::string& currentVersion);
  // Verifies every part (name, length, CRC-32), from the last "File" record
  // to the first. Failures come as "Ошибка обработки файла [%s]: %s".
  void AppendParts();
  // The decompressed length from the "SourceLength" record.
  int32_t SourceLength();
  // Decodes the joined parts into `out`.
  void DecompressJoint(TZVStream& out);

  bool UseLZMA() const { return useLZMA_; }
  const std::string& SourceVersion() const { return source_; }
  const std::string& DestVersion() const { return dest_; }
  const std::vector<TPackagePart>& Parts() const { return parts_; }
  TStaticSet& Descriptor() { return descriptor_; }

 private:
  void AppendPart(const std::string& fileName, int64_t length, uint32_t crc);

  std::string updateDirectory_;  // without its trailing slash
  TStaticSet descriptor_;
  bool useLZMA_ = false;
  std::string source_, dest_;
  std::vector<TPackagePart> parts_;  // in joining order
};

// What UnpackUpdate does after its status check: create and empty the unpack
// directory, verify, decode into "_PACKED_ZTV_UPDATE_.DAT", extract, delete
// the image.
void UnpackPackage(const std::string& updateDirectory, const std::string& unpackDirectory,
                   const std::string& currentVersion);

// Every check of the unpacking, decoding into nothing.
void VerifyPackage(const std::string& updateDirectory, const std::string& currentVersion);

struct TPackageBuildOptions {
  std::string sourceVersion;
  std::string destVersion;
  bool lzma = false;
  int64_t partSize = 0;  // 0: one part
};

// Makes "Files.DAT" and its parts in `outDirectory` from the tree `directory`,
// which must hold "UpdateInstaller.exe" at its top.
void BuildPackage(const std::string& directory, const std::string& outDirectory, const TPackageBuildOptions& options);

}  // namespace ztv
