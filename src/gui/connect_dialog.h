// TfConnect: the password dialog of the database connections: "Введите
// пароль" over a masked entry, the box "Больше не запрашивать", OK and
// "Отмена". Centred on the desktop and brought to the front; the keyboard
// focus goes back to where it was when it closes.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

namespace ztv {

class TfConnect : public QDialog {
  Q_OBJECT
 public:
  explicit TfConnect(QWidget* parent = nullptr);

  // Sets the box from `dontAsk`, shows the dialog modally, then stores the
  // typed text into `password` and the box into `dontAsk` whatever the
  // answer. True when closed with OK.
  bool AskPassword(std::string& password, bool& dontAsk);

  QLabel* Prompt;
  QLineEdit* mePass;
  QCheckBox* cbSave;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* event) override;
};

}  // namespace ztv
