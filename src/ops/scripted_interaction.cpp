#include "ops/scripted_interaction.h"

#include <algorithm>
#include <stdexcept>

namespace ztv {

void ScriptedInteraction::Answer(DialogButton button) {
  std::lock_guard lock(mutex_);
  answers_.push_back(button);
}

void ScriptedInteraction::Record(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

DialogButton ScriptedInteraction::Ask(const std::string& caption, const std::string& text, DialogButtons,
                                      DialogButton, MessageIcon) {
  std::lock_guard lock(mutex_);
  events_.push_back("ask:" + caption + "|" + text);
  if (answers_.empty()) throw std::logic_error("unexpected question: " + text);
  DialogButton b = answers_.front();
  answers_.pop_front();
  return b;
}

void ScriptedInteraction::ShowMessage(const std::string& caption, const std::string& text, MessageIcon) {
  Record("message:" + caption + "|" + text);
}

void ScriptedInteraction::ShowError(const std::string& text) {
  std::lock_guard lock(mutex_);
  events_.push_back("error:" + text);
  errors_.push_back(text);
}

void ScriptedInteraction::LogClear() {
  std::lock_guard lock(mutex_);
  events_.push_back("log:clear");
  log_.clear();
  logStatus_ = {};
}

void ScriptedInteraction::LogSetCloseButtonVisible(bool visible) {
  std::lock_guard lock(mutex_);
  events_.push_back(visible ? "log:closebutton" : "log:statusbar");
  closeButtonVisible_ = visible;
}

void ScriptedInteraction::LogAddText(const std::string& text, bool newLine) {
  std::lock_guard lock(mutex_);
  events_.push_back((newLine ? "log:+" : "log:=") + text);
  AppendLogText(log_, text, newLine);
}

void ScriptedInteraction::LogShow() {
  std::lock_guard lock(mutex_);
  events_.push_back("log:show");
  logVisible_ = true;
}

void ScriptedInteraction::LogShowModal() {
  std::lock_guard lock(mutex_);
  events_.push_back("log:modal");
  logVisible_ = false;  // the user closed it again
}

void ScriptedInteraction::LogClose() {
  std::lock_guard lock(mutex_);
  events_.push_back("log:close");
  logVisible_ = false;
}

bool ScriptedInteraction::LogVisible() {
  std::lock_guard lock(mutex_);
  return logVisible_;
}

void ScriptedInteraction::Progress(int32_t percent, const std::string& text) {
  std::lock_guard lock(mutex_);
  events_.push_back("progress:" + PercentText(percent) + "|" + text);
  if (logVisible_) logStatus_ = {PercentText(percent), text};
}

void ScriptedInteraction::Pump() {
  std::lock_guard lock(mutex_);
  ++pumps_;
}

std::vector<std::string> ScriptedInteraction::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::string ScriptedInteraction::LogText() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<std::string> ScriptedInteraction::Errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

int ScriptedInteraction::Pumps() const {
  std::lock_guard lock(mutex_);
  return pumps_;
}

std::pair<std::string, std::string> ScriptedInteraction::LogStatus() const {
  std::lock_guard lock(mutex_);
  return logStatus_;
}

bool ScriptedInteraction::CloseButtonVisible() const {
  std::lock_guard lock(mutex_);
  return closeButtonVisible_;
}

void ScriptedInteraction::AnswerChoice(std::vector<int32_t> tickIds) {
  std::lock_guard lock(mutex_);
  choices_.push_back({true, std::move(tickIds)});
}

void ScriptedInteraction::AnswerChoiceCancel() {
  std::lock_guard lock(mutex_);
  choices_.push_back({false, {}});
}

void ScriptedInteraction::AnswerPassword(bool ok, std::string typed, bool dontAsk) {
  std::lock_guard lock(mutex_);
  passwords_.push_back({ok, std::move(typed), dontAsk});
}

bool ScriptedInteraction::ChooseRows(const std::string& caption, const std::string& frameCaption,
                                     std::vector<TChoiceRow>& rows) {
  std::lock_guard lock(mutex_);
  std::string listed;
  for (const auto& row : rows) {
    if (!listed.empty()) listed += ";";
    listed += (row.checked ? "[x]" : "[ ]") + std::to_string(row.id) + " " + row.name;
  }
  events_.push_back("choose:" + caption + "|" + frameCaption + "|" + listed);
  if (choices_.empty()) throw std::logic_error("unexpected selection window: " + caption);
  ChoiceAnswer answer = choices_.front();
  choices_.pop_front();
  if (!answer.ok) return false;
  for (auto& row : rows)
    if (std::find(answer.ticks.begin(), answer.ticks.end(), row.id) != answer.ticks.end()) row.checked = true;
  return true;
}

bool ScriptedInteraction::AskPassword(std::string& password, bool& dontAsk) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::string("password:dontAsk=") + (dontAsk ? "1" : "0"));
  if (passwords_.empty()) throw std::logic_error("unexpected password dialog");
  PasswordAnswer answer = passwords_.front();
  passwords_.pop_front();
  password = answer.typed;
  dontAsk = answer.dontAsk;
  return answer.ok;
}

}  // namespace ztv
