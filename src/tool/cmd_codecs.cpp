// Checksums, the version rule and the codecs: crc32, version-applicable,
// lzh encode|decode, container pack|unpack.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/stream.h"
#include "core/version.h"
#include "formats/container/archiver.h"
#include "formats/lzh/lzh.h"
#include "tool/commands.h"

namespace ztv::tool {

namespace {

// An output the container routines truncate themselves, written beside the
// file it replaces: it starts as a copy of an existing file, so that a method
// that does nothing leaves the content as it was.
std::unique_ptr<TZVFileStream> OpenOutput(const TReplacement& replacement) {
  auto out = std::make_unique<TZVFileStream>(replacement.PartialName(), TZVFileStream::Mode::Create);
  std::error_code ec;
  if (std::filesystem::is_regular_file(replacement.Target(), ec)) {
    TZVFileStream old(replacement.Target(), TZVFileStream::Mode::OpenRead);
    out->CopyFrom(old, 0);
    out->SetPosition(0);
  }
  return out;
}

void AddCrc32(CLI::App& app) {
  auto* cmd = app.add_subcommand("crc32", "the system's CRC-32 (start 0, no inversion) of each file");
  auto files = std::make_shared<std::vector<std::string>>();
  cmd->add_option("FILE", *files, "files")->required();
  cmd->callback([files] {
    // Every file is read before anything is printed, so a failure leaves
    // stdout empty.
    std::vector<uint32_t> crcs;
    for (const std::string& f : *files) {
      TZVFileStream s(f, TZVFileStream::Mode::OpenRead);
      crcs.push_back(StreamCRC32(0, s, s.Size()));
    }
    for (size_t i = 0; i < files->size(); ++i) std::cout << Format("%08x  %s\n", crcs[i], (*files)[i]);
  });
}

void AddVersionApplicable(CLI::App& app) {
  auto* cmd = app.add_subcommand("version-applicable", "may an update SOURCE -> DEST be installed over CURRENT");
  auto args = std::make_shared<std::array<std::string, 3>>();
  cmd->add_option("SOURCE", (*args)[0], "version the update was made for")->required();
  cmd->add_option("DEST", (*args)[1], "version the update installs")->required();
  cmd->add_option("CURRENT", (*args)[2], "installed version")->required();
  cmd->callback([args] {
    std::cout << (IsVersionApplicable((*args)[0], (*args)[1], (*args)[2]) ? "true" : "false") << "\n";
  });
}

void AddLzh(CLI::App& app) {
  auto* lzh = app.add_subcommand("lzh", "bare LZH bit stream");
  lzh->require_subcommand(1);

  struct Paths {
    std::string in, out;
    int64_t size = 0;
  };
  auto enc = std::make_shared<Paths>();
  auto* encode = lzh->add_subcommand("encode", "compress IN into the LZH bit stream OUT");
  encode->add_option("IN", enc->in, "plain file")->required();
  encode->add_option("OUT", enc->out, "bit stream file")->required();
  encode->callback([enc] {
    TZVMemoryStream plain;
    plain.LoadFromFile(enc->in);
    const std::vector<uint8_t> bits = TLZH::Encode(plain.Memory(), static_cast<size_t>(plain.Size()));
    TZVMemoryStream(bits).SaveToFile(enc->out);
  });

  auto dec = std::make_shared<Paths>();
  auto* decode = lzh->add_subcommand("decode", "decode at least N bytes from the bit stream IN into OUT");
  decode->add_option("--size", dec->size, "plain length N")->required();
  decode->add_option("IN", dec->in, "bit stream file")->required();
  decode->add_option("OUT", dec->out, "plain file")->required();
  decode->callback([dec] {
    if (dec->size < INT32_MIN || dec->size > INT32_MAX)
      throw Exception(Format("Размер %d вне допустимых пределов", dec->size));
    TZVFileStream in(dec->in, TZVFileStream::Mode::OpenRead);
    TReplacement replacement(dec->out);
    TZVFileStream out(replacement.PartialName(), TZVFileStream::Mode::Create);
    // The decoder asks for about 255 bytes at a time and hands out 4 KiB:
    // both sides go through large buffers, so that the file system is
    // called once per megabyte rather than once per request.
    constexpr size_t kChunk = 1 << 20;
    std::vector<uint8_t> inBuf(kChunk), outBuf;
    outBuf.reserve(kChunk + 4096);
    size_t inPos = 0, inLen = 0;
    TLZHReadProc read = [&](uint8_t* buffer, uint16_t requested, uint16_t& delivered) {
      size_t done = 0;
      while (done < requested) {
        if (inPos == inLen) {
          inLen = static_cast<size_t>(in.Read(inBuf.data(), static_cast<int64_t>(inBuf.size())));
          inPos = 0;
          if (inLen == 0) break;
        }
        const size_t take = std::min<size_t>(requested - done, inLen - inPos);
        std::memcpy(buffer + done, inBuf.data() + inPos, take);
        inPos += take;
        done += take;
      }
      delivered = static_cast<uint16_t>(done);
    };
    // Everything the decoder produces, a final match past N included.
    TLZHWriteProc write = [&](const uint8_t* buffer, uint16_t count, uint16_t& taken) {
      outBuf.insert(outBuf.end(), buffer, buffer + count);
      if (outBuf.size() >= kChunk) {
        out.WriteBuffer(outBuf.data(), static_cast<int64_t>(outBuf.size()));
        outBuf.clear();
      }
      taken = count;
    };
    TLZH().Decode(static_cast<int32_t>(dec->size), read, write);
    out.WriteBuffer(outBuf.data(), static_cast<int64_t>(outBuf.size()));
    replacement.Commit();
  });
}

void AddContainer(CLI::App& app) {
  auto* container = app.add_subcommand("container", "the compressed stream container");
  container->require_subcommand(1);
  struct Args {
    std::string in, out;
    int64_t method = 0;
  };
  auto add = [container](const char* name, const char* help, bool pack) {
    auto args = std::make_shared<Args>();
    auto* cmd = container->add_subcommand(name, help);
    cmd->add_option("--method", args->method, "method code (low 8 bits: 0 LZH, 1-3 zlib, 4-6 LZMA)")->required();
    cmd->add_option("IN", args->in, "input file")->required();
    cmd->add_option("OUT", args->out, "output file")->required();
    cmd->callback([args, pack] {
      TZVFileStream in(args->in, TZVFileStream::Mode::OpenRead);
      TReplacement replacement(args->out);
      auto out = OpenOutput(replacement);
      // Only the low 8 bits count, as in the container.
      const int method = static_cast<int>(args->method & 0xFF);
      if (pack)
        PackStream(&in, out.get(), method);
      else
        UnPackStream(&in, out.get(), method);
      out.reset();
      replacement.Commit();
    });
  };
  add("pack", "pack IN into the container form of the method", true);
  add("unpack", "unpack the container IN with the method", false);
}

}  // namespace

void AddCodecCommands(CLI::App& app) {
  AddCrc32(app);
  AddVersionApplicable(app);
  AddLzh(app);
  AddContainer(app);
}

}  // namespace ztv::tool
