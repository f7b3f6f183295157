// The optimisation against the real Firebird server on loopback (the shared
// test instance of `scripts/firebird start`) with the distribution's gbak:
// the counters of the list, the whole cycle, and the roads where a gbak run
// fails, outlives its time-out or asks for FIX_FSS_METADATA. Stand-ins for
// gbak are shell scripts that hand over to the real gbak where they do not
// play a failure.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "core/text.h"
#include "db/file_lock.h"
#include "db/firebird_instance.h"
#include "firebird_fixture.h"
#include "multiregistry/registry_store.h"
#include "ops/backup_restore.h"
#include "ops/scripted_interaction.h"
#include "platform/paths.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

using test::ReadFile;
using test::ServerName;
using test::WriteFile;

// Polls pass for real (briefly) so that gbak has its time; the fixed waits
// are recorded and cut short.
class PollClock : public FakeClock {
 public:
  void Sleep(int64_t ms) override {
    FakeClock::Sleep(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(ms, 20)));
  }
};

// Every wait counts a thousand times: a time-out of hours passes in a
// moment of real time.
class HurryClock : public FakeClock {
 public:
  void Sleep(int64_t ms) override {
    FakeClock::Sleep(ms * 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// Records the default button of every question, then lets the scripted
// interaction answer.
class DefaultsRecorder : public ScriptedInteraction {
 public:
  DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                   DialogButton defaultButton, MessageIcon icon) override {
    defaults.push_back(defaultButton);
    return ScriptedInteraction::Ask(caption, text, buttons, defaultButton, icon);
  }
  std::vector<DialogButton> defaults;
};

// Whether the rows of a table, read through isql, are the expected text.
std::string IsqlOutput(const std::string& name, const std::string& sql, test::TempDir& dir) {
  const std::string script = dir / "query.sql";
  WriteFile(script, "SET SQL DIALECT 1;\nCONNECT '" + name + "' USER 'SYSDBA' PASSWORD '" +
                        test::kSysdbaPassword + "';\n" + sql + "\n");
  std::string output;
  test::RunShell("isql-fb -b -q -i '" + script + "'", output);
  return output;
}

class OptimiseTest : public test::FirebirdTest {
 protected:
  OptimiseTest() : registry_(test::SharedServerRegistration()) {}

  // A database of the workplace's kind with ten rows of data, its limit
  // row (when limit is not negative) and its request counter.
  std::string MakeBase(const std::string& file, int limit, int requests) {
    std::string sql =
        "CREATE TABLE PEOPLE (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(40));\n"
        "COMMIT;\n";
    for (int i = 1; i <= 10; ++i) sql += Format("INSERT INTO PEOPLE VALUES (%d, 'Person %d');\n", i, i);
    if (limit >= 0) sql += Format("INSERT INTO IntConst VALUES (1000, 46, %d);\n", limit);
    sql += Format("SET GENERATOR G_NUMBEROFREQUESTS TO %d;\n", requests);
    CreateDatabase(file, sql);
    return dir_ / file;
  }

  TDbListRecord& Add(TBackupRestore& ops, const std::string& path, int id = 1, const std::string& name = "Главная") {
    TDbListRecord r;
    r.ID = id;
    r.Name = name;
    r.DbPath = path;
    ops.ssDbList.push_back(r);
    return ops.ssDbList.back();
  }

  // A gbak stand-in: the script body runs with the arguments in "$@".
  std::string StandIn(const std::string& body) {
    const std::string path = dir_ / "gbak-standin";
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }

  std::vector<std::string> WorkFilesPresent(const std::string& path) {
    const TOptimiseFiles f = OptimiseWorkFiles(path);
    std::vector<std::string> present;
    for (const auto& file : {f.NewDb, f.BackDb, f.RestDb}) {
      if (FileExists(file)) present.push_back(file);
    }
    return present;
  }

  int32_t Generator(const std::string& path) { return test::GeneratorValue(path, "G_NUMBEROFREQUESTS"); }

  test::ScopedRegistry registry_;
  TServerRecord server_;
};

// ---------------------------------------------------------------------------
// The list.

TEST_F(OptimiseTest, ListCountsOtherAttachmentsAndReadsLimitAndCounter) {
  const std::string a = MakeBase("a.gdb", 5500, 6000);
  const std::string b = MakeBase("b.gdb", -1, 5001);
  const std::string c = MakeBase("c.gdb", 0, 5000);
  // Two other attachments to a.
  TDbConnection other1, other2;
  Prepare(other1, a);
  Prepare(other2, a);
  other1.Connect();
  other2.Connect();

  DefaultsRecorder ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, a, 1, "a");
  Add(ops, b, 2, "b");
  Add(ops, c, 3, "c");
  EXPECT_TRUE(ops.RefreshDbList());
  EXPECT_EQ(ops.ssDbList[0].UsersCount, 2);
  EXPECT_EQ(ops.ssDbList[0].RequestCount, 6000);
  EXPECT_EQ(ops.ssDbList[0].RequestLimit, 5500);
  EXPECT_TRUE(ops.ssDbList[0].IsExceedRequest);
  // No limit row: 5000, and 5001 is above it.
  EXPECT_EQ(ops.ssDbList[1].UsersCount, 0);
  EXPECT_EQ(ops.ssDbList[1].RequestLimit, 5000);
  EXPECT_TRUE(ops.ssDbList[1].IsExceedRequest);
  // A limit of 0 is no limit: 5000, and 5000 is not above it.
  EXPECT_EQ(ops.ssDbList[2].RequestLimit, 5000);
  EXPECT_EQ(ops.ssDbList[2].RequestCount, 5000);
  EXPECT_FALSE(ops.ssDbList[2].IsExceedRequest);
  // The server ran: nothing was started or waited for.
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_FALSE(ops.Connected());

  // The others leave; the advice stays once given, the count follows.
  other1.Disconnect();
  other2.Disconnect();
  Isql(ServerName(a), "SET GENERATOR G_NUMBEROFREQUESTS TO 7;");
  ops.SetCurrent(0);
  ops.RefreshDbInfo(a);
  EXPECT_EQ(ops.ssDbList[0].UsersCount, 0);
  EXPECT_EQ(ops.ssDbList[0].RequestCount, 7);
  EXPECT_TRUE(ops.ssDbList[0].IsExceedRequest);
}

TEST_F(OptimiseTest, AFileTheServerStillHoldsCountsAsOneUser) {
  const std::string a = MakeBase("a.gdb", -1, 1);
  // The server keeps the database open for a while after its last
  // attachment left: the file stays locked.
  Isql(ServerName(a), "ALTER DATABASE SET LINGER TO 60;");
  ScriptedInteraction ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, a);
  ops.RefreshDbList();
  EXPECT_TRUE(IsFileLocked(a));
  EXPECT_EQ(ops.ssDbList[0].UsersCount, 1);
  // And the OK button refuses it.
  ops.SetBackupFlag(0, true);
  EXPECT_EQ(ops.btnOKClick(), TOkAnswer::KeepOpen);
  EXPECT_EQ(ui.Events().back(),
            "message:Оптимизация базы данных|Для проведения оптимизации базы данных нужно чтобы кол-во подключений к "
            "базе данных было равно 0");
  Isql(ServerName(a), "ALTER DATABASE DROP LINGER;");
}

TEST_F(OptimiseTest, OkAsksWithNoAsDefaultWhenNoRequestsWereCounted) {
  const std::string a = MakeBase("a.gdb", -1, 0);
  const std::string b = MakeBase("b.gdb", -1, 12);
  DefaultsRecorder ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, a, 1, "a");
  Add(ops, b, 2, "b");
  ops.SetBackupFlag(0, true);
  ui.Answer(DialogButton::No);
  EXPECT_EQ(ops.btnOKClick(), TOkAnswer::KeepOpen);
  ui.Answer(DialogButton::Yes);
  EXPECT_EQ(ops.btnOKClick(), TOkAnswer::Start);
  ops.SetBackupFlag(0, false);
  ops.SetBackupFlag(1, true);
  ui.Answer(DialogButton::Yes);
  EXPECT_EQ(ops.btnOKClick(), TOkAnswer::Start);
  ASSERT_EQ(ui.defaults.size(), 3u);
  EXPECT_EQ(ui.defaults[0], DialogButton::No);
  EXPECT_EQ(ui.defaults[1], DialogButton::No);
  EXPECT_EQ(ui.defaults[2], DialogButton::Yes);
  const auto events = ui.Events();
  EXPECT_EQ(events[0],
            "ask:Оптимизация базы данных|Отмеченная база не нуждается в операции оптимизации. Хотите провести ее "
            "оптимизацию? Операция оптимизации может занять длительное время.");
  EXPECT_EQ(events[2],
            "ask:Оптимизация базы данных|Начать операцию оптимизации над отмеченной базой? Операция оптимизации может "
            "занять длительное время.");
}

TEST_F(OptimiseTest, QueryFailureNamesTheStatement) {
  const std::string a = MakeBase("a.gdb", -1, 0);
  ScriptedInteraction ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  ops.ConnectDb(a);
  int32_t value = 42;
  const std::string message = test::MessageOf([&] { ops.RunQuery("select nothing from nowhere", 0, value); });
  EXPECT_EQ(message.rfind("Не удается выполнить запрос: select nothing from nowhere. Ошибка: ", 0), 0u) << message;
  EXPECT_EQ(value, 42);
  // The transaction was rolled back: the next statement runs.
  ops.RunQuery("select 5 ConstValue from single", 0, value);
  EXPECT_EQ(value, 5);
  // A statement without rows leaves the value.
  ops.RunQuery("select 6 ConstValue from single where 1=0", 0, value);
  EXPECT_EQ(value, 5);
  ops.DisconnectDb();
}

TEST_F(OptimiseTest, WrongPasswordThatIsNotTheDefaultFailsWithoutAsking) {
  const std::string a = MakeBase("a.gdb", -1, 0);
  ScriptedInteraction ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  ops.Password = "not-the-password";
  const std::string message = test::MessageOf([&] { ops.ConnectDb(a); });
  EXPECT_EQ(message.rfind("Ошибка соединения с базой данных: путь: " + a + ", ошибка: ", 0), 0u) << message;
  EXPECT_TRUE(ui.Events().empty());
}

TEST_F(OptimiseTest, ListComesFromTheWorkplacesImportFileThroughTheComponent) {
  const std::string a = MakeBase("a.gdb", -1, 5001);
  const std::string imd = dir_ / "ocx/IMD.DAT";
  TRegistryStore store;
  for (auto [name, id, path] : {std::tuple{"Главная", 4, a}, std::tuple{"Архив", 9, dir_ / "archive.gdb"}}) {
    TRegistryNode& key = store.CreateKey(Format("%s\\%s", kBaseListKey, name));
    TRegistryStore::SetInteger(key, kBaseIdValue, id);
    TRegistryStore::SetString(key, kBasePathValue, path);
  }
  std::filesystem::create_directories(dir_ / "ocx");
  store.SaveToFile(imd);

  ScriptedInteraction ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  ops.ModulePath = ZTV_MULTIREGISTRY_MODULE_PATH;
  Add(ops, "/stale/entry.gdb");
  ops.SetBackupFlag(0, true);
  ops.LoadDbList(imd);
  ASSERT_EQ(ops.ssDbList.size(), 2u);
  EXPECT_EQ(ops.CheckedCount, 0);
  EXPECT_EQ(ops.ssDbList[0].Name, "Главная");
  EXPECT_EQ(ops.ssDbList[0].ID, 4);
  EXPECT_EQ(ops.ssDbList[0].DbPath, a);
  EXPECT_FALSE(ops.ssDbList[0].BackupFlag);
  EXPECT_EQ(ops.ssDbList[1].Name, "Архив");
  EXPECT_EQ(ops.ssDbList[1].ID, 9);
  // A database of the list that does not open stops the refresh with the
  // connection's message (the default password refused: the dialog first).
  ui.AnswerPassword(true, test::kSysdbaPassword);
  const std::string message = test::MessageOf([&] { ops.RefreshDbList(); });
  EXPECT_EQ(message.rfind("Ошибка соединения с базой данных: путь: " + (dir_ / "archive.gdb"), 0), 0u) << message;
  EXPECT_EQ(ops.ssDbList[0].RequestCount, 5001);

  // A missing import file: the component's error, and an empty list.
  EXPECT_NE(test::MessageOf([&] { ops.LoadDbList(dir_ / "missing/IMD.DAT"); }), "<no error>");
  EXPECT_TRUE(ops.ssDbList.empty());
}

TEST_F(OptimiseTest, RefusedDefaultPasswordAsksOnceAndTheTypedTextServesLaterRefreshes) {
  const std::string a = MakeBase("a.gdb", -1, 3);
  ScriptedInteraction ui;
  FakeClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, a);
  // Equal to the default ignoring case, but not the server's password.
  ops.Password = "TULIPWOOD";
  TBackupRestore::DontAskPassword() = false;
  ui.AnswerPassword(false, test::kSysdbaPassword, true);
  EXPECT_EQ(test::MessageOf([&] { ops.RefreshDbList(); }), "Пароль не указан. Работа не возможна");
  // What was typed is kept even though the dialog was cancelled, and so is
  // its check box.
  EXPECT_EQ(ops.Password, test::kSysdbaPassword);
  EXPECT_TRUE(TBackupRestore::DontAskPassword());
  // The later refresh connects with it and asks nothing (no answer is
  // prepared: a question would fail the test).
  EXPECT_TRUE(ops.RefreshDbList());
  EXPECT_EQ(ops.ssDbList[0].RequestCount, 3);

  // OK in the dialog: the connection is tried again with the typed text.
  TBackupRestore second(ui, clock, server_);
  Add(second, a);
  second.Password = "Tulipwood";
  ui.AnswerPassword(true, test::kSysdbaPassword);
  EXPECT_TRUE(second.RefreshDbList());
  EXPECT_EQ(second.ssDbList[0].RequestCount, 3);
  // The dialog got the shared box's state.
  int dialogs = 0;
  for (const auto& e : ui.Events()) dialogs += e.rfind("password:", 0) == 0;
  EXPECT_EQ(dialogs, 2);
  TBackupRestore::DontAskPassword() = false;
}

// ---------------------------------------------------------------------------
// The cycle.

// Children of this process seen while a cycle runs, with their command
// lines and environments as /proc shows them.
class ChildWatcher {
 public:
  ChildWatcher() : thread_([this] { Run(); }) {}
  ~ChildWatcher() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> CommandLines() {
    std::lock_guard lock(mutex_);
    return {cmdlines_.begin(), cmdlines_.end()};
  }
  std::vector<std::string> Environments() {
    std::lock_guard lock(mutex_);
    return {environments_.begin(), environments_.end()};
  }

 private:
  // A process that ended meanwhile reads as empty.
  static std::string ReadProc(const std::string& path) {
    std::string text = test::ReadProcFile(path).value_or("");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
  }
  void Run() {
    const std::string self = std::to_string(::getpid());
    while (!stop_) {
      if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
          const std::string pid = e->d_name;
          if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
          const std::string stat = ReadProc("/proc/" + pid + "/stat");
          const auto close = stat.rfind(')');
          if (close == std::string::npos) continue;
          // Fields after the name: state, ppid.
          std::istringstream fields(stat.substr(close + 2));
          std::string state, ppid;
          fields >> state >> ppid;
          if (ppid != self) continue;
          const std::string cmdline = ReadProc("/proc/" + pid + "/cmdline");
          const std::string environ = ReadProc("/proc/" + pid + "/environ");
          std::lock_guard lock(mutex_);
          if (!cmdline.empty()) cmdlines_.insert(cmdline);
          if (cmdline.find("gbak") != std::string::npos) environments_.insert(environ);
        }
        ::closedir(d);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::set<std::string> cmdlines_;
  std::set<std::string> environments_;
  std::thread thread_;
};

TEST_F(OptimiseTest, RealCycleRebuildsTheDatabaseInPlace) {
  const std::string path = MakeBase("base.gdb", 5500, 6000);
  const std::string before = IsqlOutput(ServerName(path), "SELECT ID, NAME FROM PEOPLE ORDER BY ID;", dir_);
  ASSERT_NE(before.find("Person 10"), std::string::npos) << before;
  struct stat old {};
  ASSERT_EQ(::stat(path.c_str(), &old), 0);

  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, path, 7, "Главная");
  ops.RefreshDbList();
  EXPECT_TRUE(ops.ssDbList[0].IsExceedRequest);
  ops.SetBackupFlag(0, true);
  ui.Answer(DialogButton::Yes);
  ASSERT_EQ(ops.btnOKClick(), TOkAnswer::Start);

  ChildWatcher watcher;
  const bool ok = ops.DoBackupRestore();
  watcher.Stop();
  ASSERT_TRUE(ok) << ui.LogText();

  // The same rows, the counter reset, a new file in the old one's place.
  EXPECT_EQ(IsqlOutput(ServerName(path), "SELECT ID, NAME FROM PEOPLE ORDER BY ID;", dir_), before);
  EXPECT_EQ(Generator(path), 0);
  struct stat now {};
  ASSERT_EQ(::stat(path.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, old.st_ino);
  EXPECT_EQ(now.st_uid, old.st_uid);
  EXPECT_EQ(now.st_mode, old.st_mode);
  EXPECT_TRUE(WorkFilesPresent(path).empty());

  // The log beside the database holds the runs' start and end lines.
  const std::string log = ReadFile(OptimiseWorkFiles(path).Log);
  const std::string lines = "\r\n" + log;
  for (const char* line : {"BACKUP start: ", "BACKUP end: ", "RESTORE start: ", "RESTORE end: "}) {
    EXPECT_NE(lines.find(std::string("\r\n") + line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("RESTORE2"), std::string::npos);
  EXPECT_EQ(log.find("tulipwood"), std::string::npos);
  EXPECT_EQ(ui.Events().back(), "message:Оптимизация базы данных|Операция оптимизации базы данных прошла успешно.");
  EXPECT_EQ(ui.LogText().find("tulipwood"), std::string::npos);

  // gbak got the password through its environment, never on its command
  // line; the commands are the two of the cycle, with the real gbak.
  ASSERT_EQ(ops.CommandLines().size(), 2u);
  EXPECT_EQ(ops.CommandLines()[0].rfind("\"/usr/bin/gbak\" -b -g \"", 0), 0u) << ops.CommandLines()[0];
  EXPECT_EQ(ops.CommandLines()[1].rfind("\"/usr/bin/gbak\" -c \"", 0), 0u) << ops.CommandLines()[1];
  int gbakSeen = 0;
  for (const auto& cmdline : watcher.CommandLines()) {
    EXPECT_EQ(cmdline.find("tulipwood"), std::string::npos) << cmdline;
    if (cmdline.find("gbak") != std::string::npos) ++gbakSeen;
  }
  EXPECT_GE(gbakSeen, 1);
  for (const auto& env : watcher.Environments()) EXPECT_NE(env.find("ISC_PASSWORD=tulipwood"), std::string::npos);

  EXPECT_FALSE(ops.Connected());
}

TEST_F(OptimiseTest, RestoreTheServerMayNotCreateLeavesTheOriginal) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string before = IsqlOutput(ServerName(path), "SELECT ID, NAME FROM PEOPLE ORDER BY ID;", dir_);
  // The server (user firebird) may read the folder but not create in it.
  ASSERT_EQ(::chown(dir_.Path().c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);

  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  EXPECT_FALSE(ops.DoBackupRestore());
  ::chmod(dir_.Path().c_str(), 0777);

  const TOptimiseFiles f = OptimiseWorkFiles(path);
  EXPECT_EQ(IsqlOutput(ServerName(path), "SELECT ID, NAME FROM PEOPLE ORDER BY ID;", dir_), before);
  EXPECT_EQ(Generator(path), 6000);
  EXPECT_FALSE(FileExists(f.NewDb));
  EXPECT_FALSE(FileExists(f.RestDb));
  // The whole backup is kept for the administrator and named.
  EXPECT_TRUE(FileExists(f.BackDb));
  EXPECT_EQ(ui.Events().back(),
            "message:Оптимизация базы данных|Операция оптимизации базы данных прошла с ошибками. Подробности см. в "
            "файле: " + f.Log + "\nРезервная копия базы данных сохранена в файле: " + f.BackDb);
  const std::string log = ReadFile(f.Log);
  EXPECT_NE(log.find("RESTORE end: "), std::string::npos);
  EXPECT_NE(log.find("gbak: ERROR:"), std::string::npos) << log;
  EXPECT_EQ(ops.ErrorLineCount > 0, true);
}

TEST_F(OptimiseTest, StandInRestoreWritingAnErrorAndABrokenFileLeavesTheOriginalByteForByte) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string bytes = ReadFile(path);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  // The restore "succeeds" by its exit code but writes an error line and a
  // file that is no database.
  ops.GbakProgram = StandIn(
      "for last; do :; done\n"
      "case \"$1\" in\n"
      "  -b) echo backup > \"$4\"; exit 0;;\n"
      "  -c) echo 'gbak: ERROR:unexpected end of file' >&2; echo broken > \"${3#*:}\"; exit 0;;\n"
      "esac");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  EXPECT_FALSE(ops.DoBackupRestore());
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  const TOptimiseFiles f = OptimiseWorkFiles(path);
  EXPECT_FALSE(FileExists(f.RestDb));
  EXPECT_FALSE(FileExists(f.NewDb));
  EXPECT_EQ(ops.ErrorLineCount, 1);
  EXPECT_EQ(ops.ErrorText, "gbak: ERROR:unexpected end of file");
  EXPECT_NE(ui.Events().back().find("Подробности см. в файле: " + f.Log), std::string::npos);
  EXPECT_NE(ReadFile(f.Log).find("gbak: ERROR:unexpected end of file\r\n"), std::string::npos);
  // The log window shows the line as it came, with the run's elapsed time.
  EXPECT_NE(ui.LogText().find("\n[00:00:0"), std::string::npos) << ui.LogText();
  EXPECT_NE(ui.LogText().find("] gbak: ERROR:unexpected end of file\n"), std::string::npos) << ui.LogText();
}

TEST_F(OptimiseTest, RestoreExitingWithAnErrorCodeAloneIsAFailure) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  // No error line at all, but an exit code and a restored file that would
  // even open: the code decides.
  ops.GbakProgram = StandIn(
      "case \"$1\" in\n"
      "  -c) /usr/bin/gbak \"$@\"; exit 3;;\n"
      "  *) exec /usr/bin/gbak \"$@\";;\n"
      "esac");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  EXPECT_FALSE(ops.DoBackupRestore());
  EXPECT_EQ(Generator(path), 6000);
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).RestDb));
  EXPECT_NE(ReadFile(OptimiseWorkFiles(path).Log).find("RESTORE: gbak завершился с кодом 3"), std::string::npos);
}

TEST_F(OptimiseTest, GbakOutlivingItsTimeOutLeavesTheOriginal) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string bytes = ReadFile(path);
  ScriptedInteraction ui;
  HurryClock clock;
  TBackupRestore ops(ui, clock, server_);
  // The backup writes part of a file and never ends by itself.
  ops.GbakProgram = StandIn("echo partial > \"$4\"\nexec sleep 600");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ops.DoBackupRestore());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  // Only the backup ran; its partial file is no backup and went.
  ASSERT_EQ(ops.CommandLines().size(), 1u);
  const TOptimiseFiles f = OptimiseWorkFiles(path);
  EXPECT_FALSE(FileExists(f.BackDb));
  EXPECT_FALSE(FileExists(f.NewDb));
  EXPECT_NE(ReadFile(f.Log).find("BACKUP: gbak не завершился за 14400 с и был остановлен"), std::string::npos);
  EXPECT_GT(clock.NowMs(), int64_t{14400} * 1000);
  // The run showed its elapsed time as it went, up to the time-out.
  const auto events = ui.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "progress:|BACKUP: 04:00:00"), events.end());
}

TEST_F(OptimiseTest, FixFssMetadataRestoreRunsAgainAndOnlyItDecides) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  // The first restore complains and leaves a partial file; the repeated
  // one (with the switch) hands over to the real gbak without it.
  ops.GbakProgram = StandIn(
      "case \"$1\" in\n"
      "  -c) echo partial > \"${3#*:}\"\n"
      "      echo 'gbak: ERROR:Cannot transliterate character between character sets' >&2\n"
      "      echo 'gbak: ERROR:use -FIX_FSS_METADATA WIN1251' >&2; exit 1;;\n"
      "  -FIX_FSS_METADATA) shift 2; exec /usr/bin/gbak \"$@\";;\n"
      "  *) exec /usr/bin/gbak \"$@\";;\n"
      "esac");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  ASSERT_TRUE(ops.DoBackupRestore()) << ui.LogText();
  ASSERT_EQ(ops.CommandLines().size(), 3u);
  EXPECT_EQ(ops.CommandLines()[2].find("\" -FIX_FSS_METADATA WIN1251 -c \""), ops.GbakProgram.size() + 1)
      << ops.CommandLines()[2];
  EXPECT_EQ(ops.ErrorLineCount, 0);
  EXPECT_EQ(Generator(path), 0);
  EXPECT_TRUE(WorkFilesPresent(path).empty());
  EXPECT_NE(ReadFile(OptimiseWorkFiles(path).Log).find("RESTORE2 end: "), std::string::npos);
}

TEST_F(OptimiseTest, FixFssMetadataRestoreThatFailsAgainLeavesTheOriginal) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string bytes = ReadFile(path);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  ops.GbakProgram = StandIn(
      "case \"$1\" in\n"
      "  -b) echo backup > \"$4\"; exit 0;;\n"
      "  -c) echo 'gbak: ERROR:use -FIX_FSS_METADATA WIN1251' >&2; exit 1;;\n"
      "  -FIX_FSS_METADATA) echo half > \"${5#*:}\"; echo 'gbak: ERROR:still broken' >&2; exit 1;;\n"
      "esac");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  EXPECT_FALSE(ops.DoBackupRestore());
  EXPECT_EQ(ops.CommandLines().size(), 3u);
  EXPECT_EQ(ops.ErrorText, "gbak: ERROR:still broken");
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).RestDb));
}

TEST_F(OptimiseTest, RestoredFileThatDoesNotOpenNeverTakesThePlace) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string bytes = ReadFile(path);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  // gbak says nothing wrong at all, but what it left is no database.
  ops.GbakProgram = StandIn(
      "case \"$1\" in\n"
      "  -b) echo backup > \"$4\";;\n"
      "  -c) echo 'not a database' > \"${3#*:}\";;\n"
      "esac\nexit 0");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  const std::string message = test::MessageOf([&] { ops.DoBackupRestore(); });
  EXPECT_NE(message.find("Ошибка соединения с базой данных: путь: " + OptimiseWorkFiles(path).RestDb), std::string::npos)
      << message;
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).RestDb));
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).NewDb));
  EXPECT_NE(ReadFile(OptimiseWorkFiles(path).Log).find("ОШИБКА. Текст: Ошибка соединения"), std::string::npos);
  EXPECT_NE(ui.Events().back().find("прошла с ошибками"), std::string::npos);
}

TEST_F(OptimiseTest, GbakThatCannotStartLeavesTheOriginalAndIsReported) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string bytes = ReadFile(path);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  ops.GbakProgram = dir_ / "no-such-gbak";
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  const std::string message = test::MessageOf([&] { ops.DoBackupRestore(); });
  EXPECT_EQ(message.rfind("Не удается создать требуемый процесс. Ошибка: ", 0), 0u) << message;
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  EXPECT_TRUE(WorkFilesPresent(path).empty());
  const TOptimiseFiles f = OptimiseWorkFiles(path);
  EXPECT_NE(ReadFile(f.Log).find("ОШИБКА. Текст: Не удается создать требуемый процесс."), std::string::npos);
  EXPECT_EQ(ui.Events().back(), "message:Оптимизация базы данных|Операция оптимизации базы данных прошла с "
                                "ошибками. Подробности см. в файле: " + f.Log);
  // The log window stays open with its close button, for the lines to be read.
  EXPECT_TRUE(ui.CloseButtonVisible());
}

TEST_F(OptimiseTest, OldFileStillHeldAtTheSwapKeepsItsPlace) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  // While the restore runs, another program takes the old file the way the
  // engine takes a database it has open, and holds it until the test lets
  // it go (or half a minute has passed).
  const std::string release = dir_ / "release-lock";
  ops.GbakProgram = StandIn(
      "case \"$1\" in\n"
      "  -c) target=\"${3#*:}\"; old=\"${target%_restDb.gdb}_newDb.gdb\"\n"
      "      flock -x \"$old\" sh -c 'for i in $(seq 300); do [ -e \"$0\" ] && exit; sleep 0.1; done' \"" +
      release +
      "\" </dev/null >/dev/null 2>&1 &\n"
      "      for i in $(seq 200); do flock -n \"$old\" true || break; sleep 0.05; done\n"
      "      exec /usr/bin/gbak \"$@\";;\n"
      "  *) exec /usr/bin/gbak \"$@\";;\n"
      "esac");
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  const std::string message = test::MessageOf([&] { ops.DoBackupRestore(); });
  EXPECT_EQ(message, "Во время оптимизации база данных была открыта другим подключением: " +
                         OptimiseWorkFiles(path).NewDb);
  WriteFile(release, "");
  // The original is back at P (still held by the other program, which then
  // lets it go) with its counter, the restored copy gone.
  for (int i = 0; i < 100 && IsFileLocked(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Generator(path), 6000);
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).RestDb));
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).NewDb));
}

TEST_F(OptimiseTest, HostPrefixedPathStopsAtTheRenameAndChangesNothing) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const std::string name = ServerName(path);
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, name);
  // The connection takes the name as it is.
  ops.RefreshDbList();
  EXPECT_EQ(ops.ssDbList[0].RequestCount, 6000);
  const std::string bytes = ReadFile(path);
  ops.SetBackupFlag(0, true);
  EXPECT_EQ(test::MessageOf([&] { ops.DoBackupRestore(); }), "Ошибка при переименовании файла БД: " + name);
  EXPECT_TRUE(ReadFile(path) == bytes) << "the database file changed";
  EXPECT_TRUE(WorkFilesPresent(path).empty());
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).Log));
  EXPECT_TRUE(ui.Events().empty());
}

TEST_F(OptimiseTest, NoRoomForBackupAndCopyRefusesBeforeAnything) {
  // A sparse file far larger than half the free space of the folder.
  const std::string path = dir_ / "huge.gdb";
  {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 43), 0);
    ::close(fd);
  }
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  const std::string message = test::MessageOf([&] { ops.DoBackupRestore(); });
  EXPECT_EQ(message.rfind("Недостаточно места для оптимизации базы данных " + path + ": в папке " + dir_.Path(), 0), 0u)
      << message;
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(WorkFilesPresent(path).empty());
  EXPECT_FALSE(FileExists(OptimiseWorkFiles(path).Log));
}

TEST_F(OptimiseTest, WorkFileInTheWayOfTheOriginalIsNeverReplaced) {
  const std::string path = MakeBase("base.gdb", -1, 6000);
  const TOptimiseFiles f = OptimiseWorkFiles(path);
  // An earlier cycle's copy of the database sits where the original would go.
  WriteFile(f.NewDb, "earlier original");
  ScriptedInteraction ui;
  PollClock clock;
  TBackupRestore ops(ui, clock, server_);
  Add(ops, path);
  ops.SetBackupFlag(0, true);
  EXPECT_EQ(test::MessageOf([&] { ops.DoBackupRestore(); }), "Ошибка при переименовании файла БД: " + path);
  EXPECT_EQ(ReadFile(f.NewDb), "earlier original");
  EXPECT_EQ(Generator(path), 6000);
}

}  // namespace
}  // namespace ztv
