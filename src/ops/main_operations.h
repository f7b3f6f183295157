// The main window's logic without the window: the update engine it owns, the
// record of the database server it stopped last, the status panel's rows, the
// start-up words of the command line and the answer to the batch request.
// The Qt window (and the tests) supply a MainView and an Interaction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/updater.h"
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

class MainOperations {
 public:
  MainOperations(Interaction& ui, Clock& clock, MainView& view);

  TUpdater& Updater() { return FUpdater; }
  Interaction& UI() { return ui_; }
  Clock& GetClock() { return clock_; }
  MainView& View() { return view_; }

  // The progress display; the engine reports through it.
  void ShowProgress(int32_t percent, const std::string& text);

  // When the window is first shown: empty panel, refresh, filled panel, then
  // the automatic update. A failed refresh raises (the panel stays blank).
  void FormShow();

  // The batch request (window message WM_USER) with its operation code.
  void BatchRequest(int32_t wParam, int32_t code);

  // Whether an operation behind a button exists in this build.
  bool UpdateAvailable() const { return false; }
  bool RestoreAvailable() const { return false; }
  bool ClearCacheAvailable() const { return false; }
  bool ReplaceDatabaseAvailable() const { return false; }
  bool OptimiseAvailable() const { return false; }
  bool NetworkFilesAvailable() const { return false; }

  // Record of the database server stopped last; handed back when starting it.
  uint8_t FServerKind = 0;
  std::string FServerPath;
  bool FServerIsService = false;

 private:
  void NotAvailable(const std::string& what);

  TUpdater FUpdater;
  Interaction& ui_;
  Clock& clock_;
  MainView& view_;
};

}  // namespace ztv
