// The update, restore and batch operations on a real installation in a
// temporary directory: real files, a real update package, a real backup
// archive, the workplace program and the database server as real processes
// (stand-ins, and on the full update road a real Firebird server), questions
// answered from a script, the fixed waits recorded by the clock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "control/run_close_program.h"
#include "core/errors.h"
#include "engine/update_package.h"
#include "engine/ztv_procs.h"
#include "formats/tar/tar.h"
#include "installation_fixture.h"
#include "ops/main_operations.h"
#include "ops/scripted_interaction.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::Alive;
using test::ReadFile;
using test::Running;
using test::Snapshot;
using test::WriteFile;

const char* kUpdateQuestion =
    "Перед установкой обновления необходимо выгрузить (закрыть, выключить) программу на сетевых машинах.\n\n"
    "Установить обновление?";
const char* kRestoreQuestion = "Восстановить систему из резервной копии (текущие данные будут потеряны)?";

// The recorded events without the progress reports.
std::vector<std::string> WithoutProgress(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.rfind("progress:", 0) != 0) out.push_back(e);
  return out;
}

// The waits with runs of equal ones counted once: {1000, 200, 200, 3000}
// gives {1000, 200, 3000}. How often a poll repeats depends on how fast the
// real process reacts; which waits come in which order does not.
std::vector<int64_t> WaitShape(const std::vector<int64_t>& sleeps) {
  std::vector<int64_t> shape;
  for (int64_t s : sleeps)
    if (shape.empty() || shape.back() != s) shape.push_back(s);
  return shape;
}

template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no error>";
}

// The scripted interaction that also keeps each question's buttons, default
// button and icon and each message's icon, and lets a test look at the
// machine when the engine first reports progress (that is, while the backup
// or the restore runs).
class Ui : public ScriptedInteraction {
 public:
  struct Question {
    std::string text;
    DialogButtons buttons;
    DialogButton defaultButton;
    MessageIcon icon;
  };

  DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                   DialogButton defaultButton, MessageIcon icon) override {
    questions.push_back({text, buttons, defaultButton, icon});
    return ScriptedInteraction::Ask(caption, text, buttons, defaultButton, icon);
  }
  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
    messageIcons.push_back(icon);
    ScriptedInteraction::ShowMessage(caption, text, icon);
  }
  void Progress(int32_t percent, const std::string& text) override {
    if (percent >= 1 && onFirstProgress) {
      auto probe = std::move(onFirstProgress);
      onFirstProgress = nullptr;
      probe();
    }
    ScriptedInteraction::Progress(percent, text);
  }

  std::vector<Question> questions;
  std::vector<MessageIcon> messageIcons;
  std::function<void()> onFirstProgress;
};

struct RecordingView : MainView {
  std::vector<std::string> calls;
  void UpdateStatusPanel(bool clear) override { calls.push_back(clear ? "clear" : "fill"); }
  void CloseMainWindow() override { calls.push_back("close"); }
};

class OperationsTest : public test::InstallationTest {
 protected:
  std::unique_ptr<MainOperations> Ops(Ui& ui, RecordingView& view, Clock& clock) {
    return std::make_unique<MainOperations>(ui, clock, view, control_);
  }
};

TEST_F(OperationsTest, UpdateRoadWithARealFirebirdServer) {
  const std::string missing = test::FirebirdSandbox::Unavailable();
  if (!missing.empty()) GTEST_SKIP() << missing;
  test::FirebirdSandbox fb(dir_);
  serverKey_ = fb.RegistryKey();
  WriteSettings("7.1.2", 1, "");

  // The package from 7.1.2 to 7.2.0: LZMA in parts, with an installer that
  // records that it ran.
  const std::string src = dir_ / "package-source";
  WriteFile(src + "/UpdateInstaller.exe", "#!/bin/sh\necho \"$0\" > \"$(dirname \"$0\")/installer-ran\"\n");
  WriteFile(src + "/bin/version.txt", "workplace client 7.2.0\n");
  WriteFile(src + "/Данные/шаблон.gdb", std::string(40000, 'N') + std::string(30000, 'M'));
  BuildPackage(src, updates_, TPackageBuildOptions{"7.1.2", "7.2.0", true, 9000});
  ASSERT_TRUE(fs::exists(updates_ + "/Files.DAT"));

  // The machine as the update finds it: the server runs as a program and
  // takes clients, the workplace program runs.
  RunServerProgram(kServerFirebird, "", control_);
  ASSERT_TRUE(fb.WaitUntilAccepting(20000)) << "the server did not start";
  ASSERT_TRUE(fb.ClientConnects());
  const auto serversBefore = Running("firebird");
  ASSERT_EQ(serversBefore.size(), 1u);
  const ProcessEntry workplace = StartWorkplace();
  ASSERT_TRUE(Alive(workplace));
  const auto installed = Snapshot(inst_);

  Ui ui;
  RecordingView view;
  // Polls of the server's end pass in full, the long waits are cut short.
  test::CappedClock clock(200);
  auto ops = Ops(ui, view, clock);
  EXPECT_FALSE(ops->FormShow());
  view.calls.clear();

  int workplacesDuringBackup = -1, serversDuringBackup = -1;
  std::string backupVersionDuringBackup = "<not probed>";
  ui.onFirstProgress = [&] {
    workplacesDuringBackup = test::CountNamed("Bureo");
    serversDuringBackup = test::CountNamed("firebird");
    backupVersionDuringBackup = GetBackupVersion();
  };
  ui.Answer(DialogButton::Yes);
  ops->btnUpdateClick(TSender::Button);

  // The question, then the log exactly as the steps write it.
  ASSERT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0].text, kUpdateQuestion);
  EXPECT_EQ(ui.questions[0].buttons, DialogButtons::YesNo);
  EXPECT_EQ(ui.questions[0].defaultButton, DialogButton::Yes);
  EXPECT_EQ(ui.questions[0].icon, MessageIcon::Question);
  const std::vector<std::string> expected = {
      std::string("ask:Подтверждение|") + kUpdateQuestion,
      "log:clear",
      "log:statusbar",
      "log:show",
      "log:+Выгрузка приложений.",
      "log:+Рабочее место...",
      "log:=ОК",
      "log:+останавливаем СУБД...",
      "log:=ОК",
      "log:+Резервное копирование текущей версии...",
      "log:=Успешно завершено",
      "log:+Распаковка обновления...",
      "log:=завершена успешно",
      "log:+Запуск программы обновления...",
      "log:=прошел успешно",
      "log:close",
  };
  const auto events = ui.Events();
  EXPECT_EQ(WithoutProgress(events), expected);
  EXPECT_EQ(ui.LogText(),
            "Выгрузка приложений.\n"
            "Рабочее место...ОК\n"
            "останавливаем СУБД...ОК\n"
            "Резервное копирование текущей версии...Успешно завершено\n"
            "Распаковка обновления...завершена успешно\n"
            "Запуск программы обновления...прошел успешно");
  // The backup reported its progress; both panels were emptied before the
  // unpacking.
  const auto unpacking = std::find(events.begin(), events.end(), "log:+Распаковка обновления...");
  ASSERT_NE(unpacking, events.end());
  EXPECT_EQ(*(unpacking - 1), "progress:|");
  EXPECT_GT(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.rfind("progress:", 0) == 0 && e != "progress:|"; }),
            0);
  EXPECT_TRUE(ui.Errors().empty());
  // The panel is redrawn in the clean-up, then the main window closes.
  EXPECT_EQ(view.calls, (std::vector<std::string>{"fill", "close"}));

  // The workplace was closed and the server stopped while the backup was
  // written; "BackupVersion" was empty meanwhile.
  EXPECT_FALSE(Alive(workplace));
  EXPECT_EQ(workplacesDuringBackup, 0);
  EXPECT_EQ(serversDuringBackup, 0);
  EXPECT_EQ(backupVersionDuringBackup, "");
  EXPECT_FALSE(Alive(serversBefore[0]));

  // The server was started again and takes clients.
  ASSERT_TRUE(fb.WaitUntilAccepting(20000)) << "the server was not started again";
  EXPECT_TRUE(fb.ClientConnects());
  const auto serversAfter = Running("firebird");
  ASSERT_EQ(serversAfter.size(), 1u);
  EXPECT_EQ(serversAfter[0].exeFile, "firebird");

  // Backup.DAT holds the installation as it was; the settings say so.
  EXPECT_EQ(BackupContents(), installed);
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
  EXPECT_FALSE(fs::exists(backup_ + "/Backup.DAT.new"));

  // The package was unpacked and its installer started from there.
  const std::string unpack = updates_ + "/_ZTV_UPDATE_";
  const std::string marker = unpack + "/installer-ran";
  ASSERT_TRUE(test::WaitFor([&] { return fs::exists(marker) && fs::file_size(marker) > 0; }, 10000))
      << "the installer did not run";
  EXPECT_EQ(ReadFile(marker), unpack + "/UpdateInstaller.exe\n");
  auto unpacked = Snapshot(unpack);
  unpacked.erase("installer-ran");
  EXPECT_EQ(unpacked, Snapshot(src));

  // The waits: closing the workplace (1000 ms), the server's end polled
  // every 200 ms, 3000 ms after the stop, 5000 ms after the start.
  EXPECT_EQ(WaitShape(clock.Sleeps()), (std::vector<int64_t>{1000, 200, 3000, 200, 5000}));
}

TEST_F(OperationsTest, UpdateThatFailsCleansUpAndLeavesTheWindowOpen) {
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "");
  // No package in the update directory.
  const ProcessEntry server = StartStandinServer();
  Ui ui;
  RecordingView view;
  test::CappedClock clock(50);
  auto ops = Ops(ui, view, clock);
  ops->Updater().Refresh();
  ui.Answer(DialogButton::Yes);
  const std::string error = ErrorOf([&] { ops->btnUpdateClick(TSender::Button); });
  EXPECT_EQ(error.rfind("Ошибка загрузки заголовка [" + updates_ + "/Files.DAT]: ", 0), 0u) << error;

  const auto events = WithoutProgress(ui.Events());
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "log:+Распаковка обновления...");
  EXPECT_EQ(events.back(), "log:close");
  EXPECT_EQ(ui.LogText(),
            "Выгрузка приложений.\n"
            "Рабочее место...ОК\n"
            "останавливаем СУБД...ОК\n"
            "Резервное копирование текущей версии...Успешно завершено\n"
            "Распаковка обновления...");
  // Redrawn, but the main window stays open.
  EXPECT_EQ(view.calls, std::vector<std::string>{"fill"});
  // The backup was made and the server started again before the failure.
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_FALSE(Alive(server));
  EXPECT_TRUE(test::WaitFor([] { return Running("firebird").size() == 1; }, 5000));
  // No workplace ran: nothing to wait for there.
  EXPECT_EQ(WaitShape(clock.Sleeps()), (std::vector<int64_t>{200, 3000, 200, 5000}));
}

TEST_F(OperationsTest, WorkplaceThatDoesNotCloseStopsTheUpdateBeforeTheServer) {
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "");
  const ProcessEntry server = StartStandinServer();
  const ProcessEntry workplace = test::StartStandin(inst_ + "/bin/Bureo", "ignore");
  const std::string registry = RegistryText();
  Ui ui;
  RecordingView view;
  FakeClock clock;  // the stand-in ignores the close: no real time needed
  auto ops = Ops(ui, view, clock);
  ops->Updater().Refresh();
  ui.Answer(DialogButton::Yes);
  EXPECT_EQ(ErrorOf([&] { ops->btnUpdateClick(TSender::Button); }), "Не удаётся выгрузить ЗТВ");
  EXPECT_EQ(ui.LogText(), "Выгрузка приложений.\nРабочее место...");
  EXPECT_EQ(WithoutProgress(ui.Events()).back(), "log:close");
  EXPECT_EQ(view.calls, std::vector<std::string>{"fill"});
  EXPECT_TRUE(Alive(workplace));
  EXPECT_TRUE(Alive(server));  // never stopped
  EXPECT_EQ(RegistryText(), registry);
  EXPECT_FALSE(fs::exists(backup_ + "/Backup.DAT"));
  EXPECT_EQ(clock.Sleeps(), std::vector<int64_t>(21, 1000));
}

// Requests that end before anything is touched: the workplace and the server
// keep running, the registry, the installation and the backup stay as they
// were, and nothing waits.
class UntouchedTest : public OperationsTest {
 protected:
  void SetUp() override {
    OperationsTest::SetUp();
    if (HasFatalFailure()) return;
    InstallStandinServer();
    WriteSettings("7.1.2", 1, "7.1.0");
    WriteFile(backup_ + "/Backup.DAT", "an older backup");
    workplace_ = StartWorkplace();
    server_ = StartStandinServer();
    registryText_ = RegistryText();
    installation_ = Snapshot(inst_);
  }

  void ExpectUntouched() {
    EXPECT_TRUE(Alive(workplace_));
    EXPECT_TRUE(Alive(server_));
    EXPECT_EQ(RegistryText(), registryText_);
    EXPECT_EQ(Snapshot(inst_), installation_);
    EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), "an older backup");
    EXPECT_TRUE(clock_.Sleeps().empty());
  }

  ProcessEntry workplace_, server_;
  std::string registryText_;
  std::map<std::string, std::string> installation_;
  FakeClock clock_;
  Ui ui_;
  RecordingView view_;
};

TEST_F(UntouchedTest, BatchCodeThreeOnlyReloadsTheSettings) {
  auto ops = Ops(ui_, view_, clock_);
  EXPECT_EQ(ops->Updater().CurrentVersion, "");
  ops->BatchRequest(1, 3);
  EXPECT_EQ(ops->Updater().CurrentVersion, "7.1.2");
  EXPECT_EQ(ops->Updater().BackupVersion, "7.1.0");
  EXPECT_EQ(ops->Updater().CurrentVersionDirectory, inst_);
  EXPECT_TRUE(ui_.Events().empty());
  EXPECT_TRUE(view_.calls.empty());  // the panel is not redrawn
  ExpectUntouched();
}

TEST_F(UntouchedTest, BatchRestoreAnsweredNo) {
  auto ops = Ops(ui_, view_, clock_);
  ui_.Answer(DialogButton::No);
  ops->BatchRequest(1, kBatchRestore);
  EXPECT_EQ(ui_.Events(), std::vector<std::string>{std::string("ask:Подтверждение|") + kRestoreQuestion});
  ASSERT_EQ(ui_.questions.size(), 1u);
  EXPECT_EQ(ui_.questions[0].defaultButton, DialogButton::No);
  EXPECT_EQ(ui_.questions[0].buttons, DialogButtons::YesNo);
  EXPECT_EQ(ui_.questions[0].icon, MessageIcon::Question);
  EXPECT_TRUE(view_.calls.empty());
  ExpectUntouched();
}

TEST_F(UntouchedTest, AutomaticUpdateShowsTheNoticeThenTheQuestion) {
  test::ScopedCommandLine autoRun({"autoRun"});
  auto ops = Ops(ui_, view_, clock_);
  EXPECT_TRUE(ops->FormShow());
  view_.calls.clear();
  ui_.Answer(DialogButton::No);
  ops->btnUpdateClick(TSender::Form);
  EXPECT_EQ(ui_.Events(), (std::vector<std::string>{
                              "message:Уведомление|Предыдущая операция прервана в связи с обновлением.",
                              std::string("ask:Подтверждение|") + kUpdateQuestion,
                          }));
  EXPECT_EQ(ui_.messageIcons, std::vector<MessageIcon>{MessageIcon::Warning});
  ASSERT_EQ(ui_.questions.size(), 1u);
  EXPECT_EQ(ui_.questions[0].defaultButton, DialogButton::Yes);
  EXPECT_TRUE(view_.calls.empty());
  ExpectUntouched();
}

TEST_F(UntouchedTest, UpdateRefusedForAStatusOtherThanOneAfterTheQuestion) {
  WriteSettings("7.1.2", 2, "7.1.0");
  registryText_ = RegistryText();
  auto ops = Ops(ui_, view_, clock_);
  ops->Updater().Refresh();
  ui_.Answer(DialogButton::Yes);
  ops->btnUpdateClick(TSender::Button);
  EXPECT_EQ(ui_.Events(),
            (std::vector<std::string>{
                std::string("ask:Подтверждение|") + kUpdateQuestion,
                "message:Обновление/восстановление ЗТВ|Текущая версия неработоспособна. Необходимо восстановить ее "
                "из резервной копии.",
            }));
  ExpectUntouched();
}

TEST_F(UntouchedTest, MissingDirectoryIsNamedAndNothingAfterItIsChecked) {
  // All three missing: only the installation directory is named.
  const std::string inst = dir_ / "нет/ЗТВ";
  const std::string backup = dir_ / "нет/backup";
  const std::string updates = dir_ / "нет/updates";
  struct Case {
    std::string inst, backup, updates, named;
  };
  const Case cases[] = {
      {inst, backup, updates, inst},
      {inst_, backup, updates, backup},
      {inst_, backup_, updates, updates},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    Ui ui;
    auto caseOps = Ops(ui, view_, clock_);
    caseOps->Updater().CurrentStatus = 1;
    caseOps->Updater().CurrentVersionDirectory = c.inst;
    caseOps->Updater().BackupDirectory = c.backup;
    caseOps->Updater().UpdateDirectory = c.updates;
    ui.Answer(DialogButton::Yes);
    caseOps->btnUpdateClick(TSender::Button);
    EXPECT_EQ(ui.Events(), (std::vector<std::string>{
                               std::string("ask:Подтверждение|") + kUpdateQuestion,
                               "message:Обновление/восстановление ЗТВ|Директория " + c.named + " не существует",
                           }));
  }
  // A file where a directory should be is no directory either.
  WriteFile(dir_ / "a-file", "x");
  Ui ui;
  auto fileOps = Ops(ui, view_, clock_);
  fileOps->Updater().CurrentStatus = 1;
  fileOps->Updater().CurrentVersionDirectory = dir_ / "a-file";
  ui.Answer(DialogButton::Yes);
  fileOps->btnUpdateClick(TSender::Button);
  EXPECT_EQ(ui.Events().back(), "message:Обновление/восстановление ЗТВ|Директория " + (dir_ / "a-file") +
                                    " не существует");
  EXPECT_TRUE(view_.calls.empty());
  ExpectUntouched();
}

TEST_F(UntouchedTest, UpdateAndRestoreAnsweredNo) {
  auto ops = Ops(ui_, view_, clock_);
  ops->Updater().Refresh();
  ui_.Answer(DialogButton::No);
  ui_.Answer(DialogButton::Cancel);  // anything but Yes
  ops->btnUpdateClick(TSender::Button);
  ops->btnRestoreClick(TSender::Button);
  EXPECT_EQ(ui_.Events(), (std::vector<std::string>{std::string("ask:Подтверждение|") + kUpdateQuestion,
                                                    std::string("ask:Подтверждение|") + kRestoreQuestion}));
  EXPECT_TRUE(view_.calls.empty());
  ExpectUntouched();
}

TEST_F(UntouchedTest, RestoreWithoutABackupClosesNothing) {
  // No backup version (the file is there), then a version but no file.
  for (bool withVersion : {false, true}) {
    SCOPED_TRACE(withVersion);
    WriteSettings("7.1.2", 2, withVersion ? "7.1.0" : "");
    if (withVersion) fs::remove(backup_ + "/Backup.DAT");
    registryText_ = RegistryText();
    Ui ui;
    auto ops = Ops(ui, view_, clock_);
    ops->Updater().Refresh();
    ui.Answer(DialogButton::Yes);
    EXPECT_EQ(ErrorOf([&] { ops->btnRestoreClick(TSender::Button); }), "Резервная копия отсутствует");
    // Refused after the question, before the log window, the workplace or
    // the server: the status was not touched.
    EXPECT_EQ(ui.Events(), std::vector<std::string>{std::string("ask:Подтверждение|") + kRestoreQuestion});
    EXPECT_EQ(ops->Updater().CurrentStatus, 2);
    EXPECT_TRUE(Alive(workplace_));
    EXPECT_TRUE(Alive(server_));
    EXPECT_EQ(RegistryText(), registryText_);
    EXPECT_EQ(Snapshot(inst_), installation_);
    EXPECT_TRUE(clock_.Sleeps().empty());
  }
}

// The installation after a broken update of 7.2.0, with the backup of 7.1.2
// that was made before it; the workplace and the server run.
class DamagedBackupTest : public OperationsTest {
 protected:
  void SetUp() override {
    OperationsTest::SetUp();
    if (HasFatalFailure()) return;
    InstallStandinServer();
    WriteSettings("7.1.2", 1, "");
    MakeBackupNow();
    backedUp_ = Snapshot(inst_);
    goodBackup_ = ReadFile(backup_ + "/Backup.DAT");
    WriteFile(inst_ + "/bin/version.txt", "workplace client 7.2.0\n");
    WriteFile(inst_ + "/bin/new.dll", "new");
    WriteSettings("7.2.0", 2, "7.1.2");
    workplace_ = StartWorkplace();
    server_ = StartStandinServer();
    registryText_ = RegistryText();
    installation_ = Snapshot(inst_);
  }

  // The members of the good backup: name and header offset.
  std::vector<std::pair<std::string, int64_t>> Members() {
    std::vector<std::pair<std::string, int64_t>> members;
    TTarArchive archive(backup_ + "/Backup.DAT");
    TTarDirRec r;
    while (archive.FindNext(r)) members.emplace_back(r.Name, r.HeaderPos);
    return members;
  }

  void ExpectNothingChanged() {
    EXPECT_EQ(Snapshot(inst_), installation_);
    EXPECT_EQ(RegistryText(), registryText_);
    EXPECT_EQ(GetCurrentStatus(), 2);
    EXPECT_TRUE(Alive(workplace_));
  }

  std::map<std::string, std::string> backedUp_, installation_;
  std::string goodBackup_, registryText_;
  ProcessEntry workplace_, server_;
};

TEST_F(DamagedBackupTest, RestoreFromADamagedBackupChangesNothingAndTheGoodOneStillRestores) {
  const auto members = Members();
  ASSERT_GE(members.size(), 4u);
  ASSERT_EQ(members.back().first, "Index.trs");
  // The largest member, "Данные/шаблон.gdb" (70000 bytes).
  std::pair<std::string, int64_t> big;
  for (size_t i = 0; i + 1 < members.size(); ++i)
    if (members[i + 1].second - members[i].second > 60000) big = members[i];
  ASSERT_FALSE(big.first.empty());
  std::string badChecksum = goodBackup_;
  badChecksum[static_cast<size_t>(members[1].second) + 140] ^= 1;
  struct Case {
    const char* what;
    std::string bytes;
    std::string cause;
  };
  const std::string file = backup_ + "/Backup.DAT";
  const Case cases[] = {
      {"cut inside a member", goodBackup_.substr(0, static_cast<size_t>(big.second + 512 + 20000)),
       "элемент [" + big.first + "] неполон"},
      {"cut before the index", goodBackup_.substr(0, static_cast<size_t>(members.back().second)),
       "Не найден файл индекса в резервной копии."},
      {"a member header with a bad checksum", badChecksum,
       "неверная контрольная сумма заголовка элемента [" + members[1].first + "]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(file, c.bytes);
    Ui ui;
    RecordingView view;
    FakeClock clock;
    auto ops = Ops(ui, view, clock);
    ops->Updater().Refresh();
    ui.Answer(DialogButton::Yes);
    const std::string error = ErrorOf([&] { ops->btnRestoreClick(TSender::Button); });
    const std::string expected =
        "Ошибка восстановления из резервной копии: Резервная копия [" + file + "] повреждена: " + c.cause;
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    // Refused before the workplace was closed or the server stopped.
    EXPECT_EQ(ui.Events(), std::vector<std::string>{std::string("ask:Подтверждение|") + kRestoreQuestion});
    EXPECT_TRUE(Alive(server_));
    EXPECT_TRUE(clock.Sleeps().empty());
    ExpectNothingChanged();
    // The engine refuses it the same way when called by itself.
    TUpdater u;
    u.Refresh();
    EXPECT_EQ(ErrorOf([&] { u.RestoreFromBackup(); }).rfind(expected, 0), 0u);
    ExpectNothingChanged();
  }

  // The good backup put back restores, as before.
  WriteFile(file, goodBackup_);
  Ui ui;
  RecordingView view;
  test::CappedClock clock(50);
  auto ops = Ops(ui, view, clock);
  ops->Updater().Refresh();
  ui.Answer(DialogButton::Yes);
  ops->btnRestoreClick(TSender::Button);
  EXPECT_EQ(Snapshot(inst_), backedUp_);
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
}

// Records the waits and runs `onWait` when the wait of `ms` comes.
class HookedClock : public test::CappedClock {
 public:
  HookedClock(int64_t ms, std::function<void()> onWait) : CappedClock(50), ms_(ms), onWait_(std::move(onWait)) {}
  void Sleep(int64_t milliseconds) override {
    if (milliseconds == ms_ && onWait_) std::exchange(onWait_, nullptr)();
    CappedClock::Sleep(milliseconds);
  }

 private:
  int64_t ms_;
  std::function<void()> onWait_;
};

TEST_F(DamagedBackupTest, BackupDamagedWhileTheServerStopsIsRefusedAndTheServerStartsAgain) {
  // The backup passes the check before the workplace is closed, and is cut
  // while the restore waits for the server to end.
  const std::string file = backup_ + "/Backup.DAT";
  HookedClock clock(3000, [&] { fs::resize_file(file, goodBackup_.size() / 2); });
  Ui ui;
  RecordingView view;
  auto ops = Ops(ui, view, clock);
  ops->Updater().Refresh();
  ui.Answer(DialogButton::Yes);
  const std::string error = ErrorOf([&] { ops->btnRestoreClick(TSender::Button); });
  EXPECT_EQ(error.rfind("Ошибка восстановления из резервной копии: Резервная копия [" + file + "] повреждена: ", 0), 0u)
      << error;
  EXPECT_EQ(ui.LogText(), "Выгрузка приложений.\nРабочее место...ОК\nСУБД...ОК\nВосстановление текущей версии...");
  EXPECT_EQ(WithoutProgress(ui.Events()).back(), "log:close");
  // The engine refused it before changing anything, so the server stopped
  // for it runs again.
  EXPECT_EQ(Snapshot(inst_), installation_);
  EXPECT_EQ(GetCurrentStatus(), 2);
  EXPECT_FALSE(Alive(workplace_));
  EXPECT_FALSE(Alive(server_));
  EXPECT_TRUE(test::WaitFor([] { return Running("firebird").size() == 1; }, 5000)) << "the server was not started";
}

TEST_F(OperationsTest, RestoreBringsBackTheBackupAndLeavesTheServerStopped) {
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "");
  // What a Linux installation holds besides its files' content: modes,
  // links, a private file, a group folder.
  WriteFile(inst_ + "/etc/db.key", "key");
  ::chmod((inst_ + "/etc/db.key").c_str(), 0600);
  ::chmod((inst_ + "/Данные").c_str(), 02750);
  fs::create_symlink("Bureo", inst_ + "/bin/bureo");
  fs::create_directory_symlink("../Данные", inst_ + "/bin/data");
  MakeBackupNow();
  const auto backedUp = test::StatSnapshot(inst_);
  // The installation changes after the backup: a broken update of 7.2.0.
  WriteFile(inst_ + "/bin/version.txt", "workplace client 7.2.0\n");
  WriteFile(inst_ + "/bin/new.dll", "new");
  fs::remove_all(inst_ + "/Данные");
  WriteSettings("7.2.0", 2, "7.1.2");
  const ProcessEntry workplace = StartWorkplace();
  const ProcessEntry server = StartStandinServer();

  Ui ui;
  RecordingView view;
  test::CappedClock clock(50);
  auto ops = Ops(ui, view, clock);
  ops->Updater().Refresh();
  int32_t statusDuringRestore = -1;
  int workplacesDuringRestore = -1, serversDuringRestore = -1;
  ui.onFirstProgress = [&] {
    statusDuringRestore = GetCurrentStatus();
    workplacesDuringRestore = test::CountNamed("Bureo");
    serversDuringRestore = test::CountNamed("firebird");
  };
  ui.Answer(DialogButton::Yes);
  ops->btnRestoreClick(TSender::Button);

  const auto events = ui.Events();
  EXPECT_EQ(WithoutProgress(events),
            (std::vector<std::string>{
                std::string("ask:Подтверждение|") + kRestoreQuestion,
                "log:statusbar",
                "log:clear",
                "log:show",
                "log:+Выгрузка приложений.",
                "log:+Рабочее место...",
                "log:=ОК",
                "log:+СУБД...",
                "log:=ОК",
                "log:+Восстановление текущей версии...",
                "log:=Успешно завершено",
                "message:Обновление/восстановление ЗТВ|Восстановление версии из резервной копии успешно завершено",
                "log:close",
            }));
  EXPECT_EQ(ui.LogText(),
            "Выгрузка приложений.\nРабочее место...ОК\nСУБД...ОК\nВосстановление текущей версии...Успешно завершено");
  // The panels are emptied after the message, before the clean-up.
  const auto close = std::find(events.begin(), events.end(), "log:close");
  ASSERT_NE(close, events.begin());
  EXPECT_EQ(*(close - 1), "progress:|");
  EXPECT_EQ(view.calls, std::vector<std::string>{"fill"});

  // Status 0 while it ran, 1 after; the backup's version is installed.
  EXPECT_EQ(statusDuringRestore, 0);
  EXPECT_EQ(workplacesDuringRestore, 0);
  EXPECT_EQ(serversDuringRestore, 0);
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(GetCurrentVersion(), "7.1.2");
  EXPECT_EQ(ops->Updater().CurrentStatus, 1);
  EXPECT_EQ(ops->Updater().CurrentVersion, "7.1.2");
  EXPECT_EQ(test::StatSnapshot(inst_), backedUp);
  EXPECT_EQ(::access((inst_ + "/bin/Bureo").c_str(), X_OK), 0);  // the program can start again

  // Neither the server nor the workplace is started again.
  EXPECT_FALSE(Alive(workplace));
  EXPECT_FALSE(Alive(server));
  EXPECT_TRUE(Running("firebird").empty());
  EXPECT_TRUE(Running("Bureo").empty());
  EXPECT_EQ(WaitShape(clock.Sleeps()), (std::vector<int64_t>{1000, 200, 3000}));
}

TEST_F(OperationsTest, BatchBackupAsksNothingWritesNoLinesAndRestartsTheServer) {
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "7.1.0");
  WriteFile(backup_ + "/Backup.DAT", "an older backup");
  const ProcessEntry workplace = StartWorkplace();
  const ProcessEntry server = StartStandinServer();
  const auto installation = Snapshot(inst_);
  Ui ui;
  RecordingView view;
  test::CappedClock clock(50);
  auto ops = Ops(ui, view, clock);
  std::string backupVersionDuringBackup = "<not probed>";
  int serversDuringBackup = -1;
  ui.onFirstProgress = [&] {
    backupVersionDuringBackup = GetBackupVersion();
    serversDuringBackup = test::CountNamed("firebird");
  };
  ops->BatchRequest(1, kBatchBackup);  // reads the settings itself

  const auto events = ui.Events();
  EXPECT_EQ(WithoutProgress(events), (std::vector<std::string>{"log:statusbar", "log:clear", "log:show", "log:close"}));
  // Its progress was reported while the log window showed.
  const auto show = std::find(events.begin(), events.end(), "log:show");
  const auto close = std::find(events.begin(), events.end(), "log:close");
  EXPECT_GT(std::count_if(show, close, [](const std::string& e) { return e.rfind("progress:", 0) == 0 && e != "progress:|"; }),
            0);
  EXPECT_EQ(ui.LogText(), "");
  EXPECT_TRUE(view.calls.empty());

  EXPECT_FALSE(Alive(workplace));
  EXPECT_FALSE(Alive(server));
  EXPECT_EQ(serversDuringBackup, 0);
  EXPECT_EQ(backupVersionDuringBackup, "");
  EXPECT_TRUE(test::WaitFor([] { return Running("firebird").size() == 1; }, 5000)) << "the server was not restarted";
  EXPECT_EQ(BackupContents(), installation);
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_EQ(WaitShape(clock.Sleeps()), (std::vector<int64_t>{1000, 200, 1000, 200}));
}

TEST_F(UntouchedTest, BatchBackupRefusedBeforeAnythingIsClosed) {
  // A status other than 1, and a missing installation or backup directory:
  // found out before the workplace is closed and the server stopped.
  struct Case {
    int status;
    std::string inst, backup, message;
  };
  const std::string missing = dir_ / "нет";
  Case cases[] = {
      {2, inst_, backup_, "Текущая версия ЗТВ является нерабочей. Копирование прервано."},
      {0, inst_, backup_, "Текущая версия ЗТВ является нерабочей. Копирование прервано."},
      {1, missing, backup_, "Директория " + missing + " не существует"},
      {1, inst_, missing, "Директория " + missing + " не существует"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    // The settings name the case's directories.
    std::swap(inst_, c.inst);
    std::swap(backup_, c.backup);
    WriteSettings("7.1.2", c.status, "7.1.0");
    std::swap(inst_, c.inst);
    std::swap(backup_, c.backup);
    registryText_ = RegistryText();
    Ui ui;
    auto ops = Ops(ui, view_, clock_);
    EXPECT_EQ(ErrorOf([&] { ops->BatchRequest(1, kBatchBackup); }), c.message);
    EXPECT_TRUE(ui.Events().empty());
    EXPECT_FALSE(ui.LogVisible());
    ExpectUntouched();
  }
}

TEST_F(OperationsTest, BackupThatFailsAfterTheServerStopStartsItAgain) {
  // A file the tar form cannot hold (over 4 GiB, sparse) makes the backup
  // fail after the workplace was closed and the server stopped.
  InstallStandinServer();
  WriteSettings("7.1.2", 1, "");
  MakeBackupNow();
  const std::string goodBackup = ReadFile(backup_ + "/Backup.DAT");
  WriteFile(inst_ + "/huge.bin", "");
  fs::resize_file(inst_ + "/huge.bin", 5ull << 30);
  const std::string failure = "Ошибка создания резервной копии: Ошибка при создании TAR-файла: ";

  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "batch backup" : "update");
    WriteSettings("7.1.2", 1, "7.1.2");
    const ProcessEntry workplace = StartWorkplace();
    const ProcessEntry server = StartStandinServer();
    Ui ui;
    RecordingView view;
    test::CappedClock clock(50);
    auto ops = Ops(ui, view, clock);
    ops->Updater().Refresh();
    if (!batch) ui.Answer(DialogButton::Yes);
    const std::string error =
        ErrorOf([&] { batch ? ops->BatchRequest(1, kBatchBackup) : ops->btnUpdateClick(TSender::Button); });
    EXPECT_EQ(error.rfind(failure, 0), 0u) << error;
    EXPECT_EQ(WithoutProgress(ui.Events()).back(), "log:close");
    if (!batch) {
      EXPECT_EQ(ui.LogText(),
                "Выгрузка приложений.\nРабочее место...ОК\nостанавливаем СУБД...ОК\nРезервное копирование текущей "
                "версии...");
    }
    // The server that was stopped runs again, started from the same record.
    EXPECT_FALSE(Alive(workplace));
    EXPECT_FALSE(Alive(server));
    EXPECT_TRUE(test::WaitFor([] { return Running("firebird").size() == 1; }, 5000)) << "the server was not started";
    const auto servers = Running("firebird");
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(ops->FServerPath, StandinServerExe());
    // The good backup stays and is named again; the status tells the truth.
    EXPECT_EQ(ReadFile(backup_ + "/Backup.DAT"), goodBackup);
    EXPECT_FALSE(fs::exists(backup_ + "/Backup.DAT.new"));
    EXPECT_EQ(GetBackupVersion(), "7.1.2");
    EXPECT_EQ(ops->Updater().BackupVersion, "7.1.2");
    EXPECT_EQ(GetCurrentStatus(), 1);
    // No unpacking was tried.
    EXPECT_FALSE(fs::exists(updates_ + "/_ZTV_UPDATE_"));
    test::KillProcessesUnder(serverDir_);
  }
}

}  // namespace
}  // namespace ztv
