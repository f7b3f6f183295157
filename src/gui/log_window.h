// TfLog: the window in which the main window's operations report their steps.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

namespace ztv {

class TfLog : public QDialog {
  Q_OBJECT
 public:
  explicit TfLog(QWidget* parent = nullptr);

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
  QLabel* panel1;
};

}  // namespace ztv
