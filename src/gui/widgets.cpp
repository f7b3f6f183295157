#include "gui/widgets.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QWidget>

#include <algorithm>

namespace ztv {

void UseSmallDialogFont(QWidget* window) {
  QFont small = window->font();
  small.setPointSizeF(8);
  window->setFont(small);
}

void SetColumnWidthForTitle(QTableWidget* grid, int column, int designedWidth, const QString& title) {
  // The header section's own margins and frame around the text.
  constexpr int kSectionMargins = 14;
  int needed = 0;
  for (const QString& word : title.split(' ', Qt::SkipEmptyParts))
    needed = std::max(needed, grid->horizontalHeader()->fontMetrics().horizontalAdvance(word) + kSectionMargins);
  grid->setColumnWidth(column, std::max(designedWidth, needed));
}

QToolBar* NewButtonBar(QWidget* window) {
  auto* bar = new QToolBar(window);
  bar->setObjectName("tbButtons");
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->setIconSize(QSize(16, 16));
  return bar;
}

QToolButton* AddBarButton(QToolBar* bar, const char* name, const char* caption, QStyle::StandardPixmap icon) {
  auto* b = new QToolButton(bar);
  b->setObjectName(name);
  b->setText(QString::fromUtf8(caption));
  b->setIcon(bar->style()->standardIcon(icon));
  b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->addWidget(b);
  return b;
}

}  // namespace ztv
