// The main window's logic without the window: the update engine it owns, the
// record of the database server it stopped last, the status panel's rows, the
// start-up words of the command line and the answer to the batch request.
// The Qt window (and the tests) supply a MainView and an Interaction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/control_env.h"
#include "core/errors.h"
#include "engine/updater.h"
#include "formats/imd/static_set.h"
#include "ops/base_list.h"
#include "ops/empty_base.h"
#include "ops/interaction.h"
#include "platform/clock.h"

namespace ztv {

// What the operations need of the main window itself.
class MainView {
 public:
  virtual ~MainView() = default;
  // Clear: every row empty; otherwise the rows from the engine's fields.
  virtual void UpdateStatusPanel(bool clear) = 0;
  // Closes the main window, which ends the program.
  virtual void CloseMainWindow() = 0;
};

// One row of the status panel.
struct StatusRow {
  std::string id;       // CurrentVersion, BackupVersion, CurrentStatus, CurrentDir, BackupDir, UpdatesDir
  std::string caption;  // "Текущая версия", ...
  std::string value;
};

inline constexpr const char* kUndefinedText = "<Не определено>";
inline constexpr const char* kMainCaption = "Обновление/восстановление ЗТВ";

// The status value as the panel shows it.
std::string StatusText(int32_t status);
// A text value as the panel shows it: trimmed, "<Не определено>" when empty.
std::string PanelText(const std::string& value);
// The six rows, in order; with clear every value is empty.
std::vector<StatusRow> StatusRows(const TUpdater& updater, bool clear);

// Batch request codes.
inline constexpr int32_t kBatchNone = 0;
inline constexpr int32_t kBatchBackup = 1;
inline constexpr int32_t kBatchRestore = 2;

// The batch code the command line asks for: by its last parameter (the
// program's own path when there is none), ignoring letter case.
int32_t BatchCodeFromCommandLine();
// True when "autoRun" (exact case) is the only parameter.
bool AutoRunRequested();

// Who started an operation: a button of the window, the window itself (the
// automatic update), or nobody (the batch request).
enum class TSender { Button, Form, None };

// The process name of the workplace application.
inline constexpr const char* kWorkplaceProcess = "Bureo";

class MainOperations {
 public:
  // `control` reaches windows, services and programs; its clock and its
  // question are replaced by `clock` and `ui`.
  MainOperations(Interaction& ui, Clock& clock, MainView& view, ControlEnv control = DefaultControlEnv());

  TUpdater& Updater() { return FUpdater; }
  Interaction& UI() { return ui_; }
  Clock& GetClock() { return clock_; }
  MainView& View() { return view_; }
  const ControlEnv& Control() const { return control_; }

  // The progress display; the engine reports through it.
  void ShowProgress(int32_t percent, const std::string& text);

  // When the window is first shown: empty panel, refresh, filled panel. A
  // failed refresh raises (the panel stays blank). Returns whether the
  // automatic update is to start now.
  bool FormShow();
  // Tells of an operation a killed run left unfinished (its journal), with
  // what to do, once.
  void ReportInterruptedOperation();

  // The batch request (window message WM_USER) with its operation code.
  // Raises what the operation raised.
  void BatchRequest(int32_t wParam, int32_t code);

  // The operations behind the buttons. Each raises what failed; the caller
  // shows it in the error box.
  void btnUpdateClick(TSender sender);
  void btnRestoreClick(TSender sender);
  void btnClearCacheClick(TSender sender);
  // Replaces the ticked databases of the workplace by the empty template.
  void tbEmptyBaseClick(TSender sender);

  // Steps of the database replacement.
  // Ticks the list's records in the selection window; true when at least
  // one is ticked after OK.
  bool ChooseBases(TStaticSet& list);
  // Closes the workplace program and stops the server, with the log lines;
  // raises "Ошибка выгрузки приложений. " with the failure's message.
  void UnloadApplications();
  // Whether a database server runs: a guardian of either kind, or a server.
  bool AnyServerRunning();

  // The password of the run's database connections and the password
  // dialog's last "do not ask again" state.
  TDbPasswordState FDbPassword;
  // The data module of the replacement; its saved generator value carries
  // over from one replacement to the next.
  TDM& DM() { return *FDM; }
  // The module file the MultiRegistry component is created from ("" for
  // the one beside the program).
  std::string MultiRegistryModule;

  // Record of the database server stopped last; handed back when starting it.
  int FServerKind = 0;
  std::string FServerPath;
  bool FServerIsService = false;

 private:
  void StopServer(int64_t waitMs);
  void StartServer();
  // Starts the server stopped by an operation that has just failed with
  // `failure`; when the start fails too, raises both messages.
  void StartServerAfterFailure(const Exception& failure);
  void UnloadWorkplaceIfRunning();
  // What the batch backup needs before it closes anything: status 1 and the
  // installation and backup directories.
  void CheckBackupPreconditions();
  // New log line, then a pump.
  void Step(const std::string& text);
  void Append(const std::string& text);

  TUpdater FUpdater;
  std::unique_ptr<TDM> FDM;
  Interaction& ui_;
  Clock& clock_;
  MainView& view_;
  ControlEnv control_;
};

}  // namespace ztv
