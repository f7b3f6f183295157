// TfNetClose: the window of files opened over the network. Created once
// with the main window and shown non-modally by its button; every
// activation lists the open files again. The logic is NetCloseLogic; the
// network calls run on a worker thread while the window waits.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <memory>

#include "ops/interaction.h"
#include "ops/net_close.h"

namespace ztv {

// Asks for the account the server is reached with: user name and password
// (hidden). False when cancelled.
class TfNetPassword : public QDialog {
  Q_OBJECT
 public:
  explicit TfNetPassword(QWidget* parent = nullptr);
  QLineEdit* eUser;
  QLineEdit* ePassword;
};

class TfNetClose : public QWidget {
  Q_OBJECT
 public:
  TfNetClose(Interaction& ui, NetFileApi& api, QWidget* parent = nullptr);
  ~TfNetClose() override;

  NetCloseLogic& Logic() { return logic_; }

  // Asks for an account (user filled in with the last one); the password
  // dialog unless replaced (tests).
  std::function<bool(std::string& user, std::string& password)> AskCredentials;

  // The handlers, each on the worker thread where it calls the server.
  void FormActivate();
  void bRefreshClick();
  void bDeleteClick();
  void lbFilesClick();
  void ShowErrorList();
  bool Busy() const { return busy_; }

  QListWidget* lbFiles;
  QWidget* Panel1;
  QLabel* Label1;
  QLabel* lFile;
  QLabel* Label3;
  QLabel* lUsers;
  QLabel* lSelected;
  QLabel* Label2;
  QToolButton* btnShowErrorList;
  QPushButton* bRefresh;
  QPushButton* bDelete;
  QLineEdit* eServer;

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  // Draws the logic's state.
  void Sync();
  // Hands the list box's selection and current item to the logic.
  void TakeSelection();
  // Runs `call` on a worker thread and waits, the window's buttons off;
  // an enumeration the server refused asks for another account and tries
  // again; other errors go to the error box.
  void RunNet(const std::function<void()>& call);
  // The account from the settings, or asked, before the first call.
  void EnsureCredentials();

  Interaction& ui_;
  NetFileApi& api_;
  NetCloseLogic logic_;
  std::string user_;
  bool haveCredentials_ = false;
  bool busy_ = false;
  bool syncing_ = false;
  // The activation that follows the window's own error box or dialog does
  // not list again (it would show the same error over and over).
  bool skipActivation_ = false;
};

}  // namespace ztv
