// Version backup speed against GNU tar on the same tree, in the same run.
//
//   bench_backup [FILES [MIB [RUNS]]]     defaults: 2000 files, 200 MiB, 3 runs
//
// Builds a tree of FILES files totalling MIB mebibytes in a temporary
// directory (it stays in the page cache), then times, RUNS times each and
// keeping the best: our Backup against `tar cf`, and our Restore into an
// empty directory against `tar xf` into an empty directory. Reports seconds
// and the ratio ours / tar (below 1 means faster than tar).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "backup/tar_backup.h"

namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Best(int runs, const std::function<void()>& prepare, const std::function<void()>& f) {
  double best = 1e100;
  for (int i = 0; i < runs; ++i) {
    prepare();
    best = std::min(best, Seconds(f));
  }
  return best;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "command failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int mib = argc > 2 ? std::atoi(argv[2]) : 200;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

  char tmpl[] = "/tmp/ztv-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  const std::string src = root + "/src";

  // The tree: 40 directories, files of varied sizes adding up to the total.
  std::mt19937 rng(7);
  std::vector<size_t> sizes(static_cast<size_t>(files));
  const double total = static_cast<double>(mib) * 1024 * 1024;
  double weightSum = 0;
  std::vector<double> weights(sizes.size());
  for (auto& w : weights) weightSum += (w = std::uniform_real_distribution<double>(0.05, 2.0)(rng));
  size_t bytes = 0;
  std::string block(1 << 20, '\0');
  for (auto& c : block) c = static_cast<char>(rng());
  for (size_t i = 0; i < sizes.size(); ++i) {
    sizes[i] = static_cast<size_t>(total * weights[i] / weightSum);
    std::string dir = src + "/dir" + std::to_string(i % 40);
    fs::create_directories(dir);
    std::ofstream out(dir + "/file" + std::to_string(i) + ".bin", std::ios::binary);
    for (size_t left = sizes[i]; left > 0;) {
      size_t n = std::min(left, block.size());
      out.write(block.data() + (i * 4099) % 4096, static_cast<std::streamsize>(std::min(n, block.size() - 4096)));
      left -= std::min(n, block.size() - 4096);
    }
    bytes += sizes[i];
  }
  std::printf("tree: %d files in 40 directories, %.1f MiB, best of %d runs\n", files, bytes / 1048576.0, runs);

  const std::string ours = root + "/Backup.DAT", theirs = root + "/gnu.tar";
  const std::string dst = root + "/dst";
  auto clearDst = [&] {
    fs::remove_all(dst);
    fs::create_directory(dst);
  };
  auto nothing = [] {};

  // Warm the page cache with one pass of each.
  ztv::TTarBackup(src, ours).Backup();
  Run("tar cf " + theirs + " -C " + src + " .");

  double backup = Best(runs, nothing, [&] { ztv::TTarBackup(src, ours).Backup(); });
  double tarC = Best(runs, nothing, [&] { Run("tar cf " + theirs + " -C " + src + " ."); });
  double restore = Best(runs, clearDst, [&] { ztv::TTarBackup(dst, ours).Restore(); });
  double tarX = Best(runs, clearDst, [&] { Run("tar xf " + theirs + " -C " + dst); });

  std::printf("%-28s %8.3f s\n", "Backup (ours)", backup);
  std::printf("%-28s %8.3f s\n", "tar cf (GNU tar)", tarC);
  std::printf("%-28s %8.3f s\n", "Restore (ours, empty dir)", restore);
  std::printf("%-28s %8.3f s\n", "tar xf (GNU tar, empty dir)", tarX);
  std::printf("ratio backup/tar-cf:   %.2f\n", backup / tarC);
  std::printf("ratio restore/tar-xf:  %.2f\n", restore / tarX);
  fs::remove_all(root);
  return 0;
}
