#include "gui/log_window.h"

#include <algorithm>

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include "ops/interaction.h"

namespace ztv {

TfLog::TfLog(QWidget* parent) : QDialog(parent) {
  setObjectName("fLog");
  setWindowTitle(QString::fromUtf8("Журнал"));
  resize(544, 394);

  mLog = new QPlainTextEdit(this);
  mLog->setObjectName("mLog");
  mLog->setReadOnly(true);

  pButton = new QWidget(this);
  pButton->setObjectName("pButton");
  pButton->setFixedHeight(39);
  btnClose = new QPushButton(QString::fromUtf8("Закрыть"), pButton);
  btnClose->setObjectName("btnClose");
  btnClose->setFixedSize(97, 25);
  auto* buttonRow = new QHBoxLayout(pButton);
  buttonRow->setContentsMargins(0, 0, 8, 0);
  buttonRow->addStretch();
  buttonRow->addWidget(btnClose);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

  sbStatus = new QStatusBar(this);
  sbStatus->setObjectName("sbStatus");
  sbStatus->setSizeGripEnabled(false);
  panel0 = new QLabel(sbStatus);
  panel0->setMinimumWidth(50);
  pbProgress = new QProgressBar(sbStatus);
  pbProgress->setObjectName("pbProgress");
  pbProgress->setRange(0, 100);
  pbProgress->setValue(0);
  pbProgress->setTextVisible(false);  // the percentage stands beside it
  pbProgress->setFixedWidth(120);
  panel1 = new QLabel(sbStatus);
  panel1->setMinimumWidth(50);
  sbStatus->addWidget(panel0);
  sbStatus->addWidget(pbProgress);
  sbStatus->addWidget(panel1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(mLog, 1);
  layout->addWidget(pButton);
  layout->addWidget(sbStatus);
}

void TfLog::AddText(const QString& text, bool newLine) {
  if (newLine) {
    mLog->appendPlainText(text);
  } else {
    QTextCursor c = mLog->textCursor();
    c.movePosition(QTextCursor::End);
    c.insertText(text);
    mLog->setTextCursor(c);
  }
  mLog->verticalScrollBar()->setValue(mLog->verticalScrollBar()->maximum());
}

void TfLog::ClearLog() {
  mLog->clear();
  panel0->clear();
  pbProgress->setValue(0);
  panel1->clear();
}

void TfLog::SetCloseButtonVisible(bool visible) {
  closeButtonVisible_ = visible;
  pButton->setVisible(visible);
  sbStatus->setVisible(!visible);
}

void TfLog::SetProgress(int percent, const QString& text) {
  panel0->setText(QString::fromStdString(PercentText(percent)));
  pbProgress->setValue(std::clamp(percent, 0, 100));
  panel1->setText(text);
  sbStatus->repaint();
}

void TfLog::reject() {
  if (OperationRunning()) return;
  QDialog::reject();
}

void TfLog::closeEvent(QCloseEvent* event) {
  if (OperationRunning() && isVisible()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace ztv
