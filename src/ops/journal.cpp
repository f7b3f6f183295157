#include "ops/journal.h"

#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "core/errors.h"
#include "core/file_io.h"
#include "core/stream.h"
#include "core/text.h"
#include "platform/linux/registry_file.h"
#include "platform/processes.h"

namespace ztv {
namespace {

std::string NowText() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}

}  // namespace

std::string JournalFileName() { return DefaultRegistryFile() + ".journal"; }

TOperationJournal::TOperationJournal(std::string operation, const std::string& step) {
  entry_.operation = std::move(operation);
  entry_.step = step;
  entry_.started = NowText();
  entry_.pid = static_cast<int>(::getpid());
  if (auto self = ReadProcess(entry_.pid)) entry_.startTime = self->startTime;
  Write();
}

TOperationJournal::~TOperationJournal() { ::unlink(JournalFileName().c_str()); }

void TOperationJournal::Step(const std::string& step) {
  entry_.step = step;
  Write();
}

void TOperationJournal::Write() {
  std::ostringstream text;
  text << "operation=" << entry_.operation << "\nstep=" << entry_.step << "\nstarted=" << entry_.started
       << "\npid=" << entry_.pid << "\nstart-time=" << entry_.startTime << "\n";
  try {
    TZVMemoryStream(text.str()).SaveToFile(JournalFileName());
  } catch (const Exception&) {
    // Best effort: the operation itself does not depend on its journal.
  }
}

std::optional<TJournalEntry> ReadJournal(const std::string& fileName) {
  std::ifstream in(fileName);
  if (!in) return std::nullopt;
  TJournalEntry entry;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    try {
      if (key == "operation") entry.operation = value;
      else if (key == "step") entry.step = value;
      else if (key == "started") entry.started = value;
      else if (key == "pid") entry.pid = std::stoi(value);
      else if (key == "start-time") entry.startTime = std::stoull(value);
    } catch (const std::exception&) {
      return std::nullopt;  // not a journal this program wrote
    }
  }
  if (entry.operation.empty()) return std::nullopt;
  return entry;
}

std::optional<TJournalEntry> FindInterruptedOperation() {
  auto entry = ReadJournal(JournalFileName());
  if (!entry) return std::nullopt;
  if (entry->pid > 0 && ProcessAlive(entry->pid, entry->startTime)) return std::nullopt;
  return entry;
}

std::string InterruptedOperationMessage(const TJournalEntry& e) {
  using namespace journal;
  std::string text;
  if (e.operation == kRestore) {
    text = e.step == kRestoreStep
               ? "Восстановление было прервано: запустите его ещё раз. Установка может быть неполной, пока "
                 "восстановление не завершится."
               : "Восстановление было прервано до изменения установки. Сервер СУБД может оставаться "
                 "остановленным; запустите восстановление ещё раз.";
  } else if (e.operation == kBackup || e.step == kBackupStep) {
    text = std::string(e.operation == kUpdate ? "Обновление было прервано при резервном копировании"
                                              : "Резервное копирование было прервано") +
           ": прежняя резервная копия сохранена. Сервер СУБД может оставаться остановленным; запустите " +
           (e.operation == kUpdate ? "обновление" : "копирование") + " ещё раз.";
  } else if (e.operation == kUpdate) {
    if (e.step == kUnpack)
      text = "Обновление было прервано при распаковке: установка не изменена, запустите обновление ещё раз.";
    else if (e.step == kInstaller)
      text = "Обновление было прервано при запуске программы установки: запустите обновление ещё раз.";
    else
      text = "Обновление было прервано до распаковки: установка не изменена. Сервер СУБД может оставаться "
             "остановленным; запустите обновление ещё раз.";
  } else {
    text = Format("Операция \"%s\" была прервана на шаге \"%s\".", e.operation, e.step);
  }
  if (!e.started.empty()) text += Format(" (начата %s)", e.started);
  return text;
}

void ClearInterruptedOperation() { ::unlink(JournalFileName().c_str()); }

}  // namespace ztv
