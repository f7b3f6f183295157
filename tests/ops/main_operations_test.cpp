#include "ops/main_operations.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "ops/scripted_interaction.h"
#include "support/registry_fixture.h"

namespace ztv {
namespace {

using test::ScopedCommandLine;
using test::ScopedRegistry;

struct RecordingView : MainView {
  std::vector<std::string> calls;
  void UpdateStatusPanel(bool clear) override { calls.push_back(clear ? "clear" : "fill"); }
  void CloseMainWindow() override { calls.push_back("close"); }
};

const std::string kKey =
    "[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
    "\"CurrentVersionDirectory\"=\"/opt/ztv\"\n"
    "\"BackupDirectory\"=\"/b\"\n"
    "\"UpdateDirectory\"=\"/u\"\n"
    "\"CurrentVersion\"=\"  7.1 \"\n"
    "\"CurrentStatus\"=dword:00000002\n";

TEST(CommandLineWords, BatchCodesAndAutoRun) {
  struct Case {
    std::vector<std::string> args;
    int32_t code;
    bool autoRun;
  };
  const Case cases[] = {
      {{}, kBatchNone, false},
      {{"backup"}, kBatchBackup, false},
      {{"BACKUP"}, kBatchBackup, false},
      {{"IsRelative", "backup"}, kBatchBackup, false},
      {{"restore"}, kBatchRestore, false},
      {{"Restore"}, kBatchRestore, false},
      {{"backup", "restore"}, kBatchRestore, false},
      {{"restore", "x"}, kBatchNone, false},
      {{"backup", "autoRun"}, kBatchNone, false},  // last word decides; two parameters: no auto run
      {{"autoRun"}, kBatchNone, true},
      {{"AUTORUN"}, kBatchNone, false},           // exact case only
      {{"autorun"}, kBatchNone, false},
      {{"backup", "autoRun", "x"}, kBatchNone, false},
  };
  for (const auto& c : cases) {
    ScopedCommandLine cl(c.args);
    std::string label;
    for (const auto& a : c.args) label += a + " ";
    EXPECT_EQ(BatchCodeFromCommandLine(), c.code) << label;
    EXPECT_EQ(AutoRunRequested(), c.autoRun) << label;
  }
  // Without parameters the program's own path is the last one: even a
  // program file named "backup" is no batch word.
  ScopedCommandLine cl({}, "/opt/ztv/backup");
  EXPECT_EQ(BatchCodeFromCommandLine(), kBatchNone);
}

TEST(StatusPanel, RowsTextsAndClearing) {
  EXPECT_EQ(StatusText(1), "Рабочая версия.");
  EXPECT_EQ(StatusText(2), "Начато и не завершено проведение обновления.");
  EXPECT_EQ(StatusText(0), "Не определен. Требуется переустановка системы.");
  EXPECT_EQ(StatusText(5), "Не определен. Требуется переустановка системы.");
  EXPECT_EQ(StatusText(-1), "Не определен. Требуется переустановка системы.");

  TUpdater u;
  u.CurrentVersion = "  7.1\r\n";
  u.BackupVersion = "\t \x01";
  u.CurrentStatus = 1;
  u.CurrentVersionDirectory = "/opt/ztv";
  auto rows = StatusRows(u, false);
  ASSERT_EQ(rows.size(), 6u);
  const char* ids[] = {"CurrentVersion", "BackupVersion", "CurrentStatus", "CurrentDir", "BackupDir", "UpdatesDir"};
  const char* captions[] = {"Текущая версия", "Версия в копии", "Состояние текущей версии",
                            "Каталог установки текущей версии", "Каталог для хранения резервной копии",
                            "Каталог для хранения обновлений"};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(rows[i].id, ids[i]);
    EXPECT_EQ(rows[i].caption, captions[i]);
  }
  EXPECT_EQ(rows[0].value, "7.1");
  EXPECT_EQ(rows[1].value, "<Не определено>");
  EXPECT_EQ(rows[2].value, "Рабочая версия.");
  EXPECT_EQ(rows[3].value, "/opt/ztv");
  EXPECT_EQ(rows[4].value, "<Не определено>");
  for (const auto& r : StatusRows(u, true)) EXPECT_EQ(r.value, "") << r.id;
}

TEST(MainOperationsTest, FormShowClearsRefreshesAndFills) {
  ScopedRegistry reg(kKey);
  ScopedCommandLine cl({});
  ScriptedInteraction ui;
  FakeClock clock;
  RecordingView view;
  MainOperations ops(ui, clock, view);
  EXPECT_FALSE(ops.FormShow());  // no automatic update without "autoRun"
  EXPECT_EQ(view.calls, (std::vector<std::string>{"clear", "fill"}));
  EXPECT_EQ(ops.Updater().CurrentStatus, 2);
  EXPECT_EQ(StatusRows(ops.Updater(), false)[0].value, "7.1");
  EXPECT_TRUE(ui.Events().empty());
}

TEST(MainOperationsTest, FailedRefreshLeavesThePanelBlank) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n\"CurrentVersion\"=\"7\"\n");
  ScopedCommandLine cl({"autoRun"});
  ScriptedInteraction ui;
  FakeClock clock;
  RecordingView view;
  MainOperations ops(ui, clock, view);
  try {
    ops.FormShow();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Не удается считать информацию о состоянии текущей версии.");
  }
  EXPECT_EQ(view.calls, std::vector<std::string>{"clear"});
  EXPECT_EQ(ops.Updater().CurrentVersion, "7");
  EXPECT_EQ(ops.Updater().CurrentStatus, 0);
}

TEST(MainOperationsTest, BatchRequestRefreshesForEveryCode) {
  ScopedRegistry reg(kKey);
  ScopedCommandLine cl({"backup"});
  ScriptedInteraction ui;
  FakeClock clock;
  RecordingView view;
  MainOperations ops(ui, clock, view);
  ops.BatchRequest(1, 7);  // unknown code: only the refresh
  EXPECT_EQ(ops.Updater().CurrentStatus, 2);
  EXPECT_TRUE(view.calls.empty());  // the panel is not redrawn
  reg.Write("");
  EXPECT_THROW(ops.BatchRequest(1, kBatchBackup), ETyped);
}

TEST(MainOperationsTest, EngineProgressReachesTheInteraction) {
  ScriptedInteraction ui;
  FakeClock clock;
  RecordingView view;
  MainOperations ops(ui, clock, view);
  ASSERT_TRUE(ops.Updater().OnProgress);
  ops.Updater().OnProgress(37, "Backup.DAT");
  ops.ShowProgress(0, "");
  ops.ShowProgress(-3, "x");
  EXPECT_EQ(ui.Events(), (std::vector<std::string>{"progress:37%|Backup.DAT", "progress:|", "progress:|x"}));
}

}  // namespace
}  // namespace ztv
