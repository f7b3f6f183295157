#include "gui/change_base.h"
#include "gui/widgets.h"

#include <QHeaderView>
#include <QStyle>
#include <QVBoxLayout>

namespace ztv {

TfrmChangeBase::TfrmChangeBase(QWidget* parent) : QDialog(parent) {
  setObjectName("frmChangeBase");
  setWindowTitle(QString::fromUtf8("Замена базы"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  UseSmallDialogFont(this);
  tbButtons = NewButtonBar(this);
  btnOK = AddBarButton(tbButtons, "btnOK", "ОК", QStyle::SP_DialogOkButton);
  btnCancel = AddBarButton(tbButtons, "btnCancel", "Отмена", QStyle::SP_DialogCancelButton);
  connect(btnOK, &QToolButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QToolButton::clicked, this, &QDialog::reject);

  grboxParameters = new QGroupBox(QString::fromUtf8(" Выберите базы для замены "), this);
  grboxParameters->setObjectName("grboxParameters");
  cgBaseList = new QTableWidget(0, 3, grboxParameters);
  cgBaseList->setObjectName("cgBaseList");
  const QStringList titles = {QString::fromUtf8(" "), QString::fromUtf8("Идентификатор"), QString::fromUtf8("Название")};
  cgBaseList->setHorizontalHeaderLabels(titles);
  cgBaseList->verticalHeader()->hide();
  cgBaseList->setSelectionBehavior(QAbstractItemView::SelectRows);
  cgBaseList->setSelectionMode(QAbstractItemView::SingleSelection);
  cgBaseList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  cgBaseList->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  cgBaseList->horizontalHeader()->setMinimumSectionSize(kCheckColumnWidth);
  // Titles stay plain when a row is selected, so that they fit their columns.
  cgBaseList->horizontalHeader()->setHighlightSections(false);
  const int designed[] = {kCheckColumnWidth, kIdColumnWidth, kNameColumnWidth};
  for (int c = 0; c < 3; ++c) SetColumnWidthForTitle(cgBaseList, c, designed[c], titles[c]);
  auto* groupLayout = new QVBoxLayout(grboxParameters);
  groupLayout->setContentsMargins(6, 4, 6, 6);
  groupLayout->addWidget(cgBaseList);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 0, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(tbButtons);
  layout->addWidget(grboxParameters, 1);

  // A fixed dialog: wide enough for the three columns.
  int gridWidth = 2 * cgBaseList->frameWidth() + cgBaseList->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
  for (int c = 0; c < 3; ++c) gridWidth += cgBaseList->columnWidth(c);
  setFixedSize(gridWidth + 8 + 12, 300);
}

void TfrmChangeBase::LoadList(const std::vector<TChoiceRow>& rows) {
  cgBaseList->setRowCount(0);
  cgBaseList->setRowCount(static_cast<int>(rows.size()));
  const QColor face = palette().color(QPalette::Button);
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const TChoiceRow& row = rows[static_cast<size_t>(i)];
    auto* tick = new QTableWidgetItem;
    tick->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    tick->setCheckState(row.checked ? Qt::Checked : Qt::Unchecked);
    cgBaseList->setItem(i, 0, tick);
    auto* id = new QTableWidgetItem(QString::number(row.id));
    id->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    id->setBackground(face);
    id->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cgBaseList->setItem(i, 1, id);
    auto* name = new QTableWidgetItem(QString::fromStdString(row.name));
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    name->setBackground(face);
    cgBaseList->setItem(i, 2, name);
  }
}

void TfrmChangeBase::FillResult(std::vector<TChoiceRow>& rows) const {
  const int count = std::min(cgBaseList->rowCount(), static_cast<int>(rows.size()));
  for (int i = 0; i < count; ++i) {
    const QTableWidgetItem* tick = cgBaseList->item(i, 0);
    rows[static_cast<size_t>(i)].checked = tick && tick->checkState() == Qt::Checked;
  }
}

}  // namespace ztv
