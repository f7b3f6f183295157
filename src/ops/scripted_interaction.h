// An Interaction for tests: answers questions from a prepared list and
// records everything shown, in order.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ops/interaction.h"

namespace ztv {

class ScriptedInteraction : public Interaction {
 public:
  // Answers for the next questions, in order. A question without a prepared
  // answer is a test failure: it raises std::logic_error.
  void Answer(DialogButton button);

  // The next selection window: OK with the given ticks by identifier
  // (rows not named keep theirs), or Cancel.
  void AnswerChoice(std::vector<int32_t> tickIds);
  void AnswerChoiceCancel();
  // The next password dialog: OK (or Cancel) with `typed` as the text and
  // `dontAsk` as the box.
  void AnswerPassword(bool ok, std::string typed, bool dontAsk = false);

  DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                   DialogButton defaultButton, MessageIcon icon) override;
  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
  void ShowError(const std::string& text) override;
  void LogClear() override;
  void LogSetCloseButtonVisible(bool visible) override;
  void LogAddText(const std::string& text, bool newLine) override;
  void LogShow() override;
  void LogShowModal() override;
  void LogClose() override;
  bool LogVisible() override;
  void Progress(int32_t percent, const std::string& text) override;
  void Pump() override;
  bool ChooseRows(const std::string& caption, const std::string& frameCaption,
                  std::vector<TChoiceRow>& rows) override;
  bool AskPassword(std::string& password, bool& dontAsk) override;

  // Everything that happened, one entry each, e.g. "ask:Подтверждение|text",
  // "message:caption|text", "error:text", "log:clear", "log:show",
  // "log:close", "log:+line" (new line), "log:=text" (append),
  // "progress:37%|text", "choose:caption|frame|[x]1 Name;[ ]2 Other",
  // "password:dontAsk=0" (the password itself is never recorded). Pumps
  // are counted, not recorded.
  std::vector<std::string> Events() const;
  // The log window's text, lines separated by "\n".
  std::string LogText() const;
  std::vector<std::string> Errors() const;
  int Pumps() const;
  // The last progress seen by the log window's status bar ("37%", text).
  std::pair<std::string, std::string> LogStatus() const;
  bool CloseButtonVisible() const;

 private:
  void Record(std::string event);

  mutable std::mutex mutex_;
  std::deque<DialogButton> answers_;
  struct ChoiceAnswer {
    bool ok;
    std::vector<int32_t> ticks;
  };
  std::deque<ChoiceAnswer> choices_;
  struct PasswordAnswer {
    bool ok;
    std::string typed;
    bool dontAsk;
  };
  std::deque<PasswordAnswer> passwords_;
  std::vector<std::string> events_;
  std::vector<std::string> errors_;
  std::string log_;
  bool logVisible_ = false;
  bool closeButtonVisible_ = true;
  std::pair<std::string, std::string> logStatus_;
  int pumps_ = 0;
};

}  // namespace ztv
