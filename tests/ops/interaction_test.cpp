#include <gtest/gtest.h>

#include <sstream>

#include "ops/console_interaction.h"
#include "ops/scripted_interaction.h"

namespace ztv {
namespace {

TEST(LogText, AppendRunsTextsTogether) {
  std::string log;
  AppendLogText(log, "Выгрузка приложений.", true);
  AppendLogText(log, "Рабочее место...", true);
  AppendLogText(log, "ОК", false);
  EXPECT_EQ(log, "Выгрузка приложений.\nРабочее место...ОК");
  EXPECT_EQ(PercentText(37), "37%");
  EXPECT_EQ(PercentText(1), "1%");
  EXPECT_EQ(PercentText(0), "");
  EXPECT_EQ(PercentText(-5), "");
}

TEST(Scripted, AnswersInOrderRecordsAndMirrorsProgressIntoTheVisibleLog) {
  ScriptedInteraction ui;
  ui.Answer(DialogButton::No);
  ui.Answer(DialogButton::Yes);
  EXPECT_FALSE(ui.Confirm("Восстановить?", false));
  EXPECT_TRUE(ui.Confirm("Установить обновление?", true));
  EXPECT_THROW(ui.Confirm("third", true), std::logic_error);

  ui.Progress(10, "before");  // log not visible: its status bar keeps nothing
  ui.LogClear();
  ui.LogSetCloseButtonVisible(false);
  ui.LogShow();
  ui.Progress(50, "half");
  EXPECT_EQ(ui.LogStatus(), (std::pair<std::string, std::string>{"50%", "half"}));
  ui.LogClose();
  ui.Progress(60, "after");
  EXPECT_EQ(ui.LogStatus().first, "50%");
  EXPECT_FALSE(ui.CloseButtonVisible());
  EXPECT_EQ(ui.Events()[0], "ask:Подтверждение|Восстановить?");
}

TEST(Console, AnswersFromFlagsOrDefaultsWithoutATerminal) {
  std::istringstream in;
  std::ostringstream out, err;
  ConsoleInteraction yes(ConsoleInteraction::Answers::Yes, in, out, err);
  EXPECT_TRUE(yes.Confirm("Восстановить?", false));
  ConsoleInteraction no(ConsoleInteraction::Answers::No, in, out, err);
  EXPECT_FALSE(no.Confirm("Установить?", true));
  // Not a terminal: the question's own default.
  ConsoleInteraction def(ConsoleInteraction::Answers::Ask, in, out, err, false);
  EXPECT_FALSE(def.Confirm("Восстановить?", false));
  EXPECT_TRUE(def.Confirm("Установить?", true));
  EXPECT_NE(out.str().find("Подтверждение: Восстановить?\n-> Нет"), std::string::npos);
}

TEST(Console, ReadsAnswersFromTheTerminal) {
  std::istringstream in("maybe\nда\n\n");
  std::ostringstream out, err;
  ConsoleInteraction ui(ConsoleInteraction::Answers::Ask, in, out, err, true);
  EXPECT_TRUE(ui.Confirm("Установить?", false));   // "maybe" is asked again, then "да"
  EXPECT_FALSE(ui.Confirm("Удалить?", false));     // empty line: default
  EXPECT_TRUE(ui.Confirm("Ещё?", true));           // end of input: default Yes
}

TEST(Console, ALineInterruptedByProgressIsPrintedWholeWhenFinished) {
  std::istringstream in;
  std::ostringstream out, err;
  ConsoleInteraction ui(ConsoleInteraction::Answers::No, in, out, err, false);
  ui.LogAddText("Резервное копирование...", true);
  ui.Progress(1, "Сканирование каталогов.");
  ui.Progress(100, "Резервное копирование завершено");
  ui.LogAddText("Успешно завершено", false);
  ui.Progress(0, "");
  ui.LogAddText("Распаковка...", true);
  ui.LogClose();
  EXPECT_EQ(out.str(),
            "Резервное копирование...\n  1% Сканирование каталогов.\n  100% Резервное копирование завершено\n"
            "Резервное копирование...Успешно завершено\nРаспаковка...\n");
}

TEST(Console, LogLinesAndErrors) {
  std::istringstream in;
  std::ostringstream out, err;
  ConsoleInteraction ui(ConsoleInteraction::Answers::No, in, out, err, false);
  ui.LogClear();
  ui.LogShow();
  ui.LogAddText("Рабочее место...", true);
  ui.LogAddText("ОК", false);
  ui.LogAddText("СУБД...", true);
  ui.Progress(5, "a");
  ui.Progress(7, "b");   // same tenth: not repeated
  ui.Progress(15, "c");
  ui.LogClose();
  ui.ShowError("Сбой");
  EXPECT_EQ(out.str(), "Рабочее место...ОК\nСУБД...\n  5% a\n  15% c\n");
  EXPECT_EQ(err.str(), "Сбой\n");
}

}  // namespace
}  // namespace ztv

namespace ztv {
namespace {

std::vector<TChoiceRow> TwoRows() { return {{false, 7, "Бухгалтерия"}, {false, 3, "Склад"}}; }

TEST(ConsoleChoice, TicksTheNumberedRowsAndCancelsWithoutATerminal) {
  std::istringstream in("9\n2\n");
  std::ostringstream out, err;
  ConsoleInteraction terminal(ConsoleInteraction::Answers::Ask, in, out, err, true);
  auto rows = TwoRows();
  EXPECT_TRUE(terminal.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
  EXPECT_FALSE(rows[0].checked);
  EXPECT_TRUE(rows[1].checked);  // row 9 does not exist and was asked again
  EXPECT_NE(out.str().find("2. [ ] 3\tСклад"), std::string::npos) << out.str();

  std::istringstream cancel("отмена\n");
  ConsoleInteraction cancelling(ConsoleInteraction::Answers::Ask, cancel, out, err, true);
  rows = TwoRows();
  EXPECT_FALSE(cancelling.ChooseRows("Замена базы", "", rows));
  EXPECT_FALSE(rows[0].checked || rows[1].checked);

  std::istringstream unused("1\n");
  ConsoleInteraction batch(ConsoleInteraction::Answers::Ask, unused, out, err, false);
  rows = TwoRows();
  EXPECT_FALSE(batch.ChooseRows("Замена базы", "", rows));
  EXPECT_FALSE(rows[0].checked);
}

TEST(ConsolePassword, ReadsALineOnATerminalOnly) {
  std::istringstream in("secret\r\n");
  std::ostringstream out, err;
  ConsoleInteraction terminal(ConsoleInteraction::Answers::Ask, in, out, err, true);
  std::string password = "tulipwood";
  bool dontAsk = true;
  EXPECT_TRUE(terminal.AskPassword(password, dontAsk));
  EXPECT_EQ(password, "secret");
  EXPECT_TRUE(dontAsk);
  EXPECT_EQ(out.str().find("secret"), std::string::npos);  // the password is never written out

  std::istringstream empty("");
  ConsoleInteraction ended(ConsoleInteraction::Answers::Ask, empty, out, err, true);
  EXPECT_FALSE(ended.AskPassword(password, dontAsk));

  // Without a terminal, or with answers given in advance, nobody can type.
  for (auto answers : {ConsoleInteraction::Answers::Ask, ConsoleInteraction::Answers::Yes}) {
    std::istringstream typed("secret\n");
    ConsoleInteraction batch(answers, typed, out, err, answers != ConsoleInteraction::Answers::Ask);
    EXPECT_FALSE(batch.AskPassword(password, dontAsk));
  }
}

TEST(ScriptedChoiceAndPassword, AnswersAndRecordsWithoutThePassword) {
  ScriptedInteraction ui;
  ui.AnswerChoice({3});
  ui.AnswerChoiceCancel();
  ui.AnswerPassword(false, "typed", true);
  auto rows = TwoRows();
  EXPECT_TRUE(ui.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
  EXPECT_FALSE(rows[0].checked);
  EXPECT_TRUE(rows[1].checked);
  EXPECT_FALSE(ui.ChooseRows("Замена базы", " Выберите базы для замены ", rows));
  std::string password = "tulipwood";
  bool dontAsk = false;
  EXPECT_FALSE(ui.AskPassword(password, dontAsk));
  EXPECT_EQ(password, "typed");
  EXPECT_TRUE(dontAsk);
  const auto events = ui.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], "choose:Замена базы| Выберите базы для замены |[ ]7 Бухгалтерия;[ ]3 Склад");
  EXPECT_EQ(events[2], "password:dontAsk=0");
  EXPECT_THROW(ui.AskPassword(password, dontAsk), std::logic_error);
}

}  // namespace
}  // namespace ztv
