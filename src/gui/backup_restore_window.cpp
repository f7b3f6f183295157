#include "gui/backup_restore_window.h"
#include "gui/widgets.h"

#include <QApplication>
#include <algorithm>
#include <QHeaderView>
#include <QStyle>
#include <QVBoxLayout>

#include "core/errors.h"

namespace ztv {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The hour-glass while something slow runs, restored however it ends.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

// The grid does not repaint while its list is refreshed.
class PaintSuspended {
 public:
  explicit PaintSuspended(QWidget* w) : w_(w) { w_->setUpdatesEnabled(false); }
  ~PaintSuspended() { w_->setUpdatesEnabled(true); }

 private:
  QWidget* w_;
};

}  // namespace

TfBackupRestore::TfBackupRestore(TBackupRestore& ops, Interaction& ui, QWidget* parent)
    : QDialog(parent), ops_(ops), ui_(ui) {
  setObjectName("fBackupRestore");
  setWindowTitle(QString::fromUtf8("Параметры оптимизации базы данных"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  UseSmallDialogFont(this);
  tbButtons = NewButtonBar(this);
  // A flat tool bar: the buttons rise only under the mouse.
  auto addButton = [this](const char* name, const char* caption, QStyle::StandardPixmap icon) {
    QToolButton* b = AddBarButton(tbButtons, name, caption, icon);
    b->setAutoRaise(true);
    return b;
  };
  btnOK = addButton("btnOK", "ОК", QStyle::SP_DialogOkButton);
  btnCancel = addButton("btnCancel", "Отмена", QStyle::SP_DialogCancelButton);
  tbRefresh = addButton("tbRefresh", "Обновить", QStyle::SP_BrowserReload);
  connect(btnOK, &QToolButton::clicked, this, [this] { btnOKClick(); });
  connect(btnCancel, &QToolButton::clicked, this, [this] { btnCancelClick(); });
  connect(tbRefresh, &QToolButton::clicked, this, [this] { tbRefreshClick(); });

  GroupBoxMain = new QGroupBox(QString::fromUtf8("Выберите базу данных"), this);
  GroupBoxMain->setObjectName("GroupBoxMain");
  cgMain = new QTableWidget(0, ColumnCount, GroupBoxMain);
  cgMain->setObjectName("cgMain");
  const char* titles[ColumnCount] = {"  ", "Имя БД", "Подключения", "Необходимость оптимизации", "Путь к БД"};
  for (int c = 0; c < ColumnCount; ++c) {
    auto* title = new QTableWidgetItem(QString::fromUtf8(titles[c]));
    if (c == ColBackupFlag)
      title->setToolTip(QString::fromUtf8("Выберите БД, для которой будет произведен backup/restore"));
    cgMain->setHorizontalHeaderItem(c, title);
    SetColumnWidthForTitle(cgMain, c, kColumnWidths[c], title->text());
  }
  QHeaderView* header = cgMain->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Fixed);
  header->setDefaultAlignment(Qt::Alignment(Qt::AlignCenter) | Qt::Alignment(Qt::TextWordWrap));
  header->setFixedHeight(kTitleRowHeight);
  cgMain->verticalHeader()->hide();
  cgMain->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  cgMain->verticalHeader()->setMinimumSectionSize(kRowHeight);
  cgMain->verticalHeader()->setDefaultSectionSize(kRowHeight);
  cgMain->setSelectionBehavior(QAbstractItemView::SelectRows);
  cgMain->setSelectionMode(QAbstractItemView::SingleSelection);
  cgMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
  cgMain->setWordWrap(false);
  connect(cgMain, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
    if (loading_ || item->column() != ColBackupFlag) return;
    cgMainBackupFlagSetCheckState(item->row(), item->checkState() == Qt::Checked);
  });
  auto* groupLayout = new QVBoxLayout(GroupBoxMain);
  groupLayout->setContentsMargins(6, 4, 6, 6);
  groupLayout->addWidget(cgMain);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 0, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(tbButtons);
  layout->addWidget(GroupBoxMain, 1);

  int gridWidth = 2 * cgMain->frameWidth() + cgMain->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2;
  for (int c = 0; c < ColumnCount; ++c) gridWidth += cgMain->columnWidth(c);
  resize(gridWidth + 8 + 12, 300);
  LoadGrid();
}

void TfBackupRestore::LoadGrid() {
  loading_ = true;
  const QColor face = palette().color(QPalette::Button);
  cgMain->setRowCount(static_cast<int>(ops_.ssDbList.size()));
  auto readOnly = [&](const QString& text, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(align);
    item->setToolTip(text);
    return item;
  };
  for (int i = 0; i < cgMain->rowCount(); ++i) {
    const TDbListRecord& r = ops_.ssDbList[static_cast<size_t>(i)];
    auto* tick = new QTableWidgetItem;
    tick->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    tick->setCheckState(r.BackupFlag ? Qt::Checked : Qt::Unchecked);
    cgMain->setItem(i, ColBackupFlag, tick);
    cgMain->setItem(i, ColName, readOnly(Q(r.Name)));
    cgMain->setItem(i, ColUsersCount, readOnly(QString::number(r.UsersCount), Qt::AlignRight | Qt::AlignVCenter));
    // Shown as a tick the user cannot change.
    auto* advised = new QTableWidgetItem;
    advised->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    advised->setCheckState(r.IsExceedRequest ? Qt::Checked : Qt::Unchecked);
    advised->setBackground(face);
    advised->setToolTip(QString::fromUtf8("Запросов: %1, предел: %2").arg(r.RequestCount).arg(r.RequestLimit));
    cgMain->setItem(i, ColIsExceedRequest, advised);
    cgMain->setItem(i, ColDbPath, readOnly(Q(r.DbPath)));
  }
  loading_ = false;
}

void TfBackupRestore::cgMainBackupFlagSetCheckState(int row, bool checked) {
  const bool ticked = ops_.SetBackupFlag(static_cast<size_t>(row), checked);
  if (ticked != checked) {
    loading_ = true;
    cgMain->item(row, ColBackupFlag)->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    loading_ = false;
  }
}


void TfBackupRestore::btnOKClick() {
  TOkAnswer answer = TOkAnswer::KeepOpen;
  ShowErrorsOf(ui_, [&] {
    PaintSuspended suspended(cgMain);
    answer = ops_.btnOKClick();
  });
  LoadGrid();
  if (answer == TOkAnswer::Start) accept();
}

void TfBackupRestore::btnCancelClick() { reject(); }

void TfBackupRestore::tbRefreshClick() {
  ShowErrorsOf(ui_, [&] {
    WaitCursor wait;
    PaintSuspended suspended(cgMain);
    ops_.RefreshDbList();
  });
  LoadGrid();
}

}  // namespace ztv
