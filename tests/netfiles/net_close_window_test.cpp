// The open-files window on the offscreen platform against the real Samba
// server: its texts, listing, who holds a file, Ctrl+A, closing with an
// error line, a refused account, and the main window's button. Writes a
// screenshot for people to look at.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTest>

#include "gui/main_window.h"
#include "gui/net_close_window.h"
#include "ops/scripted_interaction.h"
#include "platform/clock.h"
#include "smb_server.h"
#include "support/registry_fixture.h"

using namespace ztv;
using namespace ztv::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string S(const QString& s) { return s.toStdString(); }

std::string Credentials(const std::string& user, const std::string& password) {
  return "[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV\\NetFiles]\n\"UserName\"=\"" + user + "\"\n\"Password\"=\"" +
         password + "\"\n";
}

std::vector<std::string> ListItems(const TfNetClose& w) {
  std::vector<std::string> items;
  for (int i = 0; i < w.lbFiles->count(); ++i) items.push_back(S(w.lbFiles->item(i)->text()));
  return items;
}

int Row(const TfNetClose& w, const std::string& text) {
  for (int i = 0; i < w.lbFiles->count(); ++i)
    if (S(w.lbFiles->item(i)->text()) == text) return i;
  return -1;
}

class NetCloseWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new SambaServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_ && server_->Running()); }
  static std::string Filter(const std::string& relative) { return "\\\\127.0.0.1\\" + server_->ServerPath(relative); }
  static std::string Path(const std::string& relative) { return server_->ServerPath(relative); }
  static SambaServer* server_;
};

SambaServer* NetCloseWindow::server_ = nullptr;

}  // namespace

TEST_F(NetCloseWindow, ListsShowsUsersSelectsAllAndClosesWithErrorList) {
  ScopedRegistry reg(Credentials(kSmbAdmin, SmbPassword(kSmbAdmin)));
  SmbClient one(*server_, kSmbUser1), two(*server_, kSmbUser2);
  const int f1 = one.Open("sub\\w-shared.txt");
  const int f2 = two.Open("sub\\w-shared.txt");
  ASSERT_GE(f1, 0);
  ASSERT_GE(f2, 0);
  ASSERT_GE(one.Open("sub\\w-own.txt"), 0);

  ScriptedInteraction ui;
  auto api = CreateNetFileApi();
  TfNetClose w(ui, *api);
  int asked = 0;
  w.AskCredentials = [&](std::string&, std::string&) { return ++asked, false; };
  EXPECT_EQ(S(w.windowTitle()), "Файлы, открытые по сети");
  EXPECT_EQ(S(w.Label1->text()), "Файл:");
  EXPECT_EQ(S(w.Label3->text()), "Открыт пользователями:");
  EXPECT_EQ(S(w.lSelected->text()), "Выделено 0 файл(ов)");
  EXPECT_EQ(S(w.Label2->text()), "Подключение и фильтр:");
  EXPECT_EQ(S(w.bRefresh->text()), "Обновить список");
  EXPECT_EQ(S(w.bDelete->text()), "Закрыть файл");
  EXPECT_EQ(S(w.eServer->toolTip()), "\\\\ИмяСервера\\Диск:\\Путь");
  EXPECT_EQ(S(w.btnShowErrorList->toolTip()), "Показать список ошибок");
  EXPECT_TRUE(w.btnShowErrorList->isHidden());
  EXPECT_EQ(w.Panel1->height(), 96);
  EXPECT_EQ(w.lbFiles->selectionMode(), QAbstractItemView::ExtendedSelection);

  w.eServer->setText(QString::fromStdString(Filter("sub")));
  w.bRefresh->click();
  EXPECT_EQ(asked, 0);  // the account came from the settings
  EXPECT_THAT(ui.Errors(), ::testing::IsEmpty());
  EXPECT_EQ(S(w.windowTitle()), "Файлы, открытые по сети (\\\\127.0.0.1)");
  EXPECT_THAT(ListItems(w), ElementsAre(Path("sub\\w-own.txt"), Path("sub\\w-shared.txt")));

  const int shared = Row(w, Path("sub\\w-shared.txt"));
  w.lbFiles->setCurrentRow(shared);
  EXPECT_EQ(S(w.lFile->text()), Path("sub\\w-shared.txt"));
  EXPECT_THAT(S(w.lUsers->text()), HasSubstr(", "));
  EXPECT_THAT(S(w.lUsers->text()), HasSubstr(kSmbUser1));
  EXPECT_THAT(S(w.lUsers->text()), HasSubstr(kSmbUser2));
  EXPECT_EQ(S(w.lSelected->text()), "Выделено 1 файл(ов)");

  w.resize(640, 300);
  const QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", "screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(w.grab().save(dir + "/net_close.png"));

  // Ctrl+Shift+A does nothing; Ctrl+A selects everything.
  w.lbFiles->clearSelection();
  QTest::keyClick(w.lbFiles, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(w.lbFiles->selectedItems().size(), 0);
  QTest::keyClick(w.lbFiles, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(w.lbFiles->selectedItems().size(), 2);
  EXPECT_EQ(S(w.lSelected->text()), "Выделено 2 файл(ов)");

  // The second user lets go of the shared file before the close.
  ASSERT_EQ(two.Close(f2), "ok");
  w.bDelete->click();
  EXPECT_EQ(S(w.lSelected->text()), "Закрыто: 2; ошибок: 1");
  EXPECT_EQ(w.lbFiles->count(), 0);
  EXPECT_FALSE(w.btnShowErrorList->isHidden());
  EXPECT_THAT(one.Write(f1), ::testing::StartsWith("error"));

  w.btnShowErrorList->click();
  ASSERT_EQ(w.lbFiles->count(), 1);
  EXPECT_THAT(S(w.lbFiles->item(0)->text()), HasSubstr("; Пользователь: ztvuser2, API Error: #2 "));
  EXPECT_TRUE(w.btnShowErrorList->isHidden());
}

TEST_F(NetCloseWindow, RefusedAccountAsksAgainAndCancelKeepsTheList) {
  ScopedRegistry reg(Credentials(kSmbAdmin, "wrong"));
  SmbClient one(*server_, kSmbUser1);
  ASSERT_GE(one.Open("sub\\w-refused.txt"), 0);
  ScriptedInteraction ui;
  auto api = CreateNetFileApi();
  TfNetClose w(ui, *api);
  std::vector<std::string> askedFor;
  w.AskCredentials = [&](std::string& user, std::string& password) {
    askedFor.push_back(user);
    password = SmbPassword(kSmbAdmin);
    return true;
  };
  w.eServer->setText(QString::fromStdString(Filter("sub")));
  w.bRefresh->click();
  EXPECT_THAT(askedFor, ElementsAre(kSmbAdmin));  // the user from the settings offered again
  EXPECT_THAT(ui.Errors(), ::testing::IsEmpty());
  EXPECT_THAT(ListItems(w), ElementsAre(Path("sub\\w-refused.txt")));

  // Another server that refuses; the user cancels the dialog.
  w.AskCredentials = [&](std::string&, std::string&) { return false; };
  api->SetCredentials(kSmbAdmin, "wrong-again");
  w.bRefresh->click();
  EXPECT_THAT(ui.Errors(), ElementsAre("Не могу получить список открытых файлов."));
  EXPECT_THAT(ListItems(w), ElementsAre(Path("sub\\w-refused.txt")));
  EXPECT_EQ(S(w.windowTitle()), "Файлы, открытые по сети (\\\\127.0.0.1)");
}

TEST_F(NetCloseWindow, ActivationAfterItsOwnErrorBoxDoesNotListAgain) {
  ScopedRegistry reg(Credentials(kSmbAdmin, SmbPassword(kSmbAdmin)));
  ScriptedInteraction ui;
  auto api = CreateNetFileApi();
  TfNetClose w(ui, *api);
  w.Logic().ServerName = "\\\\127.0.0.2";  // nobody there
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(&w, &activate);
  EXPECT_THAT(ui.Errors(), ElementsAre("Не могу получить список открытых файлов."));
  // Closing the error box activates the window again: no second box.
  QApplication::sendEvent(&w, &activate);
  EXPECT_EQ(ui.Errors().size(), 1u);
  EXPECT_EQ(w.lbFiles->count(), 0);
  // A later activation lists again.
  SmbClient one(*server_, kSmbUser1);
  ASSERT_GE(one.Open("sub\\w-after-error.txt"), 0);
  w.Logic().ServerName = "";
  QApplication::sendEvent(&w, &activate);
  EXPECT_EQ(ui.Errors().size(), 1u);
  EXPECT_GE(Row(w, Path("sub\\w-after-error.txt")), 0);
}

TEST_F(NetCloseWindow, MainWindowButtonShowsTheOneWindow) {
  ScopedRegistry reg(Credentials(kSmbAdmin, SmbPassword(kSmbAdmin)));
  ScopedCommandLine cl({});
  ScriptedInteraction ui;
  FakeClock clock;
  TfMain main(ui, clock);
  TfNetClose* net = main.NetCloseWindow();
  ASSERT_NE(net, nullptr);
  EXPECT_TRUE(main.btnCheckNetSession->isEnabled());
  EXPECT_FALSE(net->isVisible());
  main.btnCheckNetSession->click();
  EXPECT_TRUE(net->isVisible());
  EXPECT_EQ(main.NetCloseWindow(), net);
  // Activation lists this computer's opens.
  SmbClient one(*server_, kSmbUser1);
  ASSERT_GE(one.Open("sub\\w-activate.txt"), 0);
  net->FormActivate();
  EXPECT_GE(Row(*net, Path("sub\\w-activate.txt")), 0);
  EXPECT_THAT(ui.Errors(), ::testing::IsEmpty());
  main.close();
  EXPECT_FALSE(net->isVisible());
}
