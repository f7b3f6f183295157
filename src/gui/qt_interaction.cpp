#include "gui/qt_interaction.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "gui/change_base.h"
#include "gui/connect_dialog.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "ops/main_operations.h"

namespace ztv {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QMessageBox::Icon ToQt(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButton ToQt(DialogButton b) {
  switch (b) {
    case DialogButton::Ok: return QMessageBox::Ok;
    case DialogButton::Cancel: return QMessageBox::Cancel;
    case DialogButton::Yes: return QMessageBox::Yes;
    case DialogButton::No: return QMessageBox::No;
    case DialogButton::None: break;
  }
  return QMessageBox::NoButton;
}

DialogButton FromQt(int b) {
  switch (b) {
    case QMessageBox::Ok: return DialogButton::Ok;
    case QMessageBox::Cancel: return DialogButton::Cancel;
    case QMessageBox::Yes: return DialogButton::Yes;
    case QMessageBox::No: return DialogButton::No;
    default: return DialogButton::None;
  }
}

QMessageBox::StandardButtons ToQt(DialogButtons set) {
  switch (set) {
    case DialogButtons::Ok: return QMessageBox::Ok;
    case DialogButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case DialogButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case DialogButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

// The button texts are set here rather than left to the toolkit's
// translations, which a machine may lack.
const char* ButtonText(QMessageBox::StandardButton b) {
  switch (b) {
    case QMessageBox::Yes: return "Да";
    case QMessageBox::No: return "Нет";
    case QMessageBox::Cancel: return "Отмена";
    default: return "OK";
  }
}

}  // namespace

void PrepareMessageBox(QMessageBox& box, DialogButton defaultButton) {
  // Paths and names from packages are shown as they are, never as markup.
  box.setTextFormat(Qt::PlainText);
  for (QAbstractButton* b : box.buttons()) {
    const auto standard = box.standardButton(b);
    b->setText(QString::fromUtf8(ButtonText(standard)));
  }
  if (defaultButton != DialogButton::None) box.setDefaultButton(ToQt(defaultButton));
  // Esc answers No (or Cancel), never Yes.
  if (box.button(QMessageBox::Cancel))
    box.setEscapeButton(QMessageBox::Cancel);
  else if (box.button(QMessageBox::No))
    box.setEscapeButton(QMessageBox::No);
  else if (box.button(QMessageBox::Ok))
    box.setEscapeButton(QMessageBox::Ok);
}

void QtInteraction::OnUi(const std::function<void()>& action) {
  if (!qApp || QThread::currentThread() == qApp->thread()) {
    action();
  } else {
    QMetaObject::invokeMethod(qApp, action, Qt::BlockingQueuedConnection);
  }
}

QWidget* QtInteraction::Owner() const {
  // While the log window shows, boxes belong to it so that they come up
  // above it.
  if (log_ && log_->isVisible()) return log_.data();
  return main_.data();
}

DialogButton QtInteraction::Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                                DialogButton defaultButton, MessageIcon icon) {
  DialogButton answer = DialogButton::None;
  OnUi([&] {
    QMessageBox box(ToQt(icon), Q(caption), Q(text), ToQt(buttons), Owner());
    PrepareMessageBox(box, defaultButton);
    answer = FromQt(box.exec());
  });
  return answer;
}

void QtInteraction::ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) {
  OnUi([&] {
    QMessageBox box(ToQt(icon), Q(caption), Q(text), QMessageBox::Ok, Owner());
    PrepareMessageBox(box, DialogButton::Ok);
    box.exec();
  });
}

void QtInteraction::ShowError(const std::string& text) {
  OnUi([&] {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kMainCaption), Q(text), QMessageBox::Ok, Owner());
    PrepareMessageBox(box, DialogButton::Ok);
    box.exec();
  });
}

void QtInteraction::SetMainWindow(TfMain* main) {
  main_ = main;
  OwnLogWindow();
}

void QtInteraction::SetLogWindow(TfLog* log) {
  log_ = log;
  OwnLogWindow();
}

void QtInteraction::OwnLogWindow() {
  // The log window belongs to the main window, so that it stays above it.
  if (main_ && log_ && log_->parentWidget() != main_.data()) log_->setParent(main_.data(), log_->windowFlags());
}

void QtInteraction::LogClear() {
  OnUi([&] {
    if (log_) log_->ClearLog();
  });
}

void QtInteraction::LogSetCloseButtonVisible(bool visible) {
  OnUi([&] {
    if (log_) log_->SetCloseButtonVisible(visible);
  });
}

void QtInteraction::LogAddText(const std::string& text, bool newLine) {
  OnUi([&] {
    if (log_) log_->AddText(Q(text), newLine);
  });
}

void QtInteraction::LogShow() {
  OnUi([&] {
    if (log_) log_->show();
  });
}

void QtInteraction::LogShowModal() {
  OnUi([&] {
    if (log_) log_->exec();
  });
}

void QtInteraction::LogClose() {
  OnUi([&] {
    if (log_) log_->hide();
  });
}

bool QtInteraction::LogVisible() {
  bool visible = false;
  OnUi([&] { visible = log_ && log_->isVisible(); });
  return visible;
}

void QtInteraction::Progress(int32_t percent, const std::string& text) {
  OnUi([&] {
    if (main_) main_->ShowProgress(percent, Q(text));
    if (log_ && log_->isVisible()) log_->SetProgress(percent, Q(text));
  });
}

bool QtInteraction::ChooseRows(const std::string& caption, const std::string& frameCaption,
                               std::vector<TChoiceRow>& rows) {
  bool ok = false;
  OnUi([&] {
    TfrmChangeBase window(main_.data());
    window.setWindowTitle(Q(caption));
    window.grboxParameters->setTitle(Q(frameCaption));
    window.LoadList(rows);
    BeforeChooseRows(window);
    ok = window.exec() == QDialog::Accepted;
    if (ok) window.FillResult(rows);
  });
  return ok;
}

bool QtInteraction::AskPassword(std::string& password, bool& dontAsk) {
  bool ok = false;
  OnUi([&] {
    TfConnect window(Owner());
    BeforeAskPassword(window);
    ok = window.AskPassword(password, dontAsk);
  });
  return ok;
}

void QtInteraction::Pump() {
  if (qApp && QThread::currentThread() == qApp->thread()) QCoreApplication::processEvents();
}

}  // namespace ztv
