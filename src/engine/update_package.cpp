#include "engine/update_package.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "backup/file_ops.h"
#include "backup/storage_restore.h"
#include "core/crc32.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/text.h"
#include "core/version.h"
#include "formats/container/archiver.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/transporter.h"
#include "formats/lzh/lzh.h"
#include "platform/paths.h"

namespace ztv {
namespace {

// A descriptor is a few records; anything near this size is not one.
constexpr int64_t kMaxDescriptorSize = 64 << 20;
constexpr int64_t kCopyBlock = 61440;

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/") == std::string::npos &&
         name.find('\0') == std::string::npos && !(name.size() >= 2 && name[1] == ':');
}

TLocateOptions IgnoreCase() {
  TLocateOptions o;
  o.CaseInsensitive = true;
  return o;
}

}  // namespace

std::string ExcludeTrailingSlash(const std::string& path) { return DropTrailingSeparator(path); }

TUpdatePackage::TUpdatePackage(const std::string& updateDirectory)
    : updateDirectory_(ExcludeTrailingSlash(updateDirectory)) {}

void TUpdatePackage::LoadHeader(const std::string& currentVersion) {
  try {
    TZVMemoryStream file;
    {
      TZVFileStream f(JoinPath(updateDirectory_, kDescriptorName), TZVFileStream::Mode::OpenRead);
      if (f.Size() > kMaxDescriptorSize) throw Exception("неверная длина файла");
      file.LoadFromStream(f);
    }
    const int64_t size = file.Size();
    file.SetPosition(0);
    if (size < 4) throw EStreamError("Stream read error");
    if (static_cast<int64_t>(file.ReadU32()) != size) throw Exception("неверная длина файла");
    if (size < 8) throw Exception("неверная контрольная сумма файла");
    file.SetPosition(size - 4);
    const uint32_t stored = file.ReadU32();
    if (UpdateCRC32(0, file.Memory(), static_cast<size_t>(size - 4)) != stored)
      throw Exception("неверная контрольная сумма файла");

    {
      file.SetPosition(4);
      TTransporter reader;
      reader.OpenOnStream(&file);
      descriptor_.Close();
      descriptor_.Assign(reader);
    }
    useLZMA_ = descriptor_.Locate("Kind", TVarValue("UseLZMA"), IgnoreCase());
    if (!descriptor_.Locate("Kind", TVarValue("SourceVersion"), IgnoreCase()))
      throw Exception("информация об исходной версии ЗТВ не обнаружена");
    source_ = descriptor_.FieldByName("FileName").AsString();
    if (!descriptor_.Locate("Kind", TVarValue("DestVersion"), IgnoreCase()))
      throw Exception("информация о новой версии ЗТВ не обнаружена");
    dest_ = descriptor_.FieldByName("FileName").AsString();
    if (!IsVersionApplicable(source_, dest_, currentVersion))
      throw Exception(Format("обновление предназначено для версии %s, текущая версия - %s, новая версия - %s", source_,
                             currentVersion, dest_));
  } catch (const Exception& e) {
    throw Exception(Format("Ошибка загрузки заголовка [%s]: %s", JoinPath(updateDirectory_, kDescriptorName), e.what()));
  }
}

void TUpdatePackage::AppendPart(const std::string& fileName, int64_t length, uint32_t crc) {
  const std::string path = JoinPath(updateDirectory_, fileName);
  try {
    // Parts lie in the update directory itself; a name that leads anywhere
    // else is not followed.
    if (!IsPlainFileName(fileName)) throw Exception("недопустимое имя файла части обновления");
    TZVFileStream part(path, TZVFileStream::Mode::OpenRead);
    const int64_t size = part.Size();
    if (size != length) throw Exception(Format("неверная длина - ожидалось %d, пришло %d", length, size));
    if (StreamCRC32(0, part, size) != crc) throw Exception("неверная контрольная сумма");
    if (part.Position() != size) throw Exception("ошибка формирования общего файла");
    parts_.push_back(TPackagePart{path, length, crc});
  } catch (const Exception& e) {
    throw Exception(Format("Ошибка обработки файла [%s]: %s", path, e.what()));
  }
}

void TUpdatePackage::AppendParts() {
  parts_.clear();
  descriptor_.SetFilter("Kind=\"File\"");
  descriptor_.SetFiltered(true);
  try {
    TField& name = descriptor_.FieldByName("FileName");
    TField& length = descriptor_.FieldByName("FileLength");
    TField& crc = descriptor_.FieldByName("FileCRC");
    descriptor_.Last();
    while (!descriptor_.Bof()) {
      AppendPart(name.AsString(), length.AsInteger(), static_cast<uint32_t>(crc.AsInteger()));
      descriptor_.Prior();
    }
  } catch (...) {
    descriptor_.SetFiltered(false);
    throw;
  }
  descriptor_.SetFiltered(false);
}

int32_t TUpdatePackage::SourceLength() {
  descriptor_.First();
  if (!descriptor_.Locate("Kind", TVarValue("SourceLength"), IgnoreCase()))
    throw Exception("Не удается считать длину запакованного файла");
  return descriptor_.FieldByName("FileLength").AsInteger();
}

void TUpdatePackage::DecompressJoint(TZVStream& out) {
  TPartsStream joint(parts_);
  if (useLZMA_) {
    UnPackStream(&joint, &out, 4);
    return;
  }
  const int32_t plain = SourceLength();
  TLZH codec;
  codec.Decode(
      plain,
      [&](uint8_t* buffer, uint16_t requested, uint16_t& delivered) {
        delivered = static_cast<uint16_t>(joint.Read(buffer, requested));
      },
      [&](const uint8_t* buffer, uint16_t count, uint16_t& taken) {
        out.WriteBuffer(buffer, count);
        taken = count;
      });
}

void UnpackPackage(const std::string& updateDirectory, const std::string& unpackDirectory,
                   const std::string& currentVersion) {
  if (!DirectoryExists(unpackDirectory) && ::mkdir(unpackDirectory.c_str(), 0777) != 0)
    throw Exception("Не удается создать директорию для распаковки обновления");
  if (!ClearDirectory(unpackDirectory, false)) throw Exception("Ошибка очистки директории для распаковки");

  TUpdatePackage package(updateDirectory);
  package.LoadHeader(currentVersion);
  package.AppendParts();
  package.SourceLength();  // required in both forms, checked after the parts

  // The decompressed image is a work file of this unpacking only: it goes
  // whether the unpacking succeeds or fails.
  const std::string image = JoinPath(unpackDirectory, kPackedImageName);
  struct RemoveImage {
    const std::string& path;
    ~RemoveImage() { ::unlink(path.c_str()); }
  } removeImage{image};
  {
    TZVFileStream out(image, TZVFileStream::Mode::Create);
    package.DecompressJoint(out);
  }
  RestoreDirFromStorage(image, unpackDirectory, false);
}

void VerifyPackage(const std::string& updateDirectory, const std::string& currentVersion) {
  TUpdatePackage package(updateDirectory);
  package.LoadHeader(currentVersion);
  package.AppendParts();
  package.SourceLength();
  if (package.UseLZMA()) {
    // The container checks its own CRC-32 while decoding.
    TZVNullStream nothing;
    package.DecompressJoint(nothing);
    return;
  }
  // A bare LZH stream has no checksum: the decoded image itself is checked,
  // as the extraction would read it, in a scratch file that is removed.
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ztv-verify-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw EWin32("Не удается создать временный файл для проверки обновления");
  ::close(fd);
  const std::string image = name.data();
  try {
    {
      TZVFileStream out(image, TZVFileStream::Mode::Create);
      package.DecompressJoint(out);
    }
    CheckStorageImage(image);
  } catch (...) {
    ::unlink(image.c_str());
    throw;
  }
  ::unlink(image.c_str());
}

void BuildPackage(const std::string& directory, const std::string& outDirectory, const TPackageBuildOptions& options) {
  const std::string dir = ExcludeTrailingSlash(directory);
  if (!FileExists(JoinPath(dir, kInstallerName)))
    throw Exception(Format("В каталоге обновления нет программы установки [%s]", JoinPath(dir, kInstallerName)));
  if (options.sourceVersion.empty() || options.destVersion.empty())
    throw Exception("Не заданы исходная и новая версии обновления");
  const std::string out = ExcludeTrailingSlash(outDirectory);
  if (!DirectoryExists(out) && ::mkdir(out.c_str(), 0777) != 0)
    throw EWin32(Format("Не удается создать каталог [%s]", out));

  // The directory image goes to a temporary file, then is compressed.
  const std::string image = JoinPath(out, std::string(kPackedImageName) + ".tmp");
  const std::string packed = JoinPath(out, "_PACKED_.tmp");
  struct Cleanup {
    std::string a, b;
    ~Cleanup() {
      ::unlink(a.c_str());
      ::unlink(b.c_str());
    }
  } cleanup{image, packed};
  PackDirToStorage(dir, image);

  int64_t plainSize = 0;
  {
    TZVFileStream in(image, TZVFileStream::Mode::OpenRead);
    plainSize = in.Size();
    if (plainSize > INT32_MAX) throw Exception("Обновление слишком велико: длина образа больше 2 ГБ");
    TZVFileStream dest(packed, TZVFileStream::Mode::Create);
    if (options.lzma) {
      PackStream(&in, &dest, 4);
    } else {
      TZVMemoryStream whole;
      whole.LoadFromStream(in);
      std::vector<uint8_t> bits = TLZH::Encode(whole.Memory(), static_cast<size_t>(whole.Size()));
      dest.WriteBuffer(bits.data(), static_cast<int64_t>(bits.size()));
    }
  }

  // Split into parts; the first piece is named by the last "File" record.
  TStaticSet descriptor;
  descriptor.AddField("Kind", TFieldType::String, 20);
  descriptor.AddField("FileName", TFieldType::String, 255);
  descriptor.AddField("FileLength", TFieldType::Integer);
  descriptor.AddField("FileCRC", TFieldType::Integer);
  descriptor.Open();
  struct Piece {
    std::string name;
    int64_t length;
    uint32_t crc;
  };
  std::vector<Piece> pieces;
  // Every part is written beside the file it replaces; all are put in place
  // once all are written, and the descriptor last, so that a failure before
  // then leaves the package that was there.
  std::vector<std::unique_ptr<TReplacement>> parts;
  {
    TZVFileStream in(packed, TZVFileStream::Mode::OpenRead);
    const int64_t total = in.Size();
    const int64_t partSize = options.partSize > 0 ? options.partSize : std::max<int64_t>(total, 1);
    int64_t done = 0;
    int n = 0;
    do {
      ++n;
      const int64_t len = std::min(partSize, total - done);
      Piece piece{Format("Files.%03d", n), len, 0};
      parts.push_back(std::make_unique<TReplacement>(JoinPath(out, piece.name)));
      TZVFileStream part(parts.back()->PartialName(), TZVFileStream::Mode::Create);
      std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(len, 1), kCopyBlock * 16)));
      for (int64_t left = len; left > 0;) {
        int64_t k = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
        in.ReadBuffer(buf.data(), k);
        piece.crc = UpdateCRC32(piece.crc, buf.data(), static_cast<size_t>(k));
        part.WriteBuffer(buf.data(), k);
        left -= k;
      }
      pieces.push_back(piece);
      done += len;
    } while (done < total);
  }
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    descriptor.Append();
    descriptor.FieldByName("Kind").SetAsString("File");
    descriptor.FieldByName("FileName").SetAsString(it->name);
    descriptor.FieldByName("FileLength").SetAsInteger(static_cast<int32_t>(it->length));
    descriptor.FieldByName("FileCRC").SetAsInteger(static_cast<int32_t>(it->crc));
    descriptor.Post();
  }
  auto add = [&](const char* kind, const std::string& name, int32_t length) {
    descriptor.Append();
    descriptor.FieldByName("Kind").SetAsString(kind);
    descriptor.FieldByName("FileName").SetAsString(name);
    descriptor.FieldByName("FileLength").SetAsInteger(length);
    descriptor.Post();
  };
  add("SourceVersion", options.sourceVersion, 0);
  add("DestVersion", options.destVersion, 0);
  add("SourceLength", "", static_cast<int32_t>(plainSize));
  if (options.lzma) add("UseLZMA", "", 0);

  TZVMemoryStream file;
  file.WriteU32(0);
  descriptor.First();
  SaveDataSetToStream(descriptor, file);
  file.WriteU32(0);
  const int64_t size = file.Size();
  file.SetPosition(0);
  file.WriteU32(static_cast<uint32_t>(size));
  file.SetPosition(size - 4);
  file.WriteU32(UpdateCRC32(0, file.Memory(), static_cast<size_t>(size - 4)));
  TReplacement descriptorFile(JoinPath(out, kDescriptorName));
  {
    TZVFileStream stream(descriptorFile.PartialName(), TZVFileStream::Mode::Create);
    file.SaveToStream(stream);
  }
  // Everything is written and synced before the first rename; the
  // descriptor goes last, so that a package whose renames were cut short
  // fails its check instead of pairing new parts with old checksums.
  for (auto& part : parts) part->Prepare();
  descriptorFile.Prepare();
  for (auto& part : parts) part->Commit();
  descriptorFile.Commit();
}

}  // namespace ztv
