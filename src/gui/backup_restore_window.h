// TfBackupRestore: the window "Параметры оптимизации базы данных" in which
// the user picks the database to optimise. A tool bar ("ОК", "Отмена",
// "Обновить") above the frame "Выберите базу данных" with the grid of the
// databases: the tick, the name, the other attachments, whether optimisation
// is advised, and the path. The logic is TBackupRestore's; the window draws
// its list and forwards the tick and the buttons.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>

#include "ops/backup_restore.h"

namespace ztv {

class TfBackupRestore : public QDialog {
  Q_OBJECT
 public:
  // `ops` holds the list (loaded and refreshed before the window shows);
  // `ui` shows the errors of a refresh or a confirmation.
  TfBackupRestore(TBackupRestore& ops, Interaction& ui, QWidget* parent = nullptr);

  // Draws the list as `ops` holds it.
  void LoadGrid();

  // The buttons' handlers.
  void btnOKClick();
  void btnCancelClick();
  void tbRefreshClick();

  QToolBar* tbButtons;
  QToolButton* btnOK;
  QToolButton* btnCancel;
  QToolButton* tbRefresh;
  QGroupBox* GroupBoxMain;
  QTableWidget* cgMain;

  // Grid columns, left to right.
  enum Column { ColBackupFlag, ColName, ColUsersCount, ColIsExceedRequest, ColDbPath, ColumnCount };
  static constexpr int kColumnWidths[ColumnCount] = {30, 120, 75, 90, 250};
  static constexpr int kTitleRowHeight = 38;
  static constexpr int kRowHeight = 16;

 private:
  // A tick set or cleared in the check column.
  void cgMainBackupFlagSetCheckState(int row, bool checked);

  TBackupRestore& ops_;
  Interaction& ui_;
  bool loading_ = false;
};

}  // namespace ztv
