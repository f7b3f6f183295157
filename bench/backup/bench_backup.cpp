// Version backup speed against GNU tar on the same trees, in the same run.
//
//   bench_backup [RUNS [MAXFILES]]     defaults: 3 runs, 100000 files
//
// Each case is timed as whole processes, `ztvtool backup create|restore`
// against `tar cf|xf` on the same tree, alternately, RUNS times each, and
// the best time kept (the page cache stays warm); wall time and the CPU
// time of the process (user + system) are both reported, the latter being
// steadier on a shared machine. Cases:
//   - large files: 2,000 files of 200 MiB in all, in 40 folders;
//   - small files: 2,000, 16,000 and 100,000 files of 100 bytes in 200
//     folders (MAXFILES leaves out the larger trees).
// Restores run into an empty folder (a new one for every run) and over an
// existing copy of the tree; tar extracts the same way. The two programs
// take turns at going first. Reports seconds, the ratio ours / tar (below
// 1 means faster than tar), and how the times grow with the number of
// files: from the smallest tree to the largest, and from 16,000 to 100,000.
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
extern char** environ;

namespace {

int g_runs = 3;

struct Times {
  double wall = 1e100, cpu = 1e100;  // seconds; cpu is user + system time of the process
};

// Runs a program to its end.
Times RunTimed(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  Times t;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed: %s\n", args[0].c_str());
    std::exit(1);
  }
  return t;
}

void KeepBest(Times& best, const Times& t) {
  best.wall = std::min(best.wall, t.wall);
  best.cpu = std::min(best.cpu, t.cpu);
}

struct Pair {
  Times ours, tar;
};

// The command line of one timed run; `run` counts the runs of a case.
using Command = std::function<std::vector<std::string>(int run)>;

// Times `ours` and `tar` alternately, the one that goes first changing from
// round to round: a file system may be slower right after many deletions
// (ext4 passes over inodes freed in the last seconds when it allocates new
// ones), and neither side should always run in the other's wake. `prepare`
// runs untimed before each.
Pair Compare(const std::function<void()>& prepare, const Command& ours, const Command& tar) {
  Pair best;
  int run = 0;
  for (int i = 0; i < g_runs; ++i) {
    for (int k = 0; k < 2; ++k) {
      const bool oursNow = (k == 0) == (i % 2 == 0);
      prepare();
      KeepBest(oursNow ? best.ours : best.tar, RunTimed((oursNow ? ours : tar)(run++)));
    }
  }
  return best;
}

Command Fixed(std::vector<std::string> args) {
  return [args = std::move(args)](int) { return args; };
}

void WriteFile(const std::string& path, const char* data, size_t n) {
  std::ofstream out(path, std::ios::binary);
  out.write(data, static_cast<std::streamsize>(n));
}

// Files of varied sizes adding up to `mib` mebibytes in 40 folders.
void MakeLargeTree(const std::string& root, int files, int mib) {
  std::mt19937 rng(7);
  std::vector<double> weights(static_cast<size_t>(files));
  double weightSum = 0;
  for (auto& w : weights) weightSum += (w = std::uniform_real_distribution<double>(0.05, 2.0)(rng));
  std::string block(4 << 20, '\0');
  for (auto& c : block) c = static_cast<char>(rng());
  for (int i = 0; i < files; ++i) {
    const std::string dir = root + "/dir" + std::to_string(i % 40);
    fs::create_directories(dir);
    const size_t size = static_cast<size_t>(mib * 1048576.0 * weights[static_cast<size_t>(i)] / weightSum);
    WriteFile(dir + "/file" + std::to_string(i) + ".bin", block.data() + (i * 4099) % 4096,
              std::min(size, block.size() - 4096));
  }
}

// `files` files of 100 bytes in 200 folders.
void MakeSmallTree(const std::string& root, int files) {
  std::string data(100, 'x');
  for (int i = 0; i < files; ++i) {
    const std::string dir = root + "/dir" + std::to_string(i % 200);
    if (i < 200) fs::create_directories(dir);
    data.replace(0, 8, std::to_string(10000000 + i));
    WriteFile(dir + "/file" + std::to_string(i) + ".txt", data.data(), data.size());
  }
}

struct CaseResult {
  std::string name;
  Pair create, restoreEmpty, restoreOver;
};

void PrintRow(const char* what, const Pair& p);

CaseResult RunCase(const std::string& ztvtool, const std::string& root, const std::string& name,
                   const std::function<void(const std::string&)>& make) {
  const std::string src = root + "/src", dst = root + "/dst";
  const std::string ours = root + "/Backup.DAT", theirs = root + "/gnu.tar";
  fs::remove_all(root);
  fs::create_directories(root);
  make(src);
  CaseResult r;
  r.name = name;
  auto nothing = [] {};
  // One untimed pass of each warms the page cache and leaves both archives.
  RunTimed({ztvtool, "backup", "create", src, ours});
  RunTimed({"tar", "cf", theirs, "-C", src, "."});
  r.create = Compare(nothing, Fixed({ztvtool, "backup", "create", src, ours}), Fixed({"tar", "cf", theirs, "-C", src, "."}));
  // Into an empty folder: a new folder for every run, so that no run starts
  // right after the deletion of the tree the run before it wrote.
  const std::string fresh = root + "/fresh";
  auto freshDir = [&](int run) {
    const std::string dir = fresh + "/" + std::to_string(run);
    fs::create_directories(dir);
    return dir;
  };
  r.restoreEmpty = Compare(nothing, [&](int run) { return std::vector<std::string>{ztvtool, "backup", "restore", ours, freshDir(run)}; },
                           [&](int run) { return std::vector<std::string>{"tar", "xf", theirs, "-C", freshDir(run)}; });
  // Over an existing copy of the tree: both replace every file.
  fs::create_directories(dst);
  RunTimed({"tar", "xf", theirs, "-C", dst});
  r.restoreOver = Compare(nothing, Fixed({ztvtool, "backup", "restore", ours, dst}), Fixed({"tar", "xf", theirs, "-C", dst}));
  fs::remove_all(root);
  std::printf("%s\n", r.name.c_str());
  PrintRow("backup create / tar cf", r.create);
  PrintRow("backup restore, empty / tar xf", r.restoreEmpty);
  PrintRow("backup restore, over copy / tar xf", r.restoreOver);
  return r;
}

void PrintRow(const char* what, const Pair& p) {
  std::printf("  %-34s wall %7.3f s  tar %7.3f s  ratio %5.2f | cpu %7.3f s  tar %7.3f s  ratio %5.2f\n", what,
              p.ours.wall, p.tar.wall, p.ours.wall / p.tar.wall, p.ours.cpu, p.tar.cpu, p.ours.cpu / p.tar.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_runs = std::max(1, std::atoi(argv[1]));
  const int maxFiles = argc > 2 ? std::atoi(argv[2]) : 100000;
  const std::string ztvtool = ZTVTOOL_PATH;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it is measured

  char tmpl[] = "/var/tmp/ztv-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  std::printf("version backup against GNU tar, whole processes, best of %d runs\n", g_runs);

  std::vector<CaseResult> results;
  results.push_back(RunCase(ztvtool, base + "/large", "2,000 files, 200 MiB, 40 folders",
                            [](const std::string& src) { MakeLargeTree(src, 2000, 200); }));
  std::map<int, CaseResult> small;
  for (int files : {2000, 16000, 100000}) {
    if (files > maxFiles) continue;
    char name[64];
    std::snprintf(name, sizeof name, "%d files of 100 bytes, 200 folders", files);
    small[files] = RunCase(ztvtool, base + "/small", name, [files](const std::string& src) { MakeSmallTree(src, files); });
    results.push_back(small[files]);
  }
  auto growth = [](const char* what, const Pair& x, const Pair& y) {
    std::printf("  %-34s wall: ours %5.2fx  tar %5.2fx | cpu: ours %5.2fx  tar %5.2fx\n", what,
                y.ours.wall / x.ours.wall, y.tar.wall / x.tar.wall, y.ours.cpu / x.ours.cpu, y.tar.cpu / x.tar.cpu);
  };
  // From the smallest tree to the largest, and over the last step.
  const std::vector<std::pair<int, int>> steps{{2000, 100000}, {16000, 100000}, {2000, 16000}};
  for (const auto& [from, to] : steps) {
    if (!small.count(from) || !small.count(to)) continue;
    const CaseResult &a = small[from], &b = small[to];
    std::printf("growth %d -> %d files (%.2f is linear)\n", from, to, static_cast<double>(to) / from);
    growth("backup create", a.create, b.create);
    growth("backup restore, empty", a.restoreEmpty, b.restoreEmpty);
    growth("backup restore, over copy", a.restoreOver, b.restoreOver);
  }
  fs::remove_all(base);
  return 0;
}
