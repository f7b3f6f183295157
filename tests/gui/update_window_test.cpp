// The update and the restore started from the main window on the offscreen
// platform, on a real installation with the workplace program and the
// database server as real stand-in processes. The operation runs on its
// worker thread while the test looks at the windows: the buttons are
// disabled while it runs and enabled again after it, the log window shows
// its lines and progress, and screenshots of both windows are written.
//
// The questions are answered from a script; the log window, the progress
// display and the hand-over between the threads are the window program's
// own.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QDir>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "engine/update_package.h"
#include "engine/ztv_procs.h"
#include "gui/application.h"
#include "process_until.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/qt_interaction.h"
#include "installation_fixture.h"

namespace ztv {
namespace {

namespace fs = std::filesystem;
using test::Alive;
using test::ProcessUntil;
using test::Running;

// QtInteraction with scripted answers instead of message boxes, which also
// holds the operation at its first progress report until the test lets it
// go on.
class ScriptedQtInteraction : public QtInteraction {
 public:
  void Answer(DialogButton b) {
    std::lock_guard lock(mutex_);
    answers_.push_back(b);
  }

  DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons, DialogButton,
                   MessageIcon) override {
    std::lock_guard lock(mutex_);
    events_.push_back("ask:" + caption + "|" + text);
    if (QThread::currentThread() == qApp->thread()) events_.push_back("asked on the user-interface thread");
    if (answers_.empty()) return DialogButton::None;
    DialogButton b = answers_.front();
    answers_.pop_front();
    return b;
  }
  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon) override {
    std::lock_guard lock(mutex_);
    events_.push_back("message:" + caption + "|" + text);
  }
  void ShowError(const std::string& text) override {
    std::lock_guard lock(mutex_);
    events_.push_back("error:" + text);
  }
  void Progress(int32_t percent, const std::string& text) override {
    QtInteraction::Progress(percent, text);
    if (percent < 1) return;
    std::unique_lock lock(mutex_);
    if (!holdAtProgress_ || held_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }

  void HoldAtFirstProgress() {
    std::lock_guard lock(mutex_);
    holdAtProgress_ = true;
  }
  bool Held() {
    std::lock_guard lock(mutex_);
    return held_;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<DialogButton> answers_;
  std::vector<std::string> events_;
  bool holdAtProgress_ = false;
  bool held_ = false;
  bool released_ = false;
};

// Never leaves a worker behind the windows: it works on them. A slow machine
// may need long; an operation that takes more than 30 s fails the test, one
// that never ends is left to the test time-out rather than to a crash in
// freed windows.
void WaitForTheWorker(TfMain& w) {
  EXPECT_TRUE(ProcessUntil([&] { return !w.Busy(); }, 30000)) << "an operation was still running";
  ProcessUntil([&] { return !w.Busy(); }, 600000);
}

QString ScreenshotDir() {
  QString dir = qEnvironmentVariable("ZTV_SCREENSHOT_DIR", ZTV_DEFAULT_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  return dir;
}

// The buttons that start an operation, and the exit.
std::vector<QToolButton*> OperationButtons(TfMain& w) {
  return {w.btnUpdate, w.btnRestore, w.btnClearCache, w.btnBackup, w.tbEmptyBase, w.btnClose};
}

class UpdateWindowTest : public test::InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    if (HasFatalFailure()) return;
    InstallStandinServer();
    main_ = std::make_unique<TfMain>(ui_, clock_);
    log_ = std::make_unique<TfLog>();
    ui_.SetMainWindow(main_.get());
    ui_.SetLogWindow(log_.get());
  }
  void TearDown() override {
    ui_.Release();
    if (main_) WaitForTheWorker(*main_);
    log_.reset();
    main_.reset();
  }

  void ShowMainWindow() {
    main_->show();
    ASSERT_TRUE(ProcessUntil([&] { return main_->FormShown(); }, 5000));
  }

  ScriptedQtInteraction ui_;
  test::CappedClock clock_{50};
  std::unique_ptr<TfMain> main_;
  std::unique_ptr<TfLog> log_;
};

TEST_F(UpdateWindowTest, UpdateFromTheWindowDisablesTheButtonsWhileItRuns) {
  WriteSettings("7.1.2", 1, "");
  const std::string src = dir_ / "package-source";
  test::WriteFile(src + "/UpdateInstaller.exe", "#!/bin/sh\necho started > \"$(dirname \"$0\")/installer-ran\"\n");
  test::WriteFile(src + "/bin/version.txt", "workplace client 7.2.0\n");
  BuildPackage(src, updates_, TPackageBuildOptions{"7.1.2", "7.2.0", false, 0});
  const ProcessEntry workplace = StartWorkplace();
  const ProcessEntry server = StartStandinServer();
  ShowMainWindow();
  TfMain& w = *main_;
  for (auto* b : OperationButtons(w)) EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();

  ui_.Answer(DialogButton::Yes);
  // The stand-in server cannot tell its attachments: the user is asked
  // before its connections are cut.
  ui_.Answer(DialogButton::Ok);
  ui_.HoldAtFirstProgress();
  QTest::mouseClick(w.btnUpdate, Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return ui_.Held(); }, 30000)) << "the backup did not report progress";

  // Held in the backup: every button is disabled, a second operation cannot
  // start, and the windows show what the operation wrote so far.
  EXPECT_TRUE(w.Busy());
  for (auto* b : OperationButtons(w)) EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  QTest::mouseClick(w.btnRestore, Qt::LeftButton);
  EXPECT_FALSE(w.RunOperation([] { ADD_FAILURE() << "a second operation ran"; }));
  QCoreApplication::processEvents();
  EXPECT_TRUE(log_->isVisible());
  EXPECT_FALSE(log_->pButton->isVisible());
  EXPECT_TRUE(log_->sbStatus->isVisible());
  EXPECT_EQ(log_->mLog->toPlainText().toStdString(),
            "Выгрузка приложений.\n"
            "Рабочее место...ОК\n"
            "останавливаем СУБД...ОК\n"
            "Резервное копирование текущей версии...");
  EXPECT_TRUE(log_->panel0->text().endsWith("%")) << log_->panel0->text().toStdString();
  EXPECT_EQ(log_->panel0->text(), w.sbPanel0->text());
  EXPECT_EQ(log_->panel1->text(), w.sbPanel1->text());
  // The bar beside them shows the same percentage.
  EXPECT_TRUE(log_->pbProgress->isVisible());
  EXPECT_EQ(QString::number(log_->pbProgress->value()) + "%", log_->panel0->text());
  // The log window belongs to the main window and stays above it, without
  // blocking it; neither Esc nor its close box closes it now.
  EXPECT_EQ(log_->parentWidget(), &w);
  EXPECT_TRUE(log_->isWindow());
  EXPECT_FALSE(log_->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(log_->windowTitle(), QString::fromUtf8("Журнал"));
  QTest::keyClick(log_.get(), Qt::Key_Escape);
  EXPECT_FALSE(log_->close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(log_->isVisible());
  EXPECT_FALSE(Alive(workplace));
  EXPECT_FALSE(Alive(server));
  const QString dir = ScreenshotDir();
  EXPECT_TRUE(w.grab().save(dir + "/main-update-running.png"));
  EXPECT_TRUE(log_->grab().save(dir + "/log-update-running.png"));

  ui_.Release();
  ASSERT_TRUE(ProcessUntil([&] { return !w.Busy(); }, 30000)) << "the update did not end";
  QCoreApplication::processEvents();

  EXPECT_EQ(ui_.Events(), (std::vector<std::string>{
                              "ask:Подтверждение|Перед установкой обновления необходимо выгрузить (закрыть, "
                              "выключить) программу на сетевых машинах.\n\nУстановить обновление?",
                              "ask:Инсталляция обновления|FireBird имеет подключенных к базе пользователей. "
                              "Оборвать соединения?"}));
  for (auto* b : OperationButtons(w)) EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_EQ(log_->mLog->toPlainText().toStdString(),
            "Выгрузка приложений.\n"
            "Рабочее место...ОК\n"
            "останавливаем СУБД...ОК\n"
            "Резервное копирование текущей версии...Успешно завершено\n"
            "Распаковка обновления...завершена успешно\n"
            "Запуск программы обновления...прошел успешно");
  EXPECT_FALSE(log_->isVisible());
  EXPECT_EQ(w.sbPanel0->text(), QString());
  EXPECT_EQ(w.sbPanel1->text(), QString());
  EXPECT_EQ(log_->panel0->text(), QString());
  // The panel shows the new backup version; the window closed after the
  // installer started.
  EXPECT_EQ(w.oiParams->item(1, 1)->text(), QString("7.1.2"));
  EXPECT_TRUE(ProcessUntil([&] { return !w.isVisible(); }, 5000)) << "the main window stayed open";
  EXPECT_TRUE(test::WaitFor([&] { return fs::exists(updates_ + "/_ZTV_UPDATE_/installer-ran"); }, 10000));
  EXPECT_EQ(GetBackupVersion(), "7.1.2");
  EXPECT_TRUE(test::WaitFor([] { return Running("firebird").size() == 1; }, 5000)) << "the server was not restarted";
}

TEST_F(UpdateWindowTest, FailedRestoreShowsTheErrorAndEnablesTheButtonsAgain) {
  WriteSettings("7.1.2", 1, "");  // no backup
  const ProcessEntry server = StartStandinServer();
  ShowMainWindow();
  TfMain& w = *main_;
  ui_.Answer(DialogButton::Yes);
  QTest::mouseClick(w.btnRestore, Qt::LeftButton);
  EXPECT_TRUE(w.Busy());
  EXPECT_FALSE(w.btnUpdate->isEnabled());
  ASSERT_TRUE(ProcessUntil([&] { return !w.Busy(); }, 30000));
  QCoreApplication::processEvents();
  EXPECT_EQ(ui_.Events(),
            (std::vector<std::string>{
                "ask:Подтверждение|Восстановить систему из резервной копии (текущие данные будут потеряны)?",
                "error:Резервная копия отсутствует"}));
  for (auto* b : OperationButtons(w)) EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_TRUE(w.isVisible());
  // Refused before anything was opened, closed or stopped.
  EXPECT_FALSE(log_->isVisible());
  EXPECT_EQ(log_->mLog->toPlainText().toStdString(), "");
  EXPECT_TRUE(Alive(server));
}

TEST_F(UpdateWindowTest, WindowDoesNotCloseUnderARunningOperation) {
  WriteSettings("7.1.2", 1, "");
  MakeBackupNow();
  const auto backedUp = test::Snapshot(inst_);
  test::WriteFile(inst_ + "/bin/new.dll", "from a broken update");
  WriteSettings("7.2.0", 2, "7.1.2");
  ShowMainWindow();
  TfMain& w = *main_;
  ui_.Answer(DialogButton::Yes);
  ui_.HoldAtFirstProgress();
  QTest::mouseClick(w.btnRestore, Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return ui_.Held(); }, 30000)) << "the restore did not report progress";

  // The close box while the restore runs is refused: the window owns what
  // the operation works on. It stays open after the restore too, and closes
  // normally then.
  EXPECT_FALSE(w.close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.isVisible());
  ui_.Release();
  ASSERT_TRUE(ProcessUntil([&] { return !w.Busy(); }, 30000));
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(ui_.Events().back(),
            "message:Обновление/восстановление ЗТВ|Восстановление версии из резервной копии успешно завершено");
  EXPECT_EQ(test::Snapshot(inst_), backedUp);
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_TRUE(w.close());
  EXPECT_FALSE(w.isVisible());
}

// What a message box showed, and the box itself while it is up.
struct SeenBox {
  QString title, text;
  QStringList buttons;
  QString defaultButton, escapeButton;
  Qt::TextFormat format = Qt::AutoText;
  Qt::TextFormat labelFormat = Qt::AutoText;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* owner = nullptr;
};

// One answer to a box: what to do with it, and the screenshot to write of
// it first (none when empty).
struct BoxAnswer {
  std::function<void(QMessageBox&)> act;
  QString shot;
};

// Answers the next message boxes in order and records what they showed. The
// boxes run their own event loops, one inside another's caller, so the
// watch runs from a timer that fires inside whichever loop runs.
class BoxAnswerer : public QObject {
 public:
  explicit BoxAnswerer(std::vector<BoxAnswer> answers) : answers_(std::move(answers)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Look(); });
    timer_.start();
  }
  bool Done() const { return seen_.size() == answers_.size(); }
  const std::vector<SeenBox>& Seen() const { return seen_; }

 private:
  void Look() {
    if (Done()) return;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      // Boxes live on the stack of the call that shows them, so a later box
      // may have an earlier one's address: the mark is kept on the box.
      if (!box || !box->isVisible() || box->property("ztvAnswered").toBool()) continue;
      box->setProperty("ztvAnswered", true);
      SeenBox seen;
      seen.title = box->windowTitle();
      seen.text = box->text();
      for (QAbstractButton* b : box->buttons()) seen.buttons << b->text();
      seen.buttons.sort();
      seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
      seen.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
      seen.format = box->textFormat();
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) seen.labelFormat = label->textFormat();
      seen.icon = box->icon();
      seen.owner = box->parentWidget();
      const BoxAnswer& answer = answers_[seen_.size()];
      if (!answer.shot.isEmpty()) box->grab().save(ScreenshotDir() + "/" + answer.shot);
      seen_.push_back(seen);
      answer.act(*box);
      return;
    }
  }

  QTimer timer_;
  std::vector<BoxAnswer> answers_;
  std::vector<SeenBox> seen_;
};

void PressEsc(QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }
// Clicks the button that reads `text`.
std::function<void(QMessageBox&)> Click(const char* text) {
  return [text](QMessageBox& box) {
    for (QAbstractButton* b : box.buttons())
      if (b->text() == QString::fromUtf8(text)) {
        b->click();
        return;
      }
    ADD_FAILURE() << "no button " << text;
    box.reject();
  };
}

// The main window with the program's own interaction: real message boxes.
class MessageBoxTest : public test::InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    if (HasFatalFailure()) return;
    InstallStandinServer();
    main_ = std::make_unique<TfMain>(ui_, clock_);
    log_ = std::make_unique<TfLog>();
    ui_.SetMainWindow(main_.get());
    ui_.SetLogWindow(log_.get());
  }
  void TearDown() override {
    if (main_) WaitForTheWorker(*main_);
    log_.reset();
    main_.reset();
  }
  void ShowMainWindow() {
    main_->show();
    ASSERT_TRUE(ProcessUntil([&] { return main_->FormShown(); }, 5000));
  }
  // Clicks `button` and answers the boxes that come up, in order; returns
  // what they showed once the operation has ended.
  std::vector<SeenBox> Run(QToolButton* button, std::vector<BoxAnswer> answers) {
    BoxAnswerer answerer(std::move(answers));
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(ProcessUntil([&] { return answerer.Done() && !main_->Busy(); }, 30000));
    return answerer.Seen();
  }

  QtInteraction ui_;
  test::CappedClock clock_{50};
  std::unique_ptr<TfMain> main_;
  std::unique_ptr<TfLog> log_;
};

const QStringList kYesNo = {QString::fromUtf8("Да"), QString::fromUtf8("Нет")};

TEST_F(MessageBoxTest, QuestionsHaveTheirDefaultsAndEscAnswersNo) {
  WriteSettings("7.1.2", 1, "7.1.0");
  test::WriteFile(backup_ + "/Backup.DAT", "an older backup");
  test::WriteFile(updates_ + "/Files.DAT", "a received package");
  const ProcessEntry workplace = StartWorkplace();
  const ProcessEntry server = StartStandinServer();
  const std::string registry = RegistryText();
  const auto installation = test::Snapshot(inst_);
  ShowMainWindow();
  TfMain& w = *main_;
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Обновление/восстановление ЗТВ"));

  const struct {
    QToolButton* button;
    const char* question;
    const char* defaultButton;
    const char* shot;
  } questions[] = {
      {w.btnUpdate,
       "Перед установкой обновления необходимо выгрузить (закрыть, выключить) программу на сетевых машинах.\n\n"
       "Установить обновление?",
       "Да", "question-update.png"},
      {w.btnRestore, "Восстановить систему из резервной копии (текущие данные будут потеряны)?", "Нет",
       "question-restore.png"},
      {w.btnClearCache, "Очистить кэш обновлений?", "Нет", "question-clear-cache.png"},
  };
  for (const auto& q : questions) {
    SCOPED_TRACE(q.shot);
    const auto seen = Run(q.button, {{PressEsc, q.shot}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, QString::fromUtf8("Подтверждение"));
    EXPECT_EQ(seen[0].text, QString::fromUtf8(q.question));
    EXPECT_EQ(seen[0].buttons, kYesNo);
    EXPECT_EQ(seen[0].defaultButton, QString::fromUtf8(q.defaultButton));
    EXPECT_EQ(seen[0].escapeButton, QString::fromUtf8("Нет"));
    EXPECT_EQ(seen[0].icon, QMessageBox::Question);
    EXPECT_EQ(seen[0].format, Qt::PlainText);
    EXPECT_EQ(seen[0].owner, &w);
  }
  // Esc answered No each time: nothing was closed, stopped or changed.
  EXPECT_TRUE(Alive(workplace));
  EXPECT_TRUE(Alive(server));
  EXPECT_EQ(RegistryText(), registry);
  EXPECT_EQ(test::Snapshot(inst_), installation);
  EXPECT_EQ(test::ReadFile(updates_ + "/Files.DAT"), "a received package");
  EXPECT_FALSE(log_->isVisible());
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(MessageBoxTest, YesAndNoDoWhatTheyRead) {
  // "Нет" on the update changes nothing; "Да" on the restore and on the
  // cache clearing carries them out. Swapped answers would fail both ways.
  WriteSettings("7.1.2", 1, "");
  MakeBackupNow();
  const auto backedUp = test::Snapshot(inst_);
  test::WriteFile(inst_ + "/bin/new.dll", "from a broken update");
  WriteSettings("7.2.0", 2, "7.1.2");
  test::WriteFile(updates_ + "/Files.DAT", "a received package");
  ShowMainWindow();
  TfMain& w = *main_;

  auto seen = Run(w.btnUpdate, {{Click("Нет"), {}}});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(GetCurrentStatus(), 2);
  EXPECT_TRUE(fs::exists(inst_ + "/bin/new.dll"));

  const ProcessEntry server = StartStandinServer();
  // The stand-in server cannot tell its attachments, so stopping it asks
  // first; OK cuts the connections.
  seen = Run(w.btnRestore, {{Click("Да"), {}}, {Click("OK"), "question-connected-users.png"},
                            {Click("OK"), "message-restore-done.png"}});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].title, QString::fromUtf8("Инсталляция обновления"));
  EXPECT_EQ(seen[1].text,
            QString::fromUtf8("FireBird имеет подключенных к базе пользователей. Оборвать соединения?"));
  EXPECT_EQ(seen[2].title, QString::fromUtf8("Обновление/восстановление ЗТВ"));
  EXPECT_EQ(seen[2].text, QString::fromUtf8("Восстановление версии из резервной копии успешно завершено"));
  EXPECT_EQ(seen[2].buttons, QStringList{"OK"});
  EXPECT_EQ(seen[2].icon, QMessageBox::Information);
  // Shown while the log window was up: it belongs to the log window.
  EXPECT_EQ(seen[2].owner, log_.get());
  EXPECT_EQ(test::Snapshot(inst_), backedUp);
  EXPECT_EQ(GetCurrentStatus(), 1);
  EXPECT_FALSE(Alive(server));

  seen = Run(w.btnClearCache, {{Click("Да"), {}}, {Click("OK"), {}}});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].text,
            QString::fromUtf8("Операция завершена! В процессе очистки кэша было удалено 1 файлов."));
  EXPECT_FALSE(fs::exists(updates_ + "/Files.DAT"));
}

TEST_F(MessageBoxTest, NamesFromOutsideAreShownAsPlainTextAndTheNoticeHasItsCaption) {
  // A directory whose name reads as markup.
  const std::string odd = dir_ / "<b>кэш</b>";
  registry_.Write("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n"
                  "\"CurrentVersionDirectory\"=\"" + inst_ + "\"\n"
                  "\"BackupDirectory\"=\"" + backup_ + "\"\n"
                  "\"UpdateDirectory\"=\"" + odd + "\"\n"
                  "\"CurrentVersion\"=\"7.1.2\"\n"
                  "\"CurrentStatus\"=dword:00000001\n"
                  "\"BackupVersion\"=\"\"\n");
  ShowMainWindow();
  TfMain& w = *main_;
  auto seen = Run(w.btnClearCache, {{Click("Да"), {}}, {Click("OK"), "message-plain-text.png"}});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].text, QString::fromStdString("Директория " + odd + " не существует"));
  EXPECT_EQ(seen[1].format, Qt::PlainText);
  EXPECT_EQ(seen[1].labelFormat, Qt::PlainText);
  EXPECT_EQ(seen[1].icon, QMessageBox::Warning);

  // The error box of a failed operation carries the program's caption.
  seen = Run(w.btnRestore, {{Click("Да"), {}}, {Click("OK"), "message-error.png"}});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].title, QString::fromUtf8("Обновление/восстановление ЗТВ"));
  EXPECT_EQ(seen[1].text, QString::fromUtf8("Резервная копия отсутствует"));
  EXPECT_EQ(seen[1].icon, QMessageBox::Critical);
  EXPECT_EQ(seen[1].labelFormat, Qt::PlainText);
}

TEST_F(MessageBoxTest, AutomaticUpdateNoticeComesFirst) {
  WriteSettings("7.1.2", 1, "");
  test::ScopedCommandLine autoRun({"autoRun"});
  BoxAnswerer answerer({{Click("OK"), "notice-automatic-update.png"}, {PressEsc, {}}});
  main_->show();
  ASSERT_TRUE(ProcessUntil([&] { return answerer.Done() && main_->FormShown() && !main_->Busy(); }, 10000));
  const auto& seen = answerer.Seen();
  EXPECT_EQ(seen[0].title, QString::fromUtf8("Уведомление"));
  EXPECT_EQ(seen[0].text, QString::fromUtf8("Предыдущая операция прервана в связи с обновлением."));
  EXPECT_EQ(seen[0].icon, QMessageBox::Warning);
  EXPECT_EQ(seen[0].buttons, QStringList{"OK"});
  EXPECT_EQ(seen[1].title, QString::fromUtf8("Подтверждение"));
  EXPECT_EQ(seen[1].defaultButton, QString::fromUtf8("Да"));
  EXPECT_TRUE(main_->isVisible());  // answered No: the window stays
}

TEST(LogWindowHandOver, ProgressReachesTheLogWindowOnlyWhileItShows) {
  ScriptedQtInteraction ui;
  FakeClock clock;
  TfMain w(ui, clock);
  TfLog log;
  ui.SetMainWindow(&w);
  ui.SetLogWindow(&log);
  ui.Progress(37, "Backup.DAT");
  EXPECT_EQ(w.sbPanel0->text(), QString("37%"));
  EXPECT_EQ(log.panel0->text(), QString());
  EXPECT_FALSE(ui.LogVisible());

  ui.LogClear();
  ui.LogSetCloseButtonVisible(false);
  ui.LogShow();
  EXPECT_TRUE(ui.LogVisible());
  ui.Progress(55, "Index.trs");
  EXPECT_EQ(log.panel0->text(), QString("55%"));
  EXPECT_EQ(log.panel1->text(), QString("Index.trs"));
  // Below 1 only panel 0 is emptied.
  ui.Progress(0, "Распаковка");
  EXPECT_EQ(log.panel0->text(), QString());
  EXPECT_EQ(log.panel1->text(), QString::fromUtf8("Распаковка"));
  EXPECT_EQ(w.sbPanel0->text(), QString());
  // With the close button shown the status bar is hidden: what is written
  // there shows only once it is visible again.
  ui.LogSetCloseButtonVisible(true);
  ui.Progress(70, "hidden");
  EXPECT_FALSE(log.sbStatus->isVisible());
  EXPECT_EQ(log.panel0->text(), QString("70%"));
  ui.LogSetCloseButtonVisible(false);
  EXPECT_TRUE(log.sbStatus->isVisible());

  ui.LogAddText("Рабочее место...", true);
  ui.LogAddText("ОК", false);
  ui.LogAddText("СУБД...", true);
  EXPECT_EQ(log.mLog->toPlainText().toStdString(), "Рабочее место...ОК\nСУБД...");
  ui.LogClose();
  EXPECT_FALSE(ui.LogVisible());
  ui.Progress(90, "after");
  EXPECT_EQ(log.panel0->text(), QString("70%"));
  ui.LogClear();
  EXPECT_EQ(log.mLog->toPlainText(), QString());
  EXPECT_EQ(log.panel1->text(), QString());
}

}  // namespace
}  // namespace ztv

int main(int argc, char** argv) {
  ztv::test::IsolateProcesses();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ztv::SetUpApplication(app);
  // The update closes the main window; that must not end the application.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
