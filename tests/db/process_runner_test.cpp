#include "db/process_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/errors.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using Lines = std::vector<std::string>;

// Records the runner's waits and waits only briefly for real; its time
// stands still, so a time-out never ends a run that the child ends itself.
class PollClock : public Clock {
 public:
  void Sleep(int64_t milliseconds) override {
    sleeps_.push_back(milliseconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int64_t NowMs() override { return 0; }
  const std::vector<int64_t>& Sleeps() const { return sleeps_; }

 private:
  std::vector<int64_t> sleeps_;
};

class ProcessRunnerTest : public ::testing::Test {
 protected:
  // Writes a shell program into the test directory and returns its path.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_ / name;
    test::WriteFile(path, "#!/bin/sh\n" + body);
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
    return path;
  }

  // Runs a command line with both streams captured.
  void Run(const std::string& commandLine, uint32_t timeoutSec = 60) {
    runner_.OnStdOutput = [this](const std::string& line) { out_.push_back(line); };
    runner_.OnStdError = [this](const std::string& line) { err_.push_back(line); };
    runner_.Execute(0, commandLine, timeoutSec);
  }

  test::TempDir dir_;
  PollClock clock_;
  TProcessRunner runner_{clock_};
  Lines out_;
  Lines err_;
};

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

// A process that is gone or only waits to be reaped.
bool ProcessGone(pid_t pid) {
  const auto stat = test::ReadProcFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  const std::string& text = *stat;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

TEST(Win32ErrorText, FormatsTheMessageWithTheSystemText) {
  std::string text;
  errno = ENOENT;
  Win32ErrorText("Не удается создать pipe для StdOutput.", false, text);
  EXPECT_EQ(text, "Не удается создать pipe для StdOutput. Ошибка: " + SystemErrorText(ENOENT));
  errno = EACCES;
  try {
    Win32ErrorText("X.", true, text);
    FAIL() << "did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "X. Ошибка: " + SystemErrorText(EACCES));
  }
}

TEST(SplitCommandLine, FollowsTheRunTimeQuotingRules) {
  EXPECT_EQ(SplitCommandLine("  \"/opt/fb/bin/gbak\" -b -g \"/d/base_newDb.gdb\"  x "),
            (Lines{"/opt/fb/bin/gbak", "-b", "-g", "/d/base_newDb.gdb", "x"}));
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\gbak\" a\\b"), (Lines{"C:\\Program Files\\gbak", "a\\b"}));
  EXPECT_EQ(SplitCommandLine(R"(a\"b "c\\" d\\\"e "f""g")"), (Lines{"a\"b", "c\\", "d\\\"e", "f\"g"}));
  EXPECT_EQ(SplitCommandLine("\"\" x\"y z\"w"), (Lines{"", "xy zw"}));
  EXPECT_TRUE(SplitCommandLine(" \t ").empty());
  EXPECT_EQ(SplitCommandLine("\"open quote"), (Lines{"open quote"}));
}

TEST_F(ProcessRunnerTest, OutputIsCutIntoLines) {
  const std::string longLine(100, 'x');
  const std::string other = "0123456789012345678901234567890123456789-end";
  struct Case {
    std::string printed;  // printf format
    Lines lines;
  };
  const Case cases[] = {
      // Two lines in one piece; a last line without line end; lines longer
      // than one read; lines ended by a line feed alone.
      {"a\\r\\nb\\r\\n", {"a", "b"}},
      {"one\\r\\ntwo", {"one", "two"}},
      {longLine + "\\r\\n" + other + "\\r\\nshort", {longLine, other, "short"}},
      {"x\\ny\\n\\nz\\n", {"x", "y", "", "z"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    out_.clear();
    Run(Script("p" + std::to_string(n++) + ".sh", "printf '" + c.printed + "'\n"));
    EXPECT_EQ(out_, c.lines) << c.printed;
    EXPECT_EQ(runner_.ExitCode(), 0);
  }
  EXPECT_TRUE(err_.empty());
}

TEST_F(ProcessRunnerTest, ManyLinesKeepTheirOrder) {
  Run(Script("p.sh", "i=1\nwhile [ $i -le 3000 ]; do echo \"line $i\"; i=$((i+1)); done\n"));
  ASSERT_EQ(out_.size(), 3000u);
  for (size_t i = 0; i < out_.size(); ++i) ASSERT_EQ(out_[i], "line " + std::to_string(i + 1));
}

TEST_F(ProcessRunnerTest, BothStreamsAreCaptured) {
  Run(Script("p.sh", "echo out1\necho err1 >&2\nsleep 0.3\necho out2\necho err2 >&2\nexit 3\n"));
  EXPECT_EQ(out_, (Lines{"out1", "out2"}));
  EXPECT_EQ(err_, (Lines{"err1", "err2"}));
  EXPECT_EQ(runner_.ExitCode(), 3);
  // Every wait is one 200 ms poll of the clock.
  ASSERT_FALSE(clock_.Sleeps().empty());
  for (int64_t ms : clock_.Sleeps()) EXPECT_EQ(ms, 200);
}

TEST_F(ProcessRunnerTest, UncapturedStreamIsDiscarded) {
  runner_.OnStdOutput = [this](const std::string& line) { out_.push_back(line); };
  runner_.Execute(0, Script("p.sh", "echo to-err >&2\necho to-out\n"), 60);
  EXPECT_EQ(out_, (Lines{"to-out"}));
}

TEST_F(ProcessRunnerTest, QuotedArgumentsReachTheChild) {
  test::WriteFile(dir_ / "with space/keep", "");
  const std::string program = Script("with space/args.sh", "for a in \"$@\"; do echo \"[$a]\"; done\n");
  Run("\"" + program + "\" \"arg one\" x\\\"y $HOME `id`");
  EXPECT_EQ(out_, (Lines{"[arg one]", "[x\"y]", "[$HOME]", "[`id`]"}));
}

TEST_F(ProcessRunnerTest, ChildGetsOnlyItsStandardStreamsAndTheGivenEnvironment) {
  // A descriptor the caller left inheritable, as a client library's socket
  // may be.
  const int leaked = ::open((dir_ / "open-file").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(leaked, 3);
  ::setenv("ZTV_RUNNER_REPLACED", "caller", 1);
  runner_.Environment = {{"ISC_PASSWORD", "secret word"}, {"ZTV_RUNNER_REPLACED", "given"}};
  const std::string program = Script(
      "fds.sh",
      // One write per line: a line the child writes in two parts may reach
      // the runner as two when the pipe runs empty between them.
      "echo \"$(ls /proc/self/fd | sort -n | tr '\\n' ' ')\"\necho \"$ISC_PASSWORD|$ZTV_RUNNER_REPLACED|$HOME\"\n");
  Run(program);
  ::close(leaked);
  ::unsetenv("ZTV_RUNNER_REPLACED");
  // ls sees its three streams and the folder it reads (3), nothing else.
  ASSERT_EQ(out_.size(), 2u);
  EXPECT_EQ(out_[0], "0 1 2 3 ");
  EXPECT_EQ(out_[1], std::string("secret word|given|") + (std::getenv("HOME") ? std::getenv("HOME") : ""));
}

TEST_F(ProcessRunnerTest, HiddenChildHasNoTerminalAndNoInput) {
  // Fields 6 and 7 of /proc/PID/stat: the session and the terminal.
  Run(Script("p.sh", "cat\nset -- $(sed 's/^.*) //' /proc/$$/stat)\necho \"$$ $4 $5\"\n"), 5);
  EXPECT_EQ(runner_.ExitCode(), 0) << "cat must see the end of its input at once";
  ASSERT_EQ(out_.size(), 1u);
  std::istringstream fields(out_[0]);
  long pid = 0, session = -1, tty = -1;
  fields >> pid >> session >> tty;
  EXPECT_EQ(session, pid) << "a session of its own";
  EXPECT_EQ(tty, 0) << "no controlling terminal";
}

// Time stands still until the child has said something; from then on every
// wait advances it by its full length. Real waits stay short.
class ArmedClock : public Clock {
 public:
  void Sleep(int64_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // A child that never speaks must not hang the test.
    if (++sleeps_ > 5000) armed = true;
    if (armed) now_ += milliseconds;
  }
  int64_t NowMs() override { return now_; }
  std::atomic<bool> armed{false};

 private:
  int sleeps_ = 0;
  std::atomic<int64_t> now_{1000000};
};

TEST_F(ProcessRunnerTest, ChildOutlivingTheTimeoutIsKilledWithItsOutputDelivered) {
  ArmedClock clock;
  TProcessRunner runner(clock);
  Lines out;
  runner.OnStdOutput = [&](const std::string& line) {
    out.push_back(line);
    if (line == "begin") clock.armed = true;
  };
  runner.OnStdError = [](const std::string&) {};
  const auto started = std::chrono::steady_clock::now();
  runner.Execute(0, Script("p.sh", "sleep 300 &\necho $!\necho $$\necho begin\nwait\necho never\n"), 2);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2], "begin");
  EXPECT_EQ(runner.ExitCode(), TProcessRunner::kStillActive);
  EXPECT_TRUE(ProcessGone(static_cast<pid_t>(std::stol(out[1])))) << "the child";
  // The helper it started shares its group and goes too.
  const pid_t helper = static_cast<pid_t>(std::stol(out[0]));
  for (int i = 0; i < 100 && !ProcessGone(helper); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(ProcessGone(helper)) << "the child's helper";
}

TEST_F(ProcessRunnerTest, ProgramThatCannotStartRaisesWithTheSystemText) {
  const int before = OpenDescriptors();
  try {
    Run("\"" + (dir_ / "missing-program") + "\" -b");
    FAIL() << "started a missing program";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Не удается создать требуемый процесс. Ошибка: " + SystemErrorText(ENOENT));
  }
  try {
    Run("");
    FAIL() << "started an empty command line";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Не удается создать требуемый процесс. Ошибка: ", 0), 0u);
  }
  EXPECT_EQ(OpenDescriptors(), before) << "pipes left open";
}

TEST_F(ProcessRunnerTest, ErrorInAnEventEndsTheChild) {
  runner_.OnStdOutput = [](const std::string& line) {
    if (line == "stop") throw Exception("log full");
  };
  runner_.OnStdError = [](const std::string&) {};
  const int before = OpenDescriptors();
  const std::string pidFile = dir_ / "pid";
  try {
    runner_.Execute(0, Script("p.sh", "echo $$ > '" + pidFile + "'\necho stop\nexec sleep 300\n"), 60);
    FAIL() << "the event's error was lost";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "log full");
  }
  const pid_t pid = static_cast<pid_t>(std::stol(test::ReadFile(pidFile)));
  EXPECT_TRUE(ProcessGone(pid));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ProcessRunnerTest, RunnerServesSeveralRunsInTurn) {
  Run(Script("a.sh", "echo first\n"));
  Run(Script("b.sh", "echo second >&2\nexit 1\n"));
  EXPECT_EQ(out_, (Lines{"first"}));
  EXPECT_EQ(err_, (Lines{"second"}));
  EXPECT_EQ(runner_.ExitCode(), 1);
}

TEST_F(ProcessRunnerTest, OutputInCodePage1251BecomesUtf8) {
  // "Ошибка" in code page 1251.
  Run(Script("p.sh", "printf '\\316\\370\\350\\341\\352\\340\\r\\n'\n"));
  EXPECT_EQ(out_, (Lines{"Ошибка"}));
}

}  // namespace
}  // namespace ztv

namespace ztv {
namespace {

TEST_F(ProcessRunnerTest, EveryPollingPassReportsTheTimeSinceTheStart) {
  // The runner's clock advances by its waits and passes a little real time.
  class StepClock : public FakeClock {
   public:
    void Sleep(int64_t ms) override {
      FakeClock::Sleep(ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  } clock;
  TProcessRunner runner(clock);
  std::vector<int64_t> polls;
  Lines out;
  runner.OnStdOutput = [&](const std::string& line) { out.push_back(line); };
  runner.OnPoll = [&](int64_t elapsedMs) { polls.push_back(elapsedMs); };
  runner.Execute(0, Script("poll.sh", "echo one\nsleep 0.3\necho two\n"), 60);
  EXPECT_EQ(out, (Lines{"one", "two"}));
  ASSERT_GE(polls.size(), 2u);
  // One report per pass of 200 ms of the runner's clock, rising.
  for (size_t i = 0; i < polls.size(); ++i) EXPECT_EQ(polls[i], static_cast<int64_t>(i + 1) * 200);
}

}  // namespace
}  // namespace ztv
