// The window program's Interaction: real message boxes, the log window and
// the main window's status bar. Safe to call from a worker thread: every call
// is carried out on the user-interface thread, and questions wait there for
// the answer.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <functional>

#include "ops/interaction.h"

namespace ztv {

class TfMain;
class TfLog;

// Plain text, the Russian button texts, the default button and Esc giving
// No or Cancel: how every box of the program is set up before it shows.
void PrepareMessageBox(QMessageBox& box, DialogButton defaultButton);

class QtInteraction : public Interaction {
 public:
  // Once both are known the log window belongs to the main window.
  void SetMainWindow(TfMain* main);
  void SetLogWindow(TfLog* log);

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
  // A new TfrmChangeBase owned by the main window, freed after it closes.
  bool ChooseRows(const std::string& caption, const std::string& frameCaption,
                  std::vector<TChoiceRow>& rows) override;
  // A new TfConnect, freed after it closes.
  bool AskPassword(std::string& password, bool& dontAsk) override;

 protected:
  // Hooks for the window tests: called with the window just before it is
  // shown modally.
  virtual void BeforeChooseRows(class TfrmChangeBase& /*window*/) {}
  virtual void BeforeAskPassword(class TfConnect& /*window*/) {}

 private:
  void OnUi(const std::function<void()>& action);
  void OwnLogWindow();
  // The window a box belongs to: the log window while it shows, else the
  // main window.
  QWidget* Owner() const;

  QPointer<TfMain> main_;
  QPointer<TfLog> log_;
};

}  // namespace ztv
