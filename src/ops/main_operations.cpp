#include "ops/main_operations.h"

#include "control/check_running.h"
#include "control/run_close_program.h"
#include "core/errors.h"
#include "core/text.h"
#include "engine/ztv_procs.h"
#include "ops/dir_clean.h"
#include "ops/journal.h"
#include "platform/command_line.h"
#include "platform/paths.h"

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

namespace {

// Closes the log window and (unless told not to) redraws the status panel
// however the operation ends.
class OperationCleanup {
 public:
  OperationCleanup(Interaction& ui, MainView& view, bool redraw = true) : ui_(ui), view_(view), redraw_(redraw) {}
  ~OperationCleanup() {
    try {
      ui_.LogClose();
      if (redraw_) view_.UpdateStatusPanel(false);
    } catch (...) {
      // Nothing more can be done for the windows here.
    }
  }

 private:
  Interaction& ui_;
  MainView& view_;
  bool redraw_;
};

}  // namespace

MainOperations::MainOperations(Interaction& ui, Clock& clock, MainView& view, ControlEnv control)
    : ui_(ui), clock_(clock), view_(view), control_(std::move(control)) {
  TDMServerControl server;
  server.Running = [this] { return AnyServerRunning(); };
  server.Stop = [this] { StopServer(0); };
  server.Start = [this] { StartServer(); };
  FDM = std::make_unique<TDM>(ui_, clock_, FDbPassword, std::move(server));
  FUpdater.OnProgress = [this](int32_t percent, const std::string& text) { ShowProgress(percent, text); };
  control_.clock = &clock_;
  if (!control_.attachments) control_.attachments = DefaultAttachmentCount;
  control_.confirm = [this](const std::string& caption, const std::string& text) {
    return ui_.Ask(caption, text, DialogButtons::OkCancel, DialogButton::Cancel, MessageIcon::Warning) ==
           DialogButton::Ok;
  };
}

void MainOperations::ShowProgress(int32_t percent, const std::string& text) { ui_.Progress(percent, text); }

bool MainOperations::FormShow() {
  view_.UpdateStatusPanel(true);
  FUpdater.Refresh();
  view_.UpdateStatusPanel(false);
  ReportInterruptedOperation();
  return AutoRunRequested();
}

void MainOperations::ReportInterruptedOperation() {
  const auto entry = FindInterruptedOperation();
  if (!entry) return;
  ui_.ShowMessage("Уведомление", InterruptedOperationMessage(*entry), MessageIcon::Warning);
  ClearInterruptedOperation();
}

void MainOperations::Step(const std::string& text) {
  ui_.LogAddText(text, true);
  ui_.Pump();
}

void MainOperations::Append(const std::string& text) { ui_.LogAddText(text, false); }

void MainOperations::UnloadWorkplaceIfRunning() {
  // Only this installation's workplace is closed.
  ControlEnv env = control_;
  env.installationDir = FUpdater.CurrentVersionDirectory;
  if (IsWorkplaceRunning(env)) UnloadWorkplace(env);
}

void MainOperations::StopServer(int64_t waitMs) {
  TServerRecord record;
  IBServerStop(record, control_);
  FServerKind = record.FServerKind;
  FServerPath = record.FServerPath;
  FServerIsService = record.FServerIsService;
  if (waitMs > 0) clock_.Sleep(waitMs);
}

bool MainOperations::AnyServerRunning() {
  return IsGuardianRunning(kServerInterBase, control_) || IsGuardianRunning(kServerFirebird, control_) ||
         RunningServers(false, control_) != 0;
}

void MainOperations::StartServer() {
  TServerRecord record{FServerKind, FServerPath, FServerIsService};
  IBServerStart(record, control_);
}

void MainOperations::StartServerAfterFailure(const Exception& failure) {
  try {
    StartServer();
  } catch (const Exception& startError) {
    throw Exception(std::string(failure.what()) + "\n" + startError.what());
  }
}

void MainOperations::CheckBackupPreconditions() {
  if (FUpdater.CurrentStatus != 1) throw Exception("Текущая версия ЗТВ является нерабочей. Копирование прервано.");
  for (const std::string* dir : {&FUpdater.CurrentVersionDirectory, &FUpdater.BackupDirectory}) {
    if (!IsDirectory(*dir)) throw Exception(Format("Директория %s не существует", *dir));
  }
}

void MainOperations::BatchRequest(int32_t /*wParam*/, int32_t code) {
  FUpdater.Refresh();
  if (code == kBatchBackup || code == kBatchRestore) ReportInterruptedOperation();
  if (code == kBatchBackup) {
    // Nothing is asked and no lines are written in this mode. What would
    // make the backup fail is found out before anything is closed.
    CheckBackupPreconditions();
    ui_.LogSetCloseButtonVisible(false);
    ui_.LogClear();
    ui_.LogShow();
    OperationCleanup cleanup(ui_, view_, false);
    TOperationJournal inProgress(journal::kBackup, journal::kClose);
    UnloadWorkplaceIfRunning();
    StopServer(1000);
    inProgress.Step(journal::kBackupStep);
    try {
      FUpdater.MakeBackup();
    } catch (const Exception& e) {
      // The workplaces are not left without their server.
      StartServerAfterFailure(e);
      throw;
    }
    inProgress.Step(journal::kStartServer);
    StartServer();
  } else if (code == kBatchRestore) {
    btnRestoreClick(TSender::None);
  }
  // Any other code: the refresh is all.
}

void MainOperations::btnUpdateClick(TSender sender) {
  if (sender != TSender::Button)
    ui_.ShowMessage("Уведомление", "Предыдущая операция прервана в связи с обновлением.", MessageIcon::Warning);
  if (!ui_.Confirm("Перед установкой обновления необходимо выгрузить (закрыть, выключить) программу на сетевых "
                   "машинах.\n\nУстановить обновление?",
                   true))
    return;
  if (FUpdater.CurrentStatus != 1) {
    ui_.ShowMessage(kMainCaption, "Текущая версия неработоспособна. Необходимо восстановить ее из резервной копии.",
                    MessageIcon::Warning);
    return;
  }
  for (const std::string* dir : {&FUpdater.CurrentVersionDirectory, &FUpdater.BackupDirectory, &FUpdater.UpdateDirectory}) {
    if (!IsDirectory(*dir)) {
      ui_.ShowMessage(kMainCaption, Format("Директория %s не существует", *dir), MessageIcon::Warning);
      return;
    }
  }

  ui_.LogClear();
  ui_.LogSetCloseButtonVisible(false);
  ui_.LogShow();
  {
    OperationCleanup cleanup(ui_, view_);
    TOperationJournal inProgress(journal::kUpdate, journal::kClose);
    Step("Выгрузка приложений.");
    Step("Рабочее место...");
    UnloadWorkplaceIfRunning();
    Append("ОК");

    Step("останавливаем СУБД...");
    StopServer(3000);
    Append("ОК");

    Step("Резервное копирование текущей версии...");
    inProgress.Step(journal::kBackupStep);
    try {
      FUpdater.MakeBackup();
    } catch (const Exception& e) {
      // The workplaces are not left without their server.
      StartServerAfterFailure(e);
      throw;
    }
    Append("Успешно завершено");

    ShowProgress(0, "");
    ui_.Pump();

    inProgress.Step(journal::kStartServer);
    StartServer();
    clock_.Sleep(5000);

    Step("Распаковка обновления...");
    inProgress.Step(journal::kUnpack);
    FUpdater.UnpackUpdate();
    Append("завершена успешно");

    Step("Запуск программы обновления...");
    inProgress.Step(journal::kInstaller);
    FUpdater.RunInstaller();
    Append("прошел успешно");
  }
  view_.CloseMainWindow();
  ui_.Pump();
}

void MainOperations::btnRestoreClick(TSender /*sender*/) {
  if (!ui_.Confirm("Восстановить систему из резервной копии (текущие данные будут потеряны)?", false)) return;
  // A restore that cannot succeed (no backup, a damaged one) is refused
  // before the workplace is closed and the server stopped.
  FUpdater.CheckBackup();

  ui_.LogSetCloseButtonVisible(false);
  ui_.LogClear();
  ui_.LogShow();
  OperationCleanup cleanup(ui_, view_);
  TOperationJournal inProgress(journal::kRestore, journal::kClose);
  Step("Выгрузка приложений.");
  Step("Рабочее место...");
  UnloadWorkplaceIfRunning();
  Append("ОК");

  Step("СУБД...");
  StopServer(3000);
  Append("ОК");

  Step("Восстановление текущей версии...");
  inProgress.Step(journal::kRestoreStep);
  try {
    FUpdater.RestoreFromBackup();
  } catch (const Exception& e) {
    // The server stays stopped only under an installation the restore has
    // changed.
    if (!FUpdater.RestoreChangedInstallation) StartServerAfterFailure(e);
    throw;
  }
  Append("Успешно завершено");

  ui_.ShowMessage(kMainCaption, "Восстановление версии из резервной копии успешно завершено",
                  MessageIcon::Information);
  ShowProgress(0, "");
}

void MainOperations::btnClearCacheClick(TSender /*sender*/) {
  if (!ui_.Confirm("Очистить кэш обновлений?", false)) return;
  if (!IsDirectory(FUpdater.UpdateDirectory)) {
    ui_.ShowMessage(kMainCaption, Format("Директория %s не существует", FUpdater.UpdateDirectory),
                    MessageIcon::Warning);
    return;
  }
  std::string notDeleted;
  const uint32_t result =
      DeleteDirContents(FUpdater.UpdateDirectory, DeleteOptions::Recurse | DeleteOptions::RemoveSubDirs, &notDeleted);
  const int count = static_cast<int>(result & ~kDeleteFailedBit);
  if (result & kDeleteFailedBit) {
    ui_.ShowMessage(kMainCaption,
                    Format("Кэш обновлений очищен не полностью: удалено %d файлов, не удалось удалить %s", count,
                           notDeleted),
                    MessageIcon::Warning);
    return;
  }
  ui_.ShowMessage(kConfirmCaption, Format("Операция завершена! В процессе очистки кэша было удалено %d файлов.", count),
                  MessageIcon::Information);
}

bool MainOperations::ChooseBases(TStaticSet& list) {
  std::vector<TChoiceRow> rows;
  for (list.First(); !list.Eof(); list.Next())
    rows.push_back({list.FieldByName("ChangeFlag").AsInteger() != 0, list.FieldByName("ID").AsInteger(),
                    list.FieldByName("Name").AsString()});
  if (!ui_.ChooseRows("Замена базы", " Выберите базы для замены ", rows)) return false;
  bool any = false;
  for (const TChoiceRow& row : rows) {
    if (!list.Locate("ID", TVarValue(row.id)))
      throw Exception("TfrmChangeBase.FillResult: внутренняя ошибка поиска записи");
    list.Edit();
    list.FieldByName("ChangeFlag").SetAsInteger(row.checked ? 1 : 0);
    list.Post();
  }
  for (list.First(); !list.Eof(); list.Next())
    if (list.FieldByName("ChangeFlag").AsInteger() != 0) any = true;
  return any;
}

void MainOperations::UnloadApplications() {
  try {
    Step("Выгрузка приложений.");
    Step("Рабочее место... ");
    UnloadWorkplaceIfRunning();
    Append("ОК");
    Step("Останавливаем СУБД... ");
    StopServer(3000);
    Append("ОК");
  } catch (const Exception& e) {
    throw Exception(std::string("Ошибка выгрузки приложений. ") + e.what());
  }
}

void MainOperations::tbEmptyBaseClick(TSender /*sender*/) {
  if (FUpdater.CurrentStatus != 1) {
    ui_.ShowMessage(kMainCaption, "Текущая версия ЗТВ неработоспособна. Необходимо восстановление из резервной копии.",
                    MessageIcon::Warning);
    return;
  }
  {
    TStaticSet list;
    CreateBaseList(list);
    ReadBaseList(list, FUpdater.ImdFileName, MultiRegistryModule);
    if (!ChooseBases(list)) return;

    ui_.LogSetCloseButtonVisible(false);
    ui_.LogClear();
    ui_.LogShow();
    try {
      UnloadApplications();
      const std::string installDir = DropTrailingSeparator(FUpdater.CurrentVersionDirectory);
      for (list.First(); !list.Eof(); list.Next()) {
        if (list.FieldByName("ChangeFlag").AsInteger() == 0) continue;
        SetCurrentStatus(0);
        FUpdater.CurrentStatus = 0;
        Step(Format("Замена на пустую базы [%d] - %s ...", list.FieldByName("ID").AsInteger(),
                    list.FieldByName("Name").AsString()));
        const std::string result =
            FDM->ReplaceWithEmpty(LocalDatabasePath(list.FieldByName("DBPath").AsString()), installDir);
        SetCurrentStatus(1);
        FUpdater.CurrentStatus = 1;
        Append(result);
        ui_.Pump();
      }
    } catch (...) {
      // The log stays for reading, and the user can close it.
      ui_.LogSetCloseButtonVisible(true);
      throw;
    }
  }
  ui_.LogClose();
  ui_.ShowMessage(kMainCaption, "Операция завершена", MessageIcon::Information);
  ui_.LogSetCloseButtonVisible(true);
  ShowProgress(0, "");
  ui_.LogShowModal();
}

}  // namespace ztv
