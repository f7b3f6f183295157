// The main window on the offscreen platform: captions, rows, status texts,
// the buttons, the progress display and the first-show sequence. Writes a
// screenshot of the window for people to look at.
#include <QDir>
#include <QStyle>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include "gui/application.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "ops/scripted_interaction.h"
#include "support/registry_fixture.h"

using namespace ztv;

namespace {

const std::string kKey =
    "[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
    "\"CurrentVersionDirectory\"=\"/opt/ztv/\"\n"
    "\"BackupDirectory\"=\"/var/backups/ztv\"\n"
    "\"UpdateDirectory\"=\"\"\n"
    "\"CurrentVersion\"=\"7.1.2\"\n"
    "\"CurrentStatus\"=dword:00000001\n"
    "\"BackupVersion\"=\"\"\n";

QString Value(TfMain& w, int row) { return w.oiParams->item(row, 1)->text(); }

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void captionsButtonsAndRows() {
    test::ScopedRegistry reg(kKey);
    test::ScopedCommandLine cl({});
    ScriptedInteraction ui;
    FakeClock clock;
    TfMain w(ui, clock);
    QCOMPARE(w.windowTitle(), QString::fromUtf8("Обновление/восстановление ЗТВ"));
    QCOMPARE(w.GroupBox1->title(), QString::fromUtf8("Текущий статус системы"));

    struct B {
      QToolButton* button;
      const char* caption;
      const char* hint;
    };
    const B buttons[] = {
        {w.btnUpdate, "Провести обновление", "Установить полученное с сервера обновление"},
        {w.btnBackup, "Оптимизация базы данных", ""},
        {w.btnRestore, "Восстановить из копии", "Восстановить систему из резервной копии"},
        {w.btnClearCache, "Очистить кэш обновлений", "Очистить каталог для хранения обновлений"},
        {w.tbEmptyBase, "Заменить базу на пустую", "Заменить базу данных системы на пустую"},
        {w.btnCheckNetSession, "Блокировки файлов", "Показать файлы заблокированные сетевыми версиями"},
        {w.btnClose, "Выход", "Выйти из программы"},
    };
    int lastTop = -1;
    for (const auto& b : buttons) {
      QCOMPARE(b.button->text(), QString::fromUtf8(b.caption));
      QCOMPARE(b.button->toolTip(), QString::fromUtf8(b.hint));
      QCOMPARE(b.button->height(), 25);
      QVERIFY(b.button->y() > lastTop);  // top to bottom in this order
      lastTop = b.button->y();
    }
    QCOMPARE(w.btnClose->y(), 195);
    // The window not in this build is not offered.
    QVERIFY(w.btnUpdate->isEnabled());
    QVERIFY(w.btnRestore->isEnabled());
    QVERIFY(w.btnClearCache->isEnabled());
    QVERIFY(w.btnBackup->isEnabled());
    QVERIFY(w.tbEmptyBase->isEnabled());
    QVERIFY(w.btnCheckNetSession->isEnabled());
    QVERIFY(w.btnClose->isEnabled());
    // The window ends just below the last button.
    QCOMPARE(w.height(), 195 + 25 + 19 + 9);

    const char* captions[] = {"Текущая версия", "Версия в копии", "Состояние текущей версии",
                              "Каталог установки текущей версии", "Каталог для хранения резервной копии",
                              "Каталог для хранения обновлений"};
    QCOMPARE(w.oiParams->rowCount(), 6);
    for (int i = 0; i < 6; ++i) QCOMPARE(w.oiParams->item(i, 0)->text(), QString::fromUtf8(captions[i]));
    QCOMPARE(w.oiParams->item(3, 0)->data(Qt::UserRole).toString(), QString("CurrentDir"));
    QVERIFY(w.oiParams->columnWidth(0) >= 219);
  }

  void formShowFillsThePanelAndWritesAScreenshot() {
    test::ScopedRegistry reg(kKey);
    test::ScopedCommandLine cl({});
    ScriptedInteraction ui;
    FakeClock clock;
    TfMain w(ui, clock);
    w.show();
    QTRY_VERIFY(w.FormShown());
    QCOMPARE(Value(w, 0), QString("7.1.2"));
    QCOMPARE(Value(w, 1), QString::fromUtf8("<Не определено>"));
    QCOMPARE(Value(w, 2), QString::fromUtf8("Рабочая версия."));
    QCOMPARE(Value(w, 3), QString("/opt/ztv"));
    QCOMPARE(Value(w, 5), QString::fromUtf8("<Не определено>"));
    QVERIFY(ui.Errors().empty());

    w.ShowProgress(37, "Backup.DAT");
    QCOMPARE(w.sbPanel0->text(), QString("37%"));
    QCOMPARE(w.sbPanel1->text(), QString("Backup.DAT"));
    w.ShowProgress(0, "x");
    QCOMPARE(w.sbPanel0->text(), QString());
    QCOMPARE(w.sbPanel1->text(), QString("x"));
    w.ShowProgress(0, "");

    QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", "screenshots");
    QDir().mkpath(dir);
    QVERIFY(w.grab().save(dir + "/main.png"));

    // Other states show their own texts.
    w.FUpdater().CurrentStatus = 2;
    w.UpdateStatusPanel(false);
    QCOMPARE(Value(w, 2), QString::fromUtf8("Начато и не завершено проведение обновления."));
    w.FUpdater().CurrentStatus = 5;
    w.FUpdater().CurrentVersion = "";
    w.UpdateStatusPanel(false);
    QCOMPARE(Value(w, 2), QString::fromUtf8("Не определен. Требуется переустановка системы."));
    QCOMPARE(Value(w, 0), QString::fromUtf8("<Не определено>"));
    w.UpdateStatusPanel(true);
    for (int i = 0; i < 6; ++i) QCOMPARE(Value(w, i), QString());
  }

  void statusRowNeverCutsItsText() {
    test::ScopedRegistry reg(kKey);
    test::ScopedCommandLine cl({});
    ScriptedInteraction ui;
    FakeClock clock;
    TfMain w(ui, clock);
    w.show();
    QTRY_VERIFY(w.FormShown());
    QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", "screenshots");
    QDir().mkpath(dir);
    // Every status text, the undefined state's above all, shows whole in
    // the value column, and every value carries its whole text as tooltip.
    const struct {
      int32_t status;
      const char* text;
      const char* shot;
    } states[] = {
        {1, "Рабочая версия.", "status-working.png"},
        {2, "Начато и не завершено проведение обновления.", "status-update-unfinished.png"},
        {0, "Не определен. Требуется переустановка системы.", "status-undefined.png"},
    };
    const int margin = w.oiParams->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w.oiParams) + 1;
    for (const auto& st : states) {
      w.FUpdater().CurrentStatus = st.status;
      w.FUpdater().CurrentVersionDirectory = "/opt/ztv/a/rather/long/installation/directory/that/cannot/fit";
      w.UpdateStatusPanel(false);
      QCoreApplication::processEvents();
      QTableWidgetItem* item = w.oiParams->item(2, 1);
      QCOMPARE(item->text(), QString::fromUtf8(st.text));
      QCOMPARE(item->toolTip(), QString::fromUtf8(st.text));
      const QRect cell = w.oiParams->visualItemRect(item);
      const int needed = QFontMetrics(w.oiParams->font()).horizontalAdvance(item->text()) + 2 * margin;
      QVERIFY2(cell.width() >= needed, qPrintable(QString("cell %1 < text %2").arg(cell.width()).arg(needed)));
      QVERIFY(cell.right() < w.oiParams->viewport()->width());  // not clipped by the table either
      QCOMPARE(w.oiParams->item(3, 1)->toolTip(), w.oiParams->item(3, 1)->text());
      QVERIFY(w.grab().save(dir + "/" + st.shot));
    }
  }

  void failedRefreshShowsTheErrorAndLeavesThePanelBlank() {
    test::ScopedRegistry reg("");
    test::ScopedCommandLine cl({});
    ScriptedInteraction ui;
    FakeClock clock;
    TfMain w(ui, clock);
    w.show();
    QTRY_VERIFY(w.FormShown());
    QCOMPARE(ui.Errors().size(), size_t(1));
    QCOMPARE(QString::fromStdString(ui.Errors()[0]),
             QString::fromUtf8("Не удается получить данные из реестра Windows. Возможно, требуется переустановка ЗТВ."));
    for (int i = 0; i < 6; ++i) QCOMPARE(Value(w, i), QString());
    QVERIFY(w.isVisible());  // the window stays open
  }

  void applicationAddsNothingToTheCaptions() {
    // The platform appends an application display name to every title bar
    // unless the title already ends with it; the program sets none.
    SetUpApplication(*qApp);
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
  }

  void logWindowTextAndPanels() {
    TfLog log;
    QCOMPARE(log.windowTitle(), QString::fromUtf8("Журнал"));
    log.AddText(QString::fromUtf8("Рабочее место..."), true);
    log.AddText(QString::fromUtf8("ОК"), false);
    log.AddText(QString::fromUtf8("СУБД..."), true);
    QCOMPARE(log.mLog->toPlainText(), QString::fromUtf8("Рабочее место...ОК\nСУБД..."));
    log.SetProgress(0, "text");
    QCOMPARE(log.panel0->text(), QString());
    QCOMPARE(log.pbProgress->value(), 0);
    QCOMPARE(log.panel1->text(), QString("text"));
    // The bar follows the percentage, within its range.
    log.SetProgress(37, "text");
    QCOMPARE(log.pbProgress->value(), 37);
    log.SetProgress(150, "text");
    QCOMPARE(log.pbProgress->value(), 100);
    log.show();
    log.SetCloseButtonVisible(true);
    QVERIFY(log.pButton->isVisible());
    QVERIFY(!log.sbStatus->isVisible());
    // With the close button shown (an operation has ended) Esc closes it.
    QTest::keyClick(&log, Qt::Key_Escape);
    QVERIFY(!log.isVisible());
    // While an operation runs neither Esc nor the close box closes it.
    log.show();
    log.SetCloseButtonVisible(false);
    QVERIFY(!log.pButton->isVisible());
    QVERIFY(log.sbStatus->isVisible());
    QVERIFY(log.pbProgress->isVisible());
    QTest::keyClick(&log, Qt::Key_Escape);
    QVERIFY(log.isVisible());
    QVERIFY(!log.close());
    QVERIFY(log.isVisible());
    log.SetProgress(45, QString::fromUtf8("Сохранение файла: Данные\\шаблон.gdb"));
    QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", "screenshots");
    QDir().mkpath(dir);
    QVERIFY(log.grab().save(dir + "/log-progress.png"));
    log.ClearLog();
    QCOMPARE(log.mLog->toPlainText(), QString());
    QCOMPARE(log.panel1->text(), QString());
    QCOMPARE(log.pbProgress->value(), 0);
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
