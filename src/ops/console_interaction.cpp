#include "ops/console_interaction.h"

#include <termios.h>
#include <unistd.h>

#include <sstream>

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

bool ConsoleInteraction::ChooseRows(const std::string& caption, const std::string& frameCaption,
                                    std::vector<TChoiceRow>& rows) {
  std::lock_guard lock(mutex_);
  EndLine();
  if (midLine_) {
    out_ << "\n";
    midLine_ = false;
  }
  out_ << caption << ":" << Trim(frameCaption).insert(0, " ") << "\n";
  for (size_t i = 0; i < rows.size(); ++i)
    out_ << "  " << (i + 1) << ". [" << (rows[i].checked ? "x" : " ") << "] " << rows[i].id << "\t" << rows[i].name
         << "\n";
  if (answers_ == Answers::Yes) {
    out_ << "-> ОК\n" << std::flush;
    return true;
  }
  if (answers_ == Answers::No || !terminal_) {
    out_ << "-> Отмена\n" << std::flush;
    return false;
  }
  while (true) {
    out_ << "Номера строк для отметки через пробел (пустая строка - ничего, \"отмена\" - отказ): " << std::flush;
    std::string line;
    if (!std::getline(in_, line) || SameText(Trim(line), "отмена")) {
      out_ << "-> Отмена\n" << std::flush;
      return false;
    }
    std::istringstream numbers(ReplaceAll(line, ",", " "));
    std::vector<size_t> picked;
    std::string word;
    bool valid = true;
    while (numbers >> word) {
      size_t n = 0;
      try {
        n = std::stoul(word);
      } catch (...) {
        n = 0;
      }
      if (n < 1 || n > rows.size()) {
        valid = false;
        break;
      }
      picked.push_back(n - 1);
    }
    if (!valid) continue;
    for (size_t i : picked) rows[i].checked = true;
    out_ << "-> ОК\n" << std::flush;
    return true;
  }
}

namespace {

// Switches the terminal's echo off while it lives.
class NoEcho {
 public:
  explicit NoEcho(int fd) : fd_(fd) {
    if (::isatty(fd_) && ::tcgetattr(fd_, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~NoEcho() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool ConsoleInteraction::AskPassword(std::string& password, bool& /*dontAsk*/) {
  std::lock_guard lock(mutex_);
  EndLine();
  if (midLine_) {
    out_ << "\n";
    midLine_ = false;
  }
  out_ << "Соединение: Введите пароль";
  if (answers_ != Answers::Ask || !terminal_) {
    out_ << "\n-> Отмена\n" << std::flush;
    return false;
  }
  out_ << ": " << std::flush;
  std::string line;
  bool ok = false;
  {
    // The program's terminal input is standard input.
    NoEcho quiet(&in_ == &std::cin ? 0 : -1);
    ok = static_cast<bool>(std::getline(in_, line));
  }
  out_ << "\n" << (ok ? "-> ОК" : "-> Отмена") << "\n" << std::flush;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = line;
  return ok;
}

}  // namespace ztv
