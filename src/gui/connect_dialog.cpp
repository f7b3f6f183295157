#include "gui/connect_dialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

namespace ztv {

TfConnect::TfConnect(QWidget* parent) : QDialog(parent) {
  setObjectName("fConnect");
  setWindowTitle(QString::fromUtf8("Соединение"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  Prompt = new QLabel(QString::fromUtf8("Введите пароль"), this);
  Prompt->setObjectName("Prompt");
  mePass = new QLineEdit(this);
  mePass->setObjectName("mePass");
  mePass->setEchoMode(QLineEdit::Password);
  // Every character shows as "*".
  mePass->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
  Prompt->setBuddy(mePass);
  cbSave = new QCheckBox(QString::fromUtf8("Больше не запрашивать"), this);
  cbSave->setObjectName("cbSave");
  btnOK = new QPushButton(QString::fromUtf8("OK"), this);
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  btnCancel = new QPushButton(QString::fromUtf8("Отмена"), this);
  btnCancel->setObjectName("btnCancel");
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Prompt);
  layout->addWidget(mePass);
  layout->addWidget(cbSave);
  layout->addLayout(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(260, 0)));
}

void TfConnect::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  raise();
  activateWindow();
  mePass->setFocus();
}

bool TfConnect::AskPassword(std::string& password, bool& dontAsk) {
  QPointer<QWidget> focused = QApplication::focusWidget();
  cbSave->setChecked(dontAsk);
  mePass->clear();
  const bool ok = exec() == QDialog::Accepted;
  password = mePass->text().toStdString();
  dontAsk = cbSave->isChecked();
  mePass->clear();
  if (focused) focused->setFocus();
  return ok;
}

}  // namespace ztv
