// The directory cleaner and the update cache clearing on real directories.
// Entries that cannot be deleted are made so for real: the cleaning runs in a
// child process as an unprivileged user, in a sticky directory where it may
// delete only its own files, or below a directory it may not write.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "ops/dir_clean.h"
#include "ops/main_operations.h"
#include "ops/scripted_interaction.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr uint8_t kCacheOptions = DeleteOptions::Recurse | DeleteOptions::RemoveSubDirs;  // 17

struct NoView : MainView {
  void UpdateStatusPanel(bool) override { ADD_FAILURE() << "the cache clearing redraws nothing"; }
  void CloseMainWindow() override { ADD_FAILURE() << "the cache clearing closes nothing"; }
};

class Ui : public ScriptedInteraction {
 public:
  DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                   DialogButton defaultButton, MessageIcon icon) override {
    defaults.push_back(defaultButton);
    EXPECT_EQ(buttons, DialogButtons::YesNo);
    EXPECT_EQ(icon, MessageIcon::Question);
    return ScriptedInteraction::Ask(caption, text, buttons, defaultButton, icon);
  }
  std::vector<DialogButton> defaults;
};

// The cache clearing of `dir` answered with `answer`; returns the events.
std::vector<std::string> ClearCache(const std::string& dir, DialogButton answer) {
  Ui ui;
  NoView view;
  FakeClock clock;
  MainOperations ops(ui, clock, view);
  ops.Updater().UpdateDirectory = dir;
  ui.Answer(answer);
  ops.btnClearCacheClick(TSender::Button);
  EXPECT_EQ(ui.defaults, std::vector<DialogButton>{DialogButton::No});
  EXPECT_TRUE(clock.Sleeps().empty());
  return ui.Events();
}

std::string Asked() { return "ask:Подтверждение|Очистить кэш обновлений?"; }
std::string Cleared(int count) {
  return "message:Подтверждение|Операция завершена! В процессе очистки кэша было удалено " + std::to_string(count) +
         " файлов.";
}

// The names in `dir` in the order the file system returns them.
std::vector<std::string> DirectoryOrder(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// Runs `body` in a child process as the unprivileged user and returns what
// it returned ("<child failed>" when the child could not run it).
std::string AsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "<child failed>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(99);
    std::string out;
    try {
      out = body();
    } catch (const std::exception& e) {
      out = std::string("<exception> ") + e.what();
    }
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) ::_exit(98);
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
  return out;
}

class DirCleanTest : public ::testing::Test {
 protected:
  // Entries made undeletable need distinct owners: only root can set them.
  void NeedRoot() {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "making entries undeletable for an unprivileged user needs root";
    }
    // The unprivileged child must reach the test's directory.
    ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
  }

  // A sticky, world-writable directory (like /tmp) holding five files, all
  // the unprivileged user's except the one met third, which is root's: the
  // user may delete every file but that one. Returns the names in the order
  // the walk meets them.
  std::vector<std::string> MakeCacheWithThirdFileLocked(const std::string& cache) {
    fs::create_directories(cache);
    for (const char* name : {"Files.DAT", "Files.001", "Files.002", "Files.003", "readme.txt"})
      WriteFile(cache + "/" + name, name);
    EXPECT_EQ(::chmod(cache.c_str(), 01777), 0);
    auto order = DirectoryOrder(cache);
    EXPECT_EQ(order.size(), 5u);
    for (size_t i = 0; i < order.size(); ++i) {
      if (i != 2) {
        EXPECT_EQ(::chown((cache + "/" + order[i]).c_str(), kNobody, kNobody), 0);
      }
    }
    return order;
  }

  TempDir dir_;
};

TEST_F(DirCleanTest, EmptyAndMissingDirectories) {
  const std::string cache = dir_ / "updates";
  fs::create_directories(cache);
  for (uint8_t options : {0, 1, 2, 8, 16, 17, 19, 27})
    EXPECT_EQ(DeleteDirContents(cache, options), 0u) << int(options);
  EXPECT_TRUE(fs::is_directory(cache));
  EXPECT_EQ(DeleteDirContents(dir_ / "missing", kCacheOptions), 0u);

  EXPECT_EQ(ClearCache(cache, DialogButton::Yes), (std::vector<std::string>{Asked(), Cleared(0)}));
  EXPECT_EQ(ClearCache(dir_ / "missing", DialogButton::Yes),
            (std::vector<std::string>{
                Asked(), "message:Обновление/восстановление ЗТВ|Директория " + (dir_ / "missing") + " не существует"}));
  EXPECT_TRUE(fs::is_directory(cache));
}

TEST_F(DirCleanTest, NestedDirectoriesGoBottomUpAndEachCounts) {
  const std::string cache = dir_ / "updates";
  auto fill = [&] {
    fs::create_directories(cache + "/_ZTV_UPDATE_/bin/deep");
    fs::create_directories(cache + "/a/b/c");
    fs::create_directories(cache + "/пусто");
    WriteFile(cache + "/Files.DAT", "descriptor");
    WriteFile(cache + "/_ZTV_UPDATE_/UpdateInstaller.exe", "installer");
    WriteFile(cache + "/_ZTV_UPDATE_/bin/deep/x.dll", "x");
  };
  fill();
  // 3 files and 7 directories: _ZTV_UPDATE_, bin, deep, a, b, c, пусто.
  EXPECT_EQ(DeleteDirContents(cache, kCacheOptions), 10u);
  EXPECT_TRUE(fs::is_directory(cache));
  EXPECT_TRUE(fs::is_empty(cache));

  // The cache clearing counts the same way; the directory itself stays.
  fill();
  EXPECT_EQ(ClearCache(cache, DialogButton::Yes), (std::vector<std::string>{Asked(), Cleared(10)}));
  EXPECT_TRUE(fs::is_directory(cache));
  EXPECT_TRUE(fs::is_empty(cache));

  // Answered No: nothing goes.
  fill();
  EXPECT_EQ(ClearCache(cache, DialogButton::No), std::vector<std::string>{Asked()});
  EXPECT_TRUE(fs::exists(cache + "/_ZTV_UPDATE_/bin/deep/x.dll"));
  EXPECT_EQ(fs::remove_all(cache), 11u);

  // A trailing separator changes nothing.
  fill();
  EXPECT_EQ(DeleteDirContents(cache + "/", kCacheOptions), 10u);
  EXPECT_TRUE(fs::is_empty(cache));
}

TEST_F(DirCleanTest, OptionsDecideHowDeepAndWhatGoes) {
  const std::string cache = dir_ / "updates";
  auto fill = [&] {
    fs::remove_all(cache);
    fs::create_directories(cache + "/a/b");
    fs::create_directories(cache + "/e");
    WriteFile(cache + "/f.txt", "f");
    WriteFile(cache + "/a/x.txt", "x");
    WriteFile(cache + "/a/b/y.txt", "y");
  };
  // Without descending only the top files go; sub-directories stay whole,
  // also when removing them is asked for.
  for (uint8_t options : {0, 16}) {
    fill();
    EXPECT_EQ(DeleteDirContents(cache, options), 1u) << int(options);
    EXPECT_FALSE(fs::exists(cache + "/f.txt"));
    EXPECT_TRUE(fs::exists(cache + "/a/x.txt"));
    EXPECT_TRUE(fs::exists(cache + "/a/b/y.txt"));
  }
  // Descending without removing: every file goes, every directory stays.
  fill();
  EXPECT_EQ(DeleteDirContents(cache, DeleteOptions::Recurse), 3u);
  EXPECT_TRUE(fs::is_directory(cache + "/a/b"));
  EXPECT_TRUE(fs::is_directory(cache + "/e"));
  EXPECT_TRUE(fs::is_empty(cache + "/a/b"));
  // Read-only files go too (with or without resetting their attributes).
  for (uint8_t options : {17, 25}) {
    fill();
    ::chmod((cache + "/a/x.txt").c_str(), 0444);
    ::chmod((cache + "/f.txt").c_str(), 0400);
    EXPECT_EQ(DeleteDirContents(cache, options), 6u) << int(options);
    EXPECT_TRUE(fs::is_empty(cache));
  }
}

TEST_F(DirCleanTest, LinksAreDeletedNeverFollowed) {
  const std::string cache = dir_ / "updates";
  fs::create_directories(cache);
  WriteFile(dir_ / "outside/keep/data.txt", "keep");
  WriteFile(dir_ / "outside/file.txt", "keep too");
  fs::create_directory_symlink(dir_ / "outside/keep", cache + "/to-dir");
  fs::create_symlink(dir_ / "outside/file.txt", cache + "/to-file");
  fs::create_symlink(dir_ / "nowhere", cache + "/dangling");
  fs::create_directories(cache + "/sub");
  fs::create_directory_symlink(dir_ / "outside", cache + "/sub/up");

  EXPECT_EQ(DeleteDirContents(cache, kCacheOptions | DeleteOptions::ResetAttributes), 5u);
  EXPECT_TRUE(fs::is_empty(cache));
  EXPECT_EQ(test::ReadFile(dir_ / "outside/keep/data.txt"), "keep");
  EXPECT_EQ(test::ReadFile(dir_ / "outside/file.txt"), "keep too");

  EXPECT_TRUE(IsDirectory(dir_.Path()));
  EXPECT_TRUE(IsDirectory(dir_ / "outside/"));
  EXPECT_FALSE(IsDirectory(dir_ / "outside/file.txt"));
  EXPECT_FALSE(IsDirectory(dir_ / "missing"));
  EXPECT_FALSE(IsDirectory(""));
}

TEST_F(DirCleanTest, WalkStopsAtTheThirdFileItCannotDeleteHavingCountedTwo) {
  NeedRoot();
  if (IsSkipped() || HasFatalFailure()) return;

  // The cleaner itself: two deletions, bit 31 for the failure, the rest left.
  const std::string cache = dir_ / "updates";
  auto order = MakeCacheWithThirdFileLocked(cache);
  ASSERT_EQ(order.size(), 5u);
  const std::string result =
      AsNobody([&] { return std::to_string(DeleteDirContents(cache, kCacheOptions)); });
  EXPECT_EQ(result, std::to_string(2u | kDeleteFailedBit));
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(fs::exists(cache + "/" + order[i]), i >= 2) << order[i];

  // The cache clearing does not report success: it warns with the two
  // deletions and the file that stayed.
  fs::remove_all(cache);
  order = MakeCacheWithThirdFileLocked(cache);
  const std::string events = AsNobody([&] {
    std::string joined;
    for (const auto& e : ClearCache(cache, DialogButton::Yes)) joined += e + "\n";
    return joined;
  });
  EXPECT_EQ(events, Asked() + "\n" +
                        "message:Обновление/восстановление ЗТВ|Кэш обновлений очищен не полностью: удалено 2 файлов, "
                        "не удалось удалить " + cache + "/" + order[2] + "\n");
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(fs::exists(cache + "/" + order[i]), i >= 2) << order[i];

  // Going on after failures deletes everything it can and still reports one.
  fs::remove_all(cache);
  order = MakeCacheWithThirdFileLocked(cache);
  EXPECT_EQ(AsNobody([&] {
              return std::to_string(DeleteDirContents(cache, kCacheOptions | DeleteOptions::ContinueOnError));
            }),
            std::to_string(4u | kDeleteFailedBit));
  EXPECT_EQ(DirectoryOrder(cache), std::vector<std::string>{order[2]});
}

TEST_F(DirCleanTest, FailureBelowStopsEveryLevelAndKeepsTheDirectory) {
  NeedRoot();
  if (IsSkipped() || HasFatalFailure()) return;
  // updates/sub holds only root's file in a sticky directory: the user
  // cannot delete it, so sub is not removed, and the walk ends there.
  const std::string cache = dir_ / "updates";
  fs::create_directories(cache + "/sub");
  WriteFile(cache + "/sub/locked", "root's");
  ASSERT_EQ(::chmod((cache + "/sub").c_str(), 01777), 0);
  ASSERT_EQ(::chown(cache.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(AsNobody([&] {
              std::string first;
              const uint32_t result = DeleteDirContents(cache, kCacheOptions, &first);
              return std::to_string(result) + " " + first;
            }),
            std::to_string(0u | kDeleteFailedBit) + " " + cache + "/sub/locked");
  EXPECT_TRUE(fs::exists(cache + "/sub/locked"));

  // A sub-directory the user may not read cannot be emptied: that is a
  // failure too, named by the directory.
  fs::create_directories(cache + "/closed");
  WriteFile(cache + "/closed/f", "f");
  ASSERT_EQ(::chmod((cache + "/closed").c_str(), 0700), 0);
  fs::remove_all(cache + "/sub");
  EXPECT_EQ(AsNobody([&] {
              std::string first;
              const uint32_t result = DeleteDirContents(cache, kCacheOptions, &first);
              return std::to_string(result) + " " + first;
            }),
            std::to_string(0u | kDeleteFailedBit) + " " + cache + "/closed");
  EXPECT_TRUE(fs::exists(cache + "/closed/f"));
  fs::remove_all(cache + "/closed");
  fs::create_directories(cache + "/sub");
  WriteFile(cache + "/sub/locked", "root's");
  ASSERT_EQ(::chmod((cache + "/sub").c_str(), 01777), 0);

  // Going on: the directory's removal is tried and fails as well.
  WriteFile(cache + "/other/x", "x");
  ASSERT_EQ(::chown((cache + "/other").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown((cache + "/other/x").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(AsNobody([&] {
              return std::to_string(DeleteDirContents(cache, kCacheOptions | DeleteOptions::ContinueOnError));
            }),
            std::to_string(2u | kDeleteFailedBit));
  EXPECT_FALSE(fs::exists(cache + "/other"));
  EXPECT_TRUE(fs::exists(cache + "/sub/locked"));
}

TEST_F(DirCleanTest, ResetAttributesMakesReadOnlyDirectoriesWritableFirst) {
  NeedRoot();
  if (IsSkipped() || HasFatalFailure()) return;
  // Everything belongs to the user, but "sub" is read-only: its file cannot
  // be deleted until the directory is made writable again.
  const std::string cache = dir_ / "updates";
  WriteFile(cache + "/sub/f.txt", "f");
  for (const std::string& p : {cache, cache + "/sub", cache + "/sub/f.txt"})
    ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod((cache + "/sub").c_str(), 0555), 0);

  EXPECT_EQ(AsNobody([&] { return std::to_string(DeleteDirContents(cache, kCacheOptions)); }),
            std::to_string(0u | kDeleteFailedBit));
  EXPECT_TRUE(fs::exists(cache + "/sub/f.txt"));
  EXPECT_EQ(AsNobody([&] {
              return std::to_string(DeleteDirContents(cache, kCacheOptions | DeleteOptions::ResetAttributes));
            }),
            "2");
  EXPECT_TRUE(fs::is_empty(cache));
}

}  // namespace
}  // namespace ztv
