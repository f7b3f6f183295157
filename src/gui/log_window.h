// TfLog: the window in which the main window's operations report their steps.
// It belongs to the main window (pass it as parent, or let the interaction
// set it), so that it stays above it; shown without modality while an
// operation runs, and it cannot be closed then (neither by Esc nor by its
// close box): the operation closes it when it ends.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

namespace ztv {

class TfLog : public QDialog {
  Q_OBJECT
 public:
  explicit TfLog(QWidget* parent = nullptr);

  // While the close button is hidden an operation is running.
  bool OperationRunning() const { return !closeButtonVisible_; }
  // Esc: refused while an operation runs.
  void reject() override;

  // NewLine true: text becomes a new last line; false: appended to the last.
  void AddText(const QString& text, bool newLine);
  // Empties the text and both status panels.
  void ClearLog();
  // Shows the close button strip and hides the status bar, or the reverse.
  void SetCloseButtonVisible(bool visible);
  void SetProgress(int percent, const QString& text);

  QPlainTextEdit* mLog;
  QWidget* pButton;
  QPushButton* btnClose;
  QStatusBar* sbStatus;
  QLabel* panel0;
  QProgressBar* pbProgress;  // beside the percentage: the same value as a bar
  QLabel* panel1;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool closeButtonVisible_ = true;
};

}  // namespace ztv
