// Peak memory and time of unpacking an update package.
//
//   bench_unpack [MIB [lzh|lzma]]      defaults: 512 MiB, lzma
//
// Builds a tree of MIB mebibytes (files of 1..16 MiB, half of them hard to
// compress), makes a package of 64 MiB parts from it, then unpacks it in a
// child process and reads the child's peak resident memory from the kernel.
// As references on the same machine in the same run it times the 7-Zip
// command-line program extracting the same tree from a .7z archive made with
// the same LZMA settings (one thread, 16 MiB dictionary), and `cp -r` of the
// tree (the bytes the unpack must write at the least), and reports the
// ratios, and the peak memory as a ratio to the package size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/update_package.h"

namespace fs = std::filesystem;

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs `body` in a child; returns its peak resident set in KiB.
template <typename F>
long ChildPeakKiB(F body, double& seconds) {
  double start = Now();
  pid_t pid = ::fork();
  if (pid == 0) {
    try {
      body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child failed: %s\n", e.what());
      ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  seconds = Now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "child did not succeed\n");
    std::exit(1);
  }
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int mib = argc > 1 ? std::atoi(argv[1]) : 512;
  const bool lzma = !(argc > 2 && std::string(argv[2]) == "lzh");
  char tmpl[] = "/tmp/ztv-unpack-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string root = tmpl, src = root + "/src", upd = root + "/upd", out = root + "/out";
  fs::create_directories(src);

  std::ofstream(src + "/UpdateInstaller.exe") << "#!/bin/sh\nexit 0\n";
  uint64_t x = 88172645463325252ull;
  std::string chunk(1 << 20, '\0');
  int64_t left = static_cast<int64_t>(mib) << 20;
  for (int i = 0; left > 0; ++i) {
    int64_t size = std::min<int64_t>(left, (1 + i % 16) << 20);
    std::ofstream f(src + "/file" + std::to_string(i) + ".bin", std::ios::binary);
    for (int64_t w = 0; w < size; w += static_cast<int64_t>(chunk.size())) {
      for (size_t k = 0; k < chunk.size(); k += 8) {
        // Odd files random, even files runs of text: half compresses.
        if (i % 2) {
          x ^= x << 13, x ^= x >> 7, x ^= x << 17;
          for (int b = 0; b < 8; ++b) chunk[k + b] = static_cast<char>(x >> (8 * b));
        } else {
          for (int b = 0; b < 8; ++b) chunk[k + b] = "workplace ledger row "[(k + b + i) % 21];
        }
      }
      f.write(chunk.data(), static_cast<std::streamsize>(std::min<int64_t>(size - w, chunk.size())));
    }
    left -= size;
  }

  double t0 = Now();
  ztv::BuildPackage(src, upd, ztv::TPackageBuildOptions{"7.1.2", "7.2.0", lzma, 64 << 20});
  double buildSeconds = Now() - t0;
  int64_t packageBytes = 0;
  int parts = 0;
  for (const auto& e : fs::directory_iterator(upd)) {
    packageBytes += static_cast<int64_t>(e.file_size());
    parts += e.path().filename() != "Files.DAT";
  }

  const std::string archive = root + "/ref.7z";
  if (std::system(("cd " + src + " && 7z a -bd -t7z -m0=lzma:d=16m -mx=5 -mmt=1 " + archive + " . >/dev/null").c_str()) != 0)
    return 1;

  double unpackSeconds = 0, cpSeconds = 0, sevenZipSeconds = 0;
  long peak = ChildPeakKiB([&] { ztv::UnpackPackage(upd, out, "7.1.2"); }, unpackSeconds);
  ChildPeakKiB(
      [&] {
        if (std::system(("cp -r " + src + " " + root + "/copy").c_str()) != 0) throw std::runtime_error("cp failed");
      },
      cpSeconds);
  ChildPeakKiB(
      [&] {
        if (std::system(("7z x -bd -o" + root + "/ref " + archive + " >/dev/null").c_str()) != 0)
          throw std::runtime_error("7z failed");
      },
      sevenZipSeconds);

  bool same = true;
  for (const auto& e : fs::directory_iterator(src))
    same = same && fs::file_size(e.path()) == fs::file_size(out + "/" + e.path().filename().string());

  std::printf("tree %d MiB, %s package %.1f MiB in %d parts (built in %.1f s)\n", mib, lzma ? "LZMA" : "LZH",
              packageBytes / 1048576.0, parts, buildSeconds);
  std::printf("unpack: %.2f s, peak resident %.1f MiB, tree %s\n", unpackSeconds, peak / 1024.0,
              same ? "complete" : "INCOMPLETE");
  std::printf("7z x of the same tree (LZMA, same settings): %.2f s\n", sevenZipSeconds);
  std::printf("cp -r of the same tree: %.2f s\n", cpSeconds);
  std::printf("ratio unpack/7z-x:          %.2f\n", unpackSeconds / sevenZipSeconds);
  std::printf("ratio unpack/cp:            %.2f\n", unpackSeconds / cpSeconds);
  std::printf("ratio peak memory/package:  %.3f (target: at most 64 MiB)\n",
              (peak * 1024.0) / static_cast<double>(packageBytes));
  fs::remove_all(root);
  return same ? 0 : 1;
}
