// An Interaction for runs without a display: questions on the terminal (or
// answered in advance), log lines and progress on stdout (on a terminal the
// progress is one line that updates in place), messages and errors on stderr.
// A log line interrupted by progress is printed whole again when it is
// finished, so the output reads line by line.
#pragma once

#include <iostream>
#include <mutex>
#include <string>

#include "ops/interaction.h"

namespace ztv {

class ConsoleInteraction : public Interaction {
 public:
  enum class Answers {
    Ask,  // ask on the terminal; without one, take the question's default
    Yes,  // answer every question with Yes (or OK)
    No,   // answer every question with No (or Cancel)
  };

  ConsoleInteraction(Answers answers, std::istream& in = std::cin, std::ostream& out = std::cout,
                     std::ostream& err = std::cerr, bool terminal = false);

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
  // On a terminal: the rows numbered, and the numbers to tick read from a
  // line ("отмена" or the end of input cancels). Answers::Yes takes the
  // rows as they are; Answers::No and a run without a terminal cancel.
  bool ChooseRows(const std::string& caption, const std::string& frameCaption,
                  std::vector<TChoiceRow>& rows) override;
  // On a terminal: the password read without echo (the end of input
  // cancels). Without a terminal, or with answers given in advance, the
  // dialog is cancelled: nobody could type a password.
  bool AskPassword(std::string& password, bool& dontAsk) override;

 private:
  // Clears a progress line shown in place.
  void EndLine();
  // Ends the log's unfinished line.
  void FinishLine();

  std::mutex mutex_;
  Answers answers_;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool midLine_ = false;      // the last log line has no line end yet
  bool lineBroken_ = false;   // progress was printed after the unfinished line
  std::string lastLine_;      // the log's last line as far as it goes
  bool progressShown_ = false;
  int lastDecile_ = -1;
  bool logVisible_ = false;
};

}  // namespace ztv
