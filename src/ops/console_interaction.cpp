#include "ops/console_interaction.h"

#include "core/text.h"

namespace ztv {
namespace {

const char* ButtonText(DialogButton b) {
  switch (b) {
    case DialogButton::Yes: return "Да";
    case DialogButton::No: return "Нет";
    case DialogButton::Ok: return "ОК";
    case DialogButton::Cancel: return "Отмена";
    case DialogButton::None: break;
  }
  return "";
}

bool Offers(DialogButtons set, DialogButton b) {
  switch (set) {
    case DialogButtons::Ok: return b == DialogButton::Ok;
    case DialogButtons::OkCancel: return b == DialogButton::Ok || b == DialogButton::Cancel;
    case DialogButtons::YesNo: return b == DialogButton::Yes || b == DialogButton::No;
    case DialogButtons::YesNoCancel:
      return b == DialogButton::Yes || b == DialogButton::No || b == DialogButton::Cancel;
  }
  return false;
}

}  // namespace

ConsoleInteraction::ConsoleInteraction(Answers answers, std::istream& in, std::ostream& out, std::ostream& err,
                                       bool terminal)
    : answers_(answers), in_(in), out_(out), err_(err), terminal_(terminal) {}

void ConsoleInteraction::EndLine() {
  if (progressShown_ && terminal_) {
    out_ << "\r\033[K" << std::flush;
    progressShown_ = false;
  }
}

DialogButton ConsoleInteraction::Ask(const std::string& caption, const std::string& text, DialogButtons buttons,
                                     DialogButton defaultButton, MessageIcon) {
  std::lock_guard lock(mutex_);
  EndLine();
  if (midLine_) {
    out_ << "\n";
    midLine_ = false;
  }
  const bool yesNo = buttons == DialogButtons::YesNo || buttons == DialogButtons::YesNoCancel;
  DialogButton positive = yesNo ? DialogButton::Yes : DialogButton::Ok;
  DialogButton negative = yesNo ? DialogButton::No : DialogButton::Cancel;
  if (!Offers(buttons, defaultButton)) defaultButton = Offers(buttons, negative) ? negative : positive;
  out_ << caption << ": " << text << "\n";

  DialogButton answer = defaultButton;
  if (answers_ == Answers::Yes) {
    answer = positive;
  } else if (answers_ == Answers::No) {
    answer = Offers(buttons, negative) ? negative : positive;
  } else if (terminal_) {
    while (true) {
      out_ << "[" << ButtonText(positive) << "/" << ButtonText(negative) << ", по умолчанию "
           << ButtonText(defaultButton) << "]: " << std::flush;
      std::string line;
      if (!std::getline(in_, line)) break;
      line = LowerCase(Trim(line));
      if (line.empty()) break;
      if (line == "д" || line == "да" || line == "y" || line == "yes" || line == "ок" || line == "ok") {
        answer = positive;
        break;
      }
      if (line == "н" || line == "нет" || line == "n" || line == "no" || line == "отмена") {
        answer = Offers(buttons, negative) ? negative : positive;
        break;
      }
    }
  }
  out_ << "-> " << ButtonText(answer) << "\n" << std::flush;
  return answer;
}

void ConsoleInteraction::ShowMessage(const std::string& caption, const std::string& text, MessageIcon) {
  std::lock_guard lock(mutex_);
  EndLine();
  err_ << caption << ": " << text << std::endl;
}

void ConsoleInteraction::ShowError(const std::string& text) {
  std::lock_guard lock(mutex_);
  EndLine();
  if (midLine_) {
    out_ << "\n" << std::flush;
    midLine_ = false;
  }
  err_ << text << std::endl;
}

void ConsoleInteraction::FinishLine() {
  EndLine();
  if (midLine_ && !lineBroken_) out_ << "\n" << std::flush;
  midLine_ = false;
  lineBroken_ = false;
}

void ConsoleInteraction::LogClear() {
  std::lock_guard lock(mutex_);
  FinishLine();
  lastLine_.clear();
}

void ConsoleInteraction::LogSetCloseButtonVisible(bool) {}

void ConsoleInteraction::LogAddText(const std::string& text, bool newLine) {
  std::lock_guard lock(mutex_);
  EndLine();
  if (newLine) {
    if (midLine_ && !lineBroken_) out_ << "\n";
    lastLine_ = text;
    out_ << text << std::flush;
  } else {
    lastLine_ += text;
    if (lineBroken_)
      out_ << lastLine_ << std::flush;  // the line again, now finished
    else
      out_ << text << std::flush;
  }
  midLine_ = true;
  lineBroken_ = false;
}

void ConsoleInteraction::LogShow() {
  std::lock_guard lock(mutex_);
  logVisible_ = true;
}

void ConsoleInteraction::LogShowModal() {
  std::lock_guard lock(mutex_);
  FinishLine();  // the user has read and closed it
  logVisible_ = false;
}

void ConsoleInteraction::LogClose() {
  std::lock_guard lock(mutex_);
  FinishLine();
  logVisible_ = false;
}

bool ConsoleInteraction::LogVisible() {
  std::lock_guard lock(mutex_);
  return logVisible_;
}

void ConsoleInteraction::Progress(int32_t percent, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (percent < 1 && text.empty()) {
    EndLine();  // an emptied status bar
    return;
  }
  if (!terminal_) {
    // Without a terminal a line per tenth keeps logs readable.
    int decile = percent >= 1 ? percent / 10 : -1;
    if (decile == lastDecile_) return;
    lastDecile_ = decile;
  }
  if (midLine_ && !lineBroken_) {
    out_ << "\n";
    lineBroken_ = true;
  }
  if (terminal_) {
    out_ << "\r\033[K  " << PercentText(percent) << (percent >= 1 ? " " : "") << text << std::flush;
    progressShown_ = true;
  } else {
    out_ << "  " << PercentText(percent) << (percent >= 1 ? " " : "") << text << "\n" << std::flush;
  }
}

void ConsoleInteraction::Pump() {}

}  // namespace ztv
