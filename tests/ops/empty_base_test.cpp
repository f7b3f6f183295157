// The database replacement on a real installation: a private instance of the
// distribution's Firebird 3 server (stopped and started by the operation),
// dialect-1 databases made by the test, the template in the installation's
// Database folder and an ocx/IMD.DAT written by `ztvtool bases set`; the
// questions answered from a script, the fixed waits cut short by the clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "control/run_close_program.h"
#include "db/database.h"
#include "engine/ztv_procs.h"
#include "firebird_fixture.h"
#include "installation_fixture.h"
#include "ops/main_operations.h"
#include "ops/scripted_interaction.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunShell;
using test::WriteFile;

const char* kSysdba = test::kSysdbaPassword;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Adds a database to the installation's list through ztvtool.
void Register(const std::string& name, int id, const std::string& path) {
  std::string out;
  ASSERT_EQ(RunShell(std::string(ZTVTOOL_PATH) + " bases set " + Quoted(name) + " --id " + std::to_string(id) +
                      " --path " + Quoted(path),
                  out),
            0)
      << out;
}

struct RecordingView : MainView {
  std::vector<std::string> calls;
  void UpdateStatusPanel(bool clear) override { calls.push_back(clear ? "clear" : "fill"); }
  void CloseMainWindow() override { calls.push_back("close"); }
};

// The recorded events without progress reports.
std::vector<std::string> WithoutProgress(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.rfind("progress:", 0) != 0) out.push_back(e);
  return out;
}

class EmptyBaseTest : public test::InstallationTest {
 protected:
  void SetUp() override {
    test::InstallationTest::SetUp();
    const std::string missing = test::FirebirdSandbox::Unavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    fb_ = std::make_unique<test::FirebirdSandbox>(dir_);
    serverKey_ = fb_->RegistryKey();
    WriteSettings("7.1.2", 1, "");
    fs::remove(inst_ + "/ocx/IMD.DAT");
  }

  void StartServer() {
    RunServerProgram(kServerFirebird, "", control_);
    ASSERT_TRUE(fb_->WaitUntilAccepting(20000)) << "the server did not start";
  }

  // A dialect-1 database made through the server, with g_shared at `value`.
  std::string MakeDatabase(const std::string& file, int value) {
    const std::string path = fb_->DataDir() + "/" + file;
    const std::string script = dir_ / (file + ".sql");
    WriteFile(script, "SET SQL DIALECT 1;\nCREATE DATABASE '" + fb_->DatabaseName(path) +
                          "' USER 'SYSDBA' PASSWORD '" + kSysdba + "' PAGE_SIZE 4096;\n"
                          "CREATE GENERATOR g_shared;\nSET GENERATOR g_shared TO " + std::to_string(value) + ";\n"
                          "CREATE TABLE single (id INTEGER);\nINSERT INTO single VALUES (1);\nCOMMIT;\n");
    std::string out;
    EXPECT_EQ(RunShell("isql-fb -b -q -i " + Quoted(script), out), 0) << out;
    return path;
  }

  // The installation's template, with g_shared at `value`.
  void MakeTemplate(int value) {
    const std::string made = MakeDatabase("template.gdb", value);
    fs::create_directories(inst_ + "/Database");
    fs::copy_file(made, TemplatePath(), fs::copy_options::overwrite_existing);
    fs::remove(made);
  }
  std::string TemplatePath() const { return inst_ + "/Database/tolvanrm_empty.gdb"; }

  // g_shared of the database as the server answers it now.
  int Generator(const std::string& path, const std::string& password = kSysdba) {
    return test::GeneratorValue(fb_->DatabaseName(path), "g_shared", password);
  }

  // Runs the replacement with the module of the build tree.
  std::unique_ptr<MainOperations> Ops(ScriptedInteraction& ui) {
    auto ops = std::make_unique<MainOperations>(ui, clock_, view_, control_);
    ops->MultiRegistryModule = ZTV_MULTIREGISTRY_MODULE_PATH;
    ops->FormShow();
    view_.calls.clear();
    return ops;
  }

  std::unique_ptr<test::FirebirdSandbox> fb_;
  test::CappedClock clock_{200};
  RecordingView view_;
};

TEST_F(EmptyBaseTest, TwoDatabasesAreReplacedAndKeepTheirGenerators) {
  StartServer();
  const std::string a = MakeDatabase("a.gdb", 1234);
  const std::string b = MakeDatabase("b.gdb", 50);
  const std::string c = MakeDatabase("c.gdb", 7);
  MakeTemplate(0);
  ASSERT_EQ(::chmod(a.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(a.c_str(), &before), 0);
  const std::string untouched = ReadFile(c);
  Register("База А", 1, "workstation:" + a);  // a host before the path
  Register("База С", 3, c);
  Register("База Б", 2, b);
  const int serverUid = static_cast<int>(before.st_uid);

  ScriptedInteraction ui;
  ui.AnswerChoice({1, 2});
  auto ops = Ops(ui);
  ops->tbEmptyBaseClick(TSender::Button);

  const std::vector<std::string> expected = {
      "choose:Замена базы| Выберите базы для замены |[ ]1 База А;[ ]3 База С;[ ]2 База Б",
      "log:statusbar",
      "log:clear",
      "log:show",
      "log:+Выгрузка приложений.",
      "log:+Рабочее место... ",
      "log:=ОК",
      "log:+Останавливаем СУБД... ",
      "log:=ОК",
      "log:+Замена на пустую базы [1] - База А ...",
      "log:=OK",
      "log:+Замена на пустую базы [2] - База Б ...",
      "log:=OK",
      "log:close",
      "message:Обновление/восстановление ЗТВ|Операция завершена",
      "log:closebutton",
      "log:modal",
  };
  EXPECT_EQ(WithoutProgress(ui.Events()), expected);
  EXPECT_EQ(ui.LogText(),
            "Выгрузка приложений.\nРабочее место... ОК\nОстанавливаем СУБД... ОК\n"
            "Замена на пустую базы [1] - База А ...OK\nЗамена на пустую базы [2] - База Б ...OK");
  EXPECT_TRUE(ui.Errors().empty());
  EXPECT_TRUE(view_.calls.empty());  // the status panel is not redrawn

  // Each new database is the template with its own old value, and the
  // server runs again.
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_EQ(Generator(a), 1234);
  EXPECT_EQ(Generator(b), 50);
  EXPECT_EQ(ReadFile(c), untouched);
  EXPECT_EQ(Generator(c), 7);
  EXPECT_EQ(GetCurrentStatus(), 1);
  // The new file is the server's, as the old one was.
  struct stat after {};
  ASSERT_EQ(::stat(a.c_str(), &after), 0);
  EXPECT_EQ(static_cast<int>(after.st_uid), serverUid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(fs::directory_entry(a).file_size(), fs::file_size(TemplatePath()));
  // Nothing is left beside the databases.
  for (const auto& e : fs::directory_iterator(fb_->DataDir()))
    EXPECT_EQ(e.path().filename().string().rfind(".", 0), std::string::npos) << e.path();
  // 3000 after each stop (the unload's and one per database); 5000 before
  // each connection and after each start: the first replacement starts the
  // server the unload stopped, then two connections and one start each.
  const auto sleeps = clock_.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 3000), 3);
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 5000), 1 + 2 * 3);
}

TEST_F(EmptyBaseTest, ATemplateAboveTheSavedValueKeepsItsOwn) {
  StartServer();
  const std::string a = MakeDatabase("a.gdb", 1234);
  MakeTemplate(2000);
  Register("A", 1, a);
  ScriptedInteraction ui;
  ui.AnswerChoice({1});
  Ops(ui)->tbEmptyBaseClick(TSender::Button);
  EXPECT_NE(ui.LogText().find("Замена на пустую базы [1] - A ...OK"), std::string::npos) << ui.LogText();
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_EQ(Generator(a), 2000);
}

TEST_F(EmptyBaseTest, NothingTickedChangesNothing) {
  StartServer();
  const std::string a = MakeDatabase("a.gdb", 1234);
  MakeTemplate(0);
  Register("A", 1, a);
  const std::string bytes = ReadFile(a);
  const std::string registry = RegistryText();
  const auto servers = fb_->Processes(fb_->ServerExe());
  for (bool cancel : {false, true}) {
    ScriptedInteraction ui;
    if (cancel)
      ui.AnswerChoiceCancel();
    else
      ui.AnswerChoice({});
    Ops(ui)->tbEmptyBaseClick(TSender::Button);
    EXPECT_EQ(ui.Events().size(), 1u) << ui.Events().back();  // the selection window only
    EXPECT_EQ(ReadFile(a), bytes);
    EXPECT_EQ(RegistryText(), registry);
    EXPECT_EQ(fb_->Processes(fb_->ServerExe()).size(), servers.size());
  }
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(EmptyBaseTest, MissingTemplateLeavesEveryDatabaseAndRestartsTheServer) {
  StartServer();
  const std::string a = MakeDatabase("a.gdb", 1234);
  const std::string b = MakeDatabase("b.gdb", 50);
  Register("A", 1, a);
  Register("B", 2, b);
  // Read-only databases: reading their generators writes nothing into them,
  // so any change of their bytes is the replacement's.
  for (const std::string& path : {a, b}) {
    std::string out;
    ASSERT_EQ(RunShell("gfix -mode read_only -user SYSDBA -password " + std::string(kSysdba) + " " +
                        Quoted(fb_->DatabaseName(path)),
                    out),
              0)
        << out;
  }
  const std::string bytesA = ReadFile(a), bytesB = ReadFile(b);
  ScriptedInteraction ui;
  ui.AnswerChoice({1, 2});
  Ops(ui)->tbEmptyBaseClick(TSender::Button);
  const std::string missing = "файл пустой базы не найден [" + TemplatePath() + "]";
  EXPECT_NE(ui.LogText().find("Замена на пустую базы [1] - A ..." + missing + "\n"), std::string::npos) << ui.LogText();
  EXPECT_NE(ui.LogText().find("Замена на пустую базы [2] - B ..." + missing), std::string::npos) << ui.LogText();
  EXPECT_EQ(ReadFile(a), bytesA);
  EXPECT_EQ(ReadFile(b), bytesB);
  EXPECT_EQ(GetCurrentStatus(), 1);
  // The workplaces are not left without their server.
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_EQ(Generator(b), 50);
}

TEST_F(EmptyBaseTest, UnreadableOldDatabaseIsReplacedWithThePreviousSavedValue) {
  StartServer();
  const std::string a = MakeDatabase("a.gdb", 1234);
  const std::string broken = fb_->DataDir() + "/broken.gdb";
  WriteFile(broken, std::string(8192, 'x'));
  ASSERT_EQ(::chown(broken.c_str(), test::UidOf("firebird"), static_cast<gid_t>(-1)), 0);
  MakeTemplate(0);
  Register("A", 1, a);
  Register("Broken", 2, broken);
  ScriptedInteraction ui;
  ui.AnswerChoice({1, 2});
  // The default password is refused for the broken file: the dialog comes
  // once and the same password is typed.
  ui.AnswerPassword(true, kSysdba);
  Ops(ui)->tbEmptyBaseClick(TSender::Button);
  const std::string log = ui.LogText();
  const std::string prefix =
      "Замена на пустую базы [2] - Broken ...Ошибка соединения с базой данных: путь: " + broken + ", ошибка: ";
  EXPECT_NE(log.find(prefix), std::string::npos) << log;
  EXPECT_NE(log.find("Замена на пустую базы [1] - A ...OK"), std::string::npos) << log;
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  // The broken file is now the template, raised to the value read before.
  EXPECT_EQ(Generator(broken), 1234);
}

TEST_F(EmptyBaseTest, CancelledPasswordIsReportedAndTheTypedTextIsUsedLater) {
  // The instance's SYSDBA password is not the default one.
  const std::string script = dir_ / "password.sql";
  WriteFile(script, "alter user SYSDBA password 'Other#2';\ncommit;\n");
  std::string out;
  ASSERT_EQ(RunShell("runuser -u firebird -- env FIREBIRD=" + Quoted(fb_->Root()) + " FIREBIRD_LOCK=" +
                      Quoted(fb_->LockDir()) + " isql-fb -q -user SYSDBA -i " + Quoted(script) + " " +
                      Quoted(fb_->Root() + "/security3.fdb"),
                  out),
            0)
      << out;
  // The server is asked for its attachments with the default password; it
  // has none.
  control_.attachments = [](int, std::string&) { return 0; };
  StartServer();
  const std::string a = fb_->DataDir() + "/a.gdb";
  const std::string b = fb_->DataDir() + "/b.gdb";
  for (const auto& [path, value] : {std::pair{a, 1234}, std::pair{b, 50}}) {
    WriteFile(dir_ / "make.sql", "SET SQL DIALECT 1;\nCREATE DATABASE '" + fb_->DatabaseName(path) +
                                     "' USER 'SYSDBA' PASSWORD 'Other#2' PAGE_SIZE 4096;\n"
                                     "CREATE GENERATOR g_shared;\nSET GENERATOR g_shared TO " +
                                     std::to_string(value) + ";\nCREATE TABLE single (id INTEGER);\n"
                                     "INSERT INTO single VALUES (1);\nCOMMIT;\n");
    ASSERT_EQ(RunShell("isql-fb -b -q -i " + Quoted(dir_ / "make.sql"), out), 0) << out;
  }
  {
    const std::string made = fb_->DataDir() + "/template.gdb";
    WriteFile(dir_ / "make.sql", "SET SQL DIALECT 1;\nCREATE DATABASE '" + fb_->DatabaseName(made) +
                                     "' USER 'SYSDBA' PASSWORD 'Other#2' PAGE_SIZE 4096;\n"
                                     "CREATE GENERATOR g_shared;\nCREATE TABLE single (id INTEGER);\n"
                                     "INSERT INTO single VALUES (1);\nCOMMIT;\n");
    ASSERT_EQ(RunShell("isql-fb -b -q -i " + Quoted(dir_ / "make.sql"), out), 0) << out;
    fs::create_directories(inst_ + "/Database");
    fs::copy_file(made, TemplatePath());
  }
  Register("A", 1, a);
  Register("B", 2, b);

  ScriptedInteraction ui;
  ui.AnswerChoice({1, 2});
  // Cancelled after the right password was typed: the first old database
  // is not read, every later connection uses the typed text unasked.
  ui.AnswerPassword(false, "Other#2", true);
  auto ops = Ops(ui);
  ops->tbEmptyBaseClick(TSender::Button);
  EXPECT_EQ(ui.LogText(),
            "Выгрузка приложений.\nРабочее место... ОК\nОстанавливаем СУБД... ОК\n"
            "Замена на пустую базы [1] - A ...Пароль не указан. Работа не возможна\n"
            "Замена на пустую базы [2] - B ...OK");
  const auto events = ui.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "password:dontAsk=0"), 1);
  for (const auto& e : events) EXPECT_EQ(e.find("Other#2"), std::string::npos) << e;
  EXPECT_EQ(ops->FDbPassword.DbPassword, "Other#2");
  EXPECT_TRUE(ops->FDbPassword.DbPasswordDontAsk);
  ASSERT_TRUE(fb_->WaitUntilAccepting(20000));
  EXPECT_EQ(Generator(a, "Other#2"), 0);
  EXPECT_EQ(Generator(b, "Other#2"), 50);
}

TEST_F(EmptyBaseTest, RefusedUnlessTheVersionWorks) {
  WriteSettings("7.1.2", 0, "");
  ScriptedInteraction ui;
  Ops(ui)->tbEmptyBaseClick(TSender::Button);
  EXPECT_EQ(ui.Events(), (std::vector<std::string>{"message:Обновление/восстановление ЗТВ|Текущая версия ЗТВ "
                                                   "неработоспособна. Необходимо восстановление из резервной копии."}));
}

// A workplace program that does not close: no database is touched, the
// server keeps running, and the log window can be closed.
class EmptyBaseUnloadTest : public test::InstallationTest {};

TEST_F(EmptyBaseUnloadTest, WorkplaceThatDoesNotCloseStopsBeforeTheServer) {
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "");
  fs::remove(inst_ + "/ocx/IMD.DAT");
  const ProcessEntry server = StartStandinServer();
  const ProcessEntry workplace = test::StartStandin(inst_ + "/bin/Bureo", "ignore");
  const std::string base = dir_ / "base.gdb";
  WriteFile(base, "database");
  Register("A", 1, base);
  const std::string registry = RegistryText();

  ScriptedInteraction ui;
  ui.AnswerChoice({1});
  RecordingView view;
  FakeClock clock;  // the stand-in ignores the close: no real time needed
  MainOperations ops(ui, clock, view, control_);
  ops.MultiRegistryModule = ZTV_MULTIREGISTRY_MODULE_PATH;
  ops.Updater().Refresh();
  std::string error = "<no error>";
  try {
    ops.tbEmptyBaseClick(TSender::Button);
  } catch (const Exception& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Ошибка выгрузки приложений. Не удаётся выгрузить ЗТВ");
  EXPECT_EQ(ui.LogText(), "Выгрузка приложений.\nРабочее место... ");
  EXPECT_EQ(WithoutProgress(ui.Events()).back(), "log:closebutton");
  EXPECT_TRUE(test::Alive(workplace));
  EXPECT_TRUE(test::Alive(server));
  EXPECT_EQ(ReadFile(base), "database");
  EXPECT_EQ(RegistryText(), registry);
}

}  // namespace
}  // namespace ztv
