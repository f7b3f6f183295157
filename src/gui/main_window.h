// TfMain: the updater's single main window: the status panel, the seven
// buttons and the two-panel status bar. The logic lives in MainOperations;
// this class draws it and forwards the buttons.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QStatusBar>
#include <QTableWidget>
#include <QToolButton>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

#include "gui/net_close_window.h"
#include "ops/main_operations.h"
#include "platform/net_files.h"

namespace ztv {

class TfMain : public QWidget, public MainView {
  Q_OBJECT
 public:
  TfMain(Interaction& ui, Clock& clock, QWidget* parent = nullptr);
  ~TfMain() override;

  MainOperations& Ops() { return *ops_; }
  TUpdater& FUpdater() { return ops_->Updater(); }

  void UpdateStatusPanel(bool clear) override;
  // The width the value column needs to show `text` whole.
  int ValueTextWidth(const QString& text) const;
  void CloseMainWindow() override;
  void ShowProgress(int percent, const QString& text);
  // The network open-files window, created with the main window.
  TfNetClose* NetCloseWindow() const { return fNetClose_.get(); }
  // Shows the open-files window non-modally.
  void btnCheckNetSessionClick();

  // The window's answer to the batch request, carried out before the call
  // returns; errors go to the error box. False when the operation failed.
  bool BatchRequest(int wParam, int code);
  // Runs the first-show sequence now (normally queued by the first show).
  void FormShow();
  bool FormShown() const { return formShown_; }
  // True while an operation runs on its worker thread.
  bool Busy() const { return busy_; }
  // Runs `operation` on a worker thread with the buttons disabled; errors go
  // to the error box. With wait, returns when it has ended (events are
  // processed meanwhile); returns whether it succeeded (always true without
  // wait).
  bool RunOperation(std::function<void()> operation, bool wait = false);

  // The button "Оптимизация базы данных": the status check, the list loaded
  // and refreshed on the worker thread, the window TfBackupRestore, and on
  // its OK the optimisation cycle on the worker thread with the log window.
  void btnBackupClick();
  // Called with the optimisation window just before it is shown modally
  // (tests drive the window from here).
  std::function<void(class TfBackupRestore&)> BeforeShowBackupRestore;


  QGroupBox* GroupBox1;
  QTableWidget* oiParams;
  QWidget* Panel1;
  QToolButton* btnUpdate;
  QToolButton* btnBackup;
  QToolButton* btnRestore;
  QToolButton* btnClearCache;
  QToolButton* tbEmptyBase;
  QToolButton* btnCheckNetSession;
  QToolButton* btnClose;
  QStatusBar* sbStatus;
  QLabel* sbPanel0;
  QLabel* sbPanel1;

 signals:
  void OperationFinished(bool succeeded);

 protected:
  void showEvent(QShowEvent* event) override;
  // While an operation runs the window stays: it owns what the operation
  // works on.
  void closeEvent(QCloseEvent* event) override;

 private:
  QToolButton* AddButton(const char* name, const char* caption, const char* hint, int index);

  void SetButtonsEnabled(bool enabled);
  // Runs `action` on the user-interface thread and waits for it.
  void OnUiThread(const std::function<void()>& action);

  Interaction& ui_;
  std::unique_ptr<MainOperations> ops_;
  std::unique_ptr<NetFileApi> netApi_;
  std::unique_ptr<TfNetClose> fNetClose_;
  bool formShown_ = false;
  bool showQueued_ = false;
  std::atomic<bool> busy_{false};
  std::atomic<bool> closeRequested_{false};  // an operation asked to close the window
};

}  // namespace ztv
