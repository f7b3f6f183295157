// What an operation may ask of its user: questions, messages, the log
// window, progress and a pump point. Operations never show a window
// themselves; the window program, the console batch mode and the tests each
// give them their own Interaction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ztv {

enum class DialogButton { None, Ok, Cancel, Yes, No };
enum class DialogButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageIcon { None, Information, Warning, Error, Question };

// One row of a selection window: a tick, the identifier and the name.
struct TChoiceRow {
  bool checked = false;
  int32_t id = 0;
  std::string name;
};

// Caption of every confirmation question.
inline constexpr const char* kConfirmCaption = "Подтверждение";

class Interaction {
 public:
  virtual ~Interaction() = default;

  // A modal question; returns the button chosen.
  virtual DialogButton Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                           DialogButton defaultButton, MessageIcon icon) = 0;
  // A modal message with an OK button.
  virtual void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) = 0;
  // The application's error box for an error no operation handled.
  virtual void ShowError(const std::string& text) = 0;

  // The operation log window.
  virtual void LogClear() = 0;
  virtual void LogSetCloseButtonVisible(bool visible) = 0;
  // NewLine true: text becomes a new last line; false: text is appended to
  // the last line without a separator.
  virtual void LogAddText(const std::string& text, bool newLine) = 0;
  virtual void LogShow() = 0;        // non-modal
  virtual void LogShowModal() = 0;   // until the user closes it
  virtual void LogClose() = 0;       // closes or hides it
  virtual bool LogVisible() = 0;

  // The main window's progress display; mirrored into the log window's
  // status bar while that is visible. A percent below 1 shows nothing.
  virtual void Progress(int32_t percent, const std::string& text) = 0;

  // The selection window: the user ticks and unticks rows (rows are never
  // added or removed). Returns true when it was closed with OK, `rows`
  // then holding the ticks; on Cancel `rows` stay as they were.
  virtual bool ChooseRows(const std::string& caption, const std::string& frameCaption,
                          std::vector<TChoiceRow>& rows) = 0;

  // The password dialog: shows `dontAsk` in its check box, then always
  // stores the typed text into `password` and the box into `dontAsk`.
  // Returns true when it was closed with OK. The text is never echoed or
  // recorded.
  virtual bool AskPassword(std::string& password, bool& dontAsk) = 0;

  // Lets pending window events through so that the windows repaint.
  virtual void Pump() = 0;

  // Yes/No question with the confirmation caption and question icon.
  bool Confirm(const std::string& text, bool defaultYes) {
    return Ask(kConfirmCaption, text, DialogButtons::YesNo, defaultYes ? DialogButton::Yes : DialogButton::No,
               MessageIcon::Question) == DialogButton::Yes;
  }
};

// The text a progress panel shows for a percentage: "37%", or "" below 1.
std::string PercentText(int32_t percent);

// Applies AddText to a text held as lines, as the log window does.
void AppendLogText(std::string& log, const std::string& text, bool newLine);

}  // namespace ztv
