// TfrmChangeBase: the selection window of the database replacement. A tool
// bar with "ОК" and "Отмена" above the frame " Выберите базы для замены "
// with the grid: a check column, the identifier and the name (both read-only
// on the button-face colour). Rows can be ticked, never added or removed.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <vector>

#include "ops/interaction.h"

namespace ztv {

class TfrmChangeBase : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmChangeBase(QWidget* parent = nullptr);

  // Fills the grid from `rows`, in order.
  void LoadList(const std::vector<TChoiceRow>& rows);
  // Copies the grid's ticks into `rows` (same order as loaded).
  void FillResult(std::vector<TChoiceRow>& rows) const;

  QToolBar* tbButtons;
  QToolButton* btnOK;
  QToolButton* btnCancel;
  QGroupBox* grboxParameters;
  QTableWidget* cgBaseList;

  static constexpr int kCheckColumnWidth = 21;
  static constexpr int kIdColumnWidth = 85;
  static constexpr int kNameColumnWidth = 217;
};

}  // namespace ztv
