// The selection window of the database replacement and the password dialog
// on the offscreen platform, driven through the window program's
// interaction as the operation drives them. Writes screenshots.
#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QTest>
#include <QTimer>

#include <QThread>

#include "gui/application.h"
#include "process_until.h"
#include "gui/change_base.h"
#include "gui/connect_dialog.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/qt_interaction.h"
#include "multiregistry/registry_store.h"
#include "support/registry_fixture.h"

using namespace ztv;
using ztv::test::ProcessUntil;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

QString ShotDir() {
  QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", "screenshots");
  QDir().mkpath(dir);
  return dir;
}

// Clicks the tick of a row of the grid.
void ClickTick(TfrmChangeBase& w, int row) {
  const QRect cell = w.cgBaseList->visualRect(w.cgBaseList->model()->index(row, 0));
  QTest::mouseClick(w.cgBaseList->viewport(), Qt::LeftButton, {}, cell.center());
}

// The interaction with a user: each window gets `act` once it is shown.
class UserAtTheDialogs : public QtInteraction {
 public:
  std::function<void(TfrmChangeBase&)> onChoose;
  std::function<void(TfConnect&)> onPassword;

 protected:
  void BeforeChooseRows(TfrmChangeBase& window) override {
    QTimer::singleShot(0, &window, [this, &window] { onChoose(window); });
  }
  void BeforeAskPassword(TfConnect& window) override {
    QTimer::singleShot(0, &window, [this, &window] { onPassword(window); });
  }
};

std::vector<TChoiceRow> Rows() { return {{false, 7, "Бухгалтерия"}, {false, 3, "Склад"}, {false, 12, "Архив 2025"}}; }

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
 private slots:
  void selectionWindowShowsTheListAndTicksOnly() {
    TfrmChangeBase w;
    w.LoadList(Rows());
    QCOMPARE(w.windowTitle(), U("Замена базы"));
    QCOMPARE(w.grboxParameters->title(), U(" Выберите базы для замены "));
    QCOMPARE(w.btnOK->text(), U("ОК"));
    QCOMPARE(w.btnCancel->text(), U("Отмена"));
    QCOMPARE(w.btnOK->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    QVERIFY(!w.btnOK->icon().isNull());
    QCOMPARE(w.cgBaseList->columnCount(), 3);
    QCOMPARE(w.cgBaseList->horizontalHeaderItem(0)->text(), U(" "));
    QCOMPARE(w.cgBaseList->horizontalHeaderItem(1)->text(), U("Идентификатор"));
    QCOMPARE(w.cgBaseList->horizontalHeaderItem(2)->text(), U("Название"));
    // The designed widths, wider only where the platform's font needs it
    // for a title to be shown whole.
    QCOMPARE(w.cgBaseList->columnWidth(0), 21);
    const int idWidth = w.cgBaseList->columnWidth(1);
    QVERIFY(idWidth >= 85 && idWidth <= 85 + 40);
    QVERIFY(idWidth > w.cgBaseList->horizontalHeader()->fontMetrics().horizontalAdvance(U("Идентификатор")) + 8);
    QCOMPARE(w.cgBaseList->columnWidth(2), 217);
    QCOMPARE(w.cgBaseList->rowCount(), 3);
    const QColor face = w.palette().color(QPalette::Button);
    for (int row = 0; row < 3; ++row) {
      for (int col : {1, 2}) {
        QCOMPARE(w.cgBaseList->item(row, col)->background().color(), face);
        QVERIFY(!(w.cgBaseList->item(row, col)->flags() & Qt::ItemIsEditable));
      }
      QCOMPARE(w.cgBaseList->item(row, 0)->checkState(), Qt::Unchecked);
    }
    QCOMPARE(w.cgBaseList->item(1, 2)->text(), U("Склад"));
    QCOMPARE(w.cgBaseList->item(2, 1)->text(), QString("12"));
    // A fixed dialog.
    QCOMPARE(w.minimumSize(), w.maximumSize());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The fixed dialog shows the three columns whole.
    QVERIFY(w.cgBaseList->viewport()->width() >= 21 + idWidth + 217);
    ClickTick(w, 1);
    QCOMPARE(w.cgBaseList->item(1, 0)->checkState(), Qt::Checked);
    ClickTick(w, 1);
    QCOMPARE(w.cgBaseList->item(1, 0)->checkState(), Qt::Unchecked);
    ClickTick(w, 2);
    // Rows are neither inserted nor deleted, names not edited.
    w.cgBaseList->setCurrentCell(0, 2);
    for (auto key : {Qt::Key_Insert, Qt::Key_Delete, Qt::Key_F2, Qt::Key_A})
      QTest::keyClick(w.cgBaseList, key);
    QCOMPARE(w.cgBaseList->rowCount(), 3);
    QCOMPARE(w.cgBaseList->item(0, 2)->text(), U("Бухгалтерия"));
    QVERIFY(w.grab().save(ShotDir() + "/change-base.png"));

    std::vector<TChoiceRow> rows = Rows();
    w.FillResult(rows);
    QVERIFY(!rows[0].checked && !rows[1].checked && rows[2].checked);
  }

  void selectionThroughTheInteractionOkAndCancel() {
    UserAtTheDialogs ui;
    ui.onChoose = [](TfrmChangeBase& w) {
      ClickTick(w, 0);
      ClickTick(w, 2);
      QTest::mouseClick(w.btnOK, Qt::LeftButton);
    };
    std::vector<TChoiceRow> rows = Rows();
    QVERIFY(ui.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
    QVERIFY(rows[0].checked && !rows[1].checked && rows[2].checked);

    ui.onChoose = [](TfrmChangeBase& w) {
      ClickTick(w, 1);
      QTest::mouseClick(w.btnCancel, Qt::LeftButton);
    };
    rows = Rows();
    QVERIFY(!ui.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
    QVERIFY(!rows[0].checked && !rows[1].checked && !rows[2].checked);

    // Esc is Cancel too.
    ui.onChoose = [](TfrmChangeBase& w) {
      ClickTick(w, 1);
      QTest::keyClick(&w, Qt::Key_Escape);
    };
    QVERIFY(!ui.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
  }

  void passwordDialogMasksAndAlwaysKeepsTheText() {
    TfConnect w;
    QCOMPARE(w.windowTitle(), U("Соединение"));
    QCOMPARE(w.Prompt->text(), U("Введите пароль"));
    QCOMPARE(w.mePass->echoMode(), QLineEdit::Password);
    QCOMPARE(w.cbSave->text(), U("Больше не запрашивать"));
    QCOMPARE(w.btnOK->text(), U("OK"));
    QCOMPARE(w.btnCancel->text(), U("Отмена"));

    UserAtTheDialogs ui;
    QString shown;
    bool boxWasSet = false;
    ui.onPassword = [&](TfConnect& d) {
      boxWasSet = d.cbSave->isChecked();
      QTest::keyClicks(d.mePass, "Secret7");
      shown = d.mePass->displayText();
      QTest::mouseClick(d.cbSave, Qt::LeftButton);
      QVERIFY(d.grab().save(ShotDir() + "/connect.png"));
      QTest::mouseClick(d.btnOK, Qt::LeftButton);
    };
    std::string password = "tulipwood";
    bool dontAsk = true;
    QVERIFY(ui.AskPassword(password, dontAsk));
    QVERIFY(boxWasSet);  // the box shows the state it was given
    QCOMPARE(password, std::string("Secret7"));
    QVERIFY(!dontAsk);
    QCOMPARE(shown, QString("*******"));

    // Cancelled: the typed text and the box are kept all the same.
    ui.onPassword = [](TfConnect& d) {
      QTest::keyClicks(d.mePass, "abc");
      QTest::mouseClick(d.cbSave, Qt::LeftButton);
      QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    };
    QVERIFY(!ui.AskPassword(password, dontAsk));
    QCOMPARE(password, std::string("abc"));
    QVERIFY(dontAsk);

    // Enter is OK.
    ui.onPassword = [](TfConnect& d) {
      QTest::keyClicks(d.mePass, "x");
      QTest::keyClick(d.mePass, Qt::Key_Return);
    };
    QVERIFY(ui.AskPassword(password, dontAsk));
    QCOMPARE(password, std::string("x"));
  }

  // The button runs the replacement on the worker thread; the selection
  // window comes up on the user-interface thread, owned by the main window,
  // with the workplace's list; cancelled, nothing more happens.
  void buttonOpensTheSelectionWindowFromTheWorker() {
    test::TempDir dir;
    test::ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                             "\"CurrentVersionDirectory\"=\"" + dir.Path() + "\"\n"
                             "\"BackupDirectory\"=\"" + dir.Path() + "\"\n"
                             "\"UpdateDirectory\"=\"" + dir.Path() + "\"\n"
                             "\"CurrentVersion\"=\"7.1.2\"\n"
                             "\"CurrentStatus\"=dword:00000001\n");
    TRegistryStore store;
    TRegistryNode& a = store.CreateKey("ЗТВ\\Доступные базы\\Бухгалтерия");
    TRegistryStore::SetInteger(a, "Идентификатор", 7);
    TRegistryStore::SetString(a, "ПутьКБазе", "/srv/buh.gdb");
    test::WriteFile(dir / "ocx/.keep", "");
    store.SaveToFile(dir / "ocx/IMD.DAT");

    UserAtTheDialogs ui;
    FakeClock clock;
    TfMain w(ui, clock);
    TfLog log(&w);
    ui.SetMainWindow(&w);
    ui.SetLogWindow(&log);
    w.Ops().MultiRegistryModule = ZTV_MULTIREGISTRY_MODULE_PATH;
    w.show();
    w.FormShow();
    QVERIFY(w.tbEmptyBase->isEnabled());

    bool onUiThread = false;
    QWidget* owner = nullptr;
    int rows = -1;
    QString name;
    ui.onChoose = [&](TfrmChangeBase& d) {
      onUiThread = QThread::currentThread() == qApp->thread();
      owner = d.parentWidget();
      rows = d.cgBaseList->rowCount();
      name = d.cgBaseList->item(0, 2)->text();
      QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    };
    QTest::mouseClick(w.tbEmptyBase, Qt::LeftButton);
    QVERIFY(ProcessUntil([&] { return !w.Busy() && rows >= 0; }, 10000));
    QVERIFY(onUiThread);
    QCOMPARE(owner, static_cast<QWidget*>(&w));
    QCOMPARE(rows, 1);
    QCOMPARE(name, U("Бухгалтерия"));
    QVERIFY(!log.isVisible());
    QVERIFY(w.tbEmptyBase->isEnabled());
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
