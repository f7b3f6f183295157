#include "gui/widgets.h"

#include <QToolBar>
#include <QToolButton>
#include <QWidget>

namespace ztv {

void UseSmallDialogFont(QWidget* window) {
  QFont small = window->font();
  small.setPointSizeF(8);
  window->setFont(small);
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
