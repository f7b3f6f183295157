// The window program's Interaction: real message boxes, the log window and
// the main window's status bar. Safe to call from a worker thread: every call
// is carried out on the user-interface thread, and questions wait there for
// the answer.
#pragma once

#include <QPointer>
#include <functional>

#include "ops/interaction.h"

namespace ztv {

class TfMain;
class TfLog;

class QtInteraction : public Interaction {
 public:
  void SetMainWindow(TfMain* main) { main_ = main; }
  void SetLogWindow(TfLog* log) { log_ = log; }

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

 private:
  void OnUi(const std::function<void()>& action);

  QPointer<TfMain> main_;
  QPointer<TfLog> log_;
};

}  // namespace ztv
