// `ztvtool lzh decode` as a whole process against the straightforward
// decoder as a whole process (lzh_reference_decode), on the same 8 MiB
// stream: CPU time (user + system) of each process, best of ROUNDS
// interleaved runs, and the ratio reference / ours (above 1 means faster).
//
//   bench_lzh_tool [ROUNDS]      default 9
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/lzh/lzh.h"
#include "mixed_data.h"

extern char** environ;

namespace {

double RunCpu(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  struct rusage u {};
  ::wait4(pid, &status, 0, &u);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed: %s\n", argv[0]);
    std::exit(1);
  }
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  char tmpl[] = "/tmp/ztv-lzh-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::vector<uint8_t> plain = ztv::bench::MixedData(8u << 20);
  const std::vector<uint8_t> bits = ztv::TLZH::Encode(plain.data(), plain.size());
  const std::string in = dir + "/in.lzh", ours = dir + "/ours.out", ref = dir + "/ref.out";
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(bits.data()),
                                            static_cast<std::streamsize>(bits.size()));
  const std::string n = std::to_string(plain.size());
  double best = 1e30, bestRef = 1e30;
  for (int i = 0; i < rounds; ++i) {
    best = std::min(best, RunCpu({ZTVTOOL_PATH, "lzh", "decode", "--size", n, in, ours}));
    bestRef = std::min(bestRef, RunCpu({LZH_REFERENCE_PATH, n, in, ref}));
  }
  const std::string a = ReadAll(ours), b = ReadAll(ref);
  const std::string p(plain.begin(), plain.end());
  if (a != b || a.compare(0, p.size(), p) != 0) {
    std::fprintf(stderr, "outputs differ\n");
    return 1;
  }
  std::printf("LZH decode of 8 MiB (%zu compressed bytes) as whole processes, best of %d, CPU time\n", bits.size(),
              rounds);
  std::printf("  ztvtool lzh decode        %8.3f s\n", best);
  std::printf("  lzh_reference_decode      %8.3f s\n", bestRef);
  std::printf("  ratio reference / ours    %8.2f\n", bestRef / best);
  std::filesystem::remove_all(dir);
  return 0;
}
