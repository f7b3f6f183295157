// The optimisation window on the offscreen platform: its captions, columns
// and the single-tick rule, a screenshot for people to look at, and the
// whole road from the main window's button on the real server: the list
// loaded through the component, the window, the tick and OK, the cycle on
// the worker thread with the log window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <thread>

#include "firebird_fixture.h"
#include "gui/application.h"
#include "process_until.h"
#include "gui/backup_restore_window.h"
#include "gui/main_window.h"
#include "multiregistry/registry_store.h"
#include "ops/scripted_interaction.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

QString Screenshots() {
  const QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", ZTV_DEFAULT_SCREENSHOT_DIR);
  std::filesystem::create_directories(dir.toStdString());
  return dir;
}

std::string S(const QString& q) { return q.toStdString(); }

// gbak's polling passes for real (briefly), so that its time-out is not
// used up by a clock that jumps; the fixed waits are recorded only.
class PollClock : public FakeClock {
 public:
  void Sleep(int64_t ms) override {
    FakeClock::Sleep(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(ms, 20)));
  }
};

TEST(TfBackupRestore, CaptionsColumnsAndTheSingleTick) {
  ScriptedInteraction ui;
  FakeClock clock;
  TServerRecord server;
  TBackupRestore ops(ui, clock, server);
  const char* names[] = {"Главная", "Архив", "Филиал"};
  for (int i = 0; i < 3; ++i) {
    TDbListRecord r;
    r.ID = i + 1;
    r.Name = names[i];
    r.DbPath = "/srv/ztv/data/base" + std::to_string(i + 1) + ".gdb";
    r.UsersCount = i == 2 ? 2 : 0;
    r.RequestCount = i == 0 ? 6200 : 120;
    r.RequestLimit = 5000;
    r.IsExceedRequest = i == 0;
    ops.ssDbList.push_back(r);
  }
  TfBackupRestore w(ops, ui);
  EXPECT_EQ(S(w.windowTitle()), "Параметры оптимизации базы данных");
  EXPECT_EQ(S(w.btnOK->text()), "ОК");
  EXPECT_EQ(S(w.btnCancel->text()), "Отмена");
  EXPECT_EQ(S(w.tbRefresh->text()), "Обновить");
  EXPECT_EQ(S(w.GroupBoxMain->title()), "Выберите базу данных");
  const std::vector<std::string> titles = {"  ", "Имя БД", "Подключения", "Необходимость оптимизации", "Путь к БД"};
  const std::vector<int> widths = {30, 120, 75, 90, 250};
  ASSERT_EQ(w.cgMain->columnCount(), 5);
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(S(w.cgMain->horizontalHeaderItem(c)->text()), titles[c]);
    // The designed width, wider only where the platform's font needs it.
    EXPECT_GE(w.cgMain->columnWidth(c), widths[c]);
    EXPECT_LE(w.cgMain->columnWidth(c), widths[c] + 40);
  }
  EXPECT_EQ(S(w.cgMain->horizontalHeaderItem(0)->toolTip()), "Выберите БД, для которой будет произведен backup/restore");
  EXPECT_EQ(w.cgMain->horizontalHeader()->height(), 38);
  EXPECT_EQ(w.cgMain->verticalHeader()->defaultSectionSize(), 16);
  ASSERT_EQ(w.cgMain->rowCount(), 3);
  EXPECT_EQ(S(w.cgMain->item(2, 1)->text()), "Филиал");
  EXPECT_EQ(S(w.cgMain->item(2, 2)->text()), "2");
  EXPECT_EQ(w.cgMain->item(0, 3)->checkState(), Qt::Checked);
  EXPECT_EQ(w.cgMain->item(1, 3)->checkState(), Qt::Unchecked);
  // The advice cannot be ticked by the user.
  EXPECT_FALSE(w.cgMain->item(0, 3)->flags() & Qt::ItemIsUserCheckable);
  EXPECT_EQ(S(w.cgMain->item(1, 4)->text()), "/srv/ztv/data/base2.gdb");

  // Tick the first, then the second: refused with the message, one tick.
  w.cgMain->item(0, 0)->setCheckState(Qt::Checked);
  EXPECT_EQ(ops.CheckedCount, 1);
  w.cgMain->item(1, 0)->setCheckState(Qt::Checked);
  EXPECT_EQ(w.cgMain->item(1, 0)->checkState(), Qt::Unchecked);
  EXPECT_FALSE(ops.ssDbList[1].BackupFlag);
  EXPECT_EQ(ops.CheckedCount, 1);
  EXPECT_EQ(ui.Events(),
            std::vector<std::string>{"message:Оптимизация базы данных|Выбрать можно только одну базу данных"});
  // Clearing the tick lets another one be ticked.
  w.cgMain->item(0, 0)->setCheckState(Qt::Unchecked);
  w.cgMain->item(1, 0)->setCheckState(Qt::Checked);
  EXPECT_TRUE(ops.ssDbList[1].BackupFlag);
  EXPECT_EQ(ops.CheckedCount, 1);

  w.show();
  QApplication::processEvents();
  EXPECT_TRUE(w.grab().save(Screenshots() + "/backup-restore.png"));
  // Cancel closes the window with the Cancel result.
  w.btnCancel->click();
  EXPECT_EQ(w.result(), QDialog::Rejected);
}

class OptimiseWindowRoad : public test::FirebirdTest {};

TEST_F(OptimiseWindowRoad, ButtonWindowTickOkAndTheCycleOnTheWorkerThread) {
  test::ScopedRegistry registry(test::SharedServerRegistration());
  std::string sql = "CREATE TABLE T (ID INTEGER);\nCOMMIT;\nINSERT INTO T VALUES (1);\nINSERT INTO T VALUES (2);\n"
                    "SET GENERATOR G_NUMBEROFREQUESTS TO 6000;\n";
  CreateDatabase("main.gdb", sql);
  const std::string path = dir_ / "main.gdb";
  const std::string imd = dir_ / "ocx/IMD.DAT";
  std::filesystem::create_directories(dir_ / "ocx");
  TRegistryStore store;
  TRegistryNode& key = store.CreateKey(std::string(kBaseListKey) + "\\Главная");
  TRegistryStore::SetInteger(key, kBaseIdValue, 1);
  TRegistryStore::SetString(key, kBasePathValue, path);
  store.SaveToFile(imd);

  ScriptedInteraction ui;
  PollClock clock;
  TfMain w(ui, clock);
  w.FUpdater().CurrentStatus = 1;
  w.FUpdater().ImdFileName = imd;
  w.Ops().MultiRegistryModule = ZTV_MULTIREGISTRY_MODULE_PATH;
  EXPECT_TRUE(w.btnBackup->isEnabled());
  bool shown = false;
  w.BeforeShowBackupRestore = [&](TfBackupRestore& win) {
    shown = true;
    // The list was read and refreshed before the window showed.
    EXPECT_EQ(win.cgMain->rowCount(), 1);
    EXPECT_EQ(win.cgMain->item(0, 3)->checkState(), Qt::Checked);
    QTimer::singleShot(0, &win, [&win] {
      win.grab().save(Screenshots() + "/backup-restore-road.png");
      win.cgMain->item(0, 0)->setCheckState(Qt::Checked);
      win.btnOK->click();
    });
  };
  ui.Answer(DialogButton::Yes);
  bool finished = false;
  bool succeeded = false;
  QObject::connect(&w, &TfMain::OperationFinished, [&](bool ok) {
    // The list's loading ends first; the cycle's end comes after the window.
    if (shown) {
      finished = true;
      succeeded = ok;
    }
  });
  w.btnBackupClick();
  ASSERT_TRUE(shown);
  ASSERT_TRUE(test::ProcessUntil([&] { return finished; }, 60000));
  EXPECT_TRUE(succeeded);
  EXPECT_TRUE(w.btnBackup->isEnabled());
  const auto events = ui.Events();
  const std::string log = ui.LogText();
  EXPECT_EQ(events.back(), "message:Оптимизация базы данных|Операция оптимизации базы данных прошла успешно.") << log;
  EXPECT_NE(log.find("BACKUP start: "), std::string::npos) << log;
  EXPECT_NE(log.find("RESTORE end: "), std::string::npos) << log;
  // The rebuilt database answers with its counter reset.
  EXPECT_EQ(test::GeneratorValue(test::ServerName(path), "G_NUMBEROFREQUESTS"), 0);
  EXPECT_EQ(test::QueryInteger(test::ServerName(path), "select count(*) V from T"), 2);
}

TEST(TfMainOptimisation, RefusedUnlessTheInstallationWorks) {
  ScriptedInteraction ui;
  FakeClock clock;
  TfMain w(ui, clock);
  w.FUpdater().CurrentStatus = 0;
  bool shown = false;
  w.BeforeShowBackupRestore = [&](TfBackupRestore&) { shown = true; };
  w.btnBackupClick();
  EXPECT_FALSE(shown);
  EXPECT_EQ(ui.Events(), std::vector<std::string>{"message:Оптимизация базы данных|Текущая версия ЗТВ "
                                                  "неработоспособна. Необходимо восстановление из резервной копии."});
}

}  // namespace
}  // namespace ztv

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ztv::SetUpApplication(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
