#include "ops/main_operations.h"

#include <iostream>

#include "core/text.h"
#include "platform/command_line.h"

namespace ztv {

std::string StatusText(int32_t status) {
  switch (status) {
    case 1: return "Рабочая версия.";
    case 2: return "Начато и не завершено проведение обновления.";
    default: return "Не определен. Требуется переустановка системы.";
  }
}

std::string PanelText(const std::string& value) {
  std::string t = Trim(value);
  return t.empty() ? kUndefinedText : t;
}

std::vector<StatusRow> StatusRows(const TUpdater& u, bool clear) {
  std::vector<StatusRow> rows = {
      {"CurrentVersion", "Текущая версия", PanelText(u.CurrentVersion)},
      {"BackupVersion", "Версия в копии", PanelText(u.BackupVersion)},
      {"CurrentStatus", "Состояние текущей версии", StatusText(u.CurrentStatus)},
      {"CurrentDir", "Каталог установки текущей версии", PanelText(u.CurrentVersionDirectory)},
      {"BackupDir", "Каталог для хранения резервной копии", PanelText(u.BackupDirectory)},
      {"UpdatesDir", "Каталог для хранения обновлений", PanelText(u.UpdateDirectory)},
  };
  if (clear)
    for (auto& r : rows) r.value.clear();
  return rows;
}

int32_t BatchCodeFromCommandLine() {
  std::string last = ParamStr(ParamCount());
  if (SameText(last, "backup")) return kBatchBackup;
  if (SameText(last, "restore")) return kBatchRestore;
  return kBatchNone;
}

bool AutoRunRequested() { return ParamCount() == 1 && ParamStr(1) == "autoRun"; }

MainOperations::MainOperations(Interaction& ui, Clock& clock, MainView& view)
    : ui_(ui), clock_(clock), view_(view) {
  FUpdater.OnProgress = [this](int32_t percent, const std::string& text) { ShowProgress(percent, text); };
}

void MainOperations::ShowProgress(int32_t percent, const std::string& text) { ui_.Progress(percent, text); }

void MainOperations::FormShow() {
  view_.UpdateStatusPanel(true);
  FUpdater.Refresh();
  view_.UpdateStatusPanel(false);
  if (AutoRunRequested()) {
    if (!UpdateAvailable()) NotAvailable("the automatic update (autoRun)");
  }
}

void MainOperations::BatchRequest(int32_t /*wParam*/, int32_t code) {
  FUpdater.Refresh();
  if (code == kBatchBackup) {
    NotAvailable("the batch backup");
  } else if (code == kBatchRestore) {
    NotAvailable("the batch restore");
  }
  // Any other code: the refresh is all.
}

void MainOperations::NotAvailable(const std::string& what) {
  std::cerr << "ztv-updater: " << what << " is not available in this build" << std::endl;
}

}  // namespace ztv
