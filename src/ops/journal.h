// The journal of an operation in progress: a small file beside the settings
// file (its name with ".journal" added) that says which operation runs, at
// which step, since when and in which process. An operation that ends, well
// or with a reported failure, removes it; only a run that was killed (or
// lost its machine) leaves it, and the next start tells the user what was
// interrupted and what to do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ztv {

// Operations and steps as the journal names them.
namespace journal {
inline constexpr const char* kUpdate = "update";
inline constexpr const char* kRestore = "restore";
inline constexpr const char* kBackup = "backup";

inline constexpr const char* kClose = "close";        // closing the workplace, stopping the server
inline constexpr const char* kBackupStep = "backup";  // writing Backup.DAT
inline constexpr const char* kStartServer = "start-server";
inline constexpr const char* kUnpack = "unpack";
inline constexpr const char* kInstaller = "installer";
inline constexpr const char* kRestoreStep = "restore";  // changing the installation
}  // namespace journal

struct TJournalEntry {
  std::string operation;
  std::string step;
  std::string started;  // local date and time, as text
  int pid = 0;
  uint64_t startTime = 0;  // of the process, with the pid identifying it
};

// DefaultRegistryFile() + ".journal".
std::string JournalFileName();

// Records one operation for as long as the object lives. Writing the
// journal is best effort: settings in a folder the user may not write leave
// the operation unrecorded rather than stopped.
class TOperationJournal {
 public:
  TOperationJournal(std::string operation, const std::string& step);
  ~TOperationJournal();
  TOperationJournal(const TOperationJournal&) = delete;
  TOperationJournal& operator=(const TOperationJournal&) = delete;

  void Step(const std::string& step);

 private:
  void Write();
  TJournalEntry entry_;
};

// Reads a journal file; nothing when there is none or it is not one.
std::optional<TJournalEntry> ReadJournal(const std::string& fileName);

// The journal of a run that no longer runs; nothing when there is none or
// its process still runs (another instance at work).
std::optional<TJournalEntry> FindInterruptedOperation();

// What the user is told of an interrupted operation: what was cut short
// and what to do.
std::string InterruptedOperationMessage(const TJournalEntry& entry);

// Removes the journal of an interrupted operation once it has been told.
void ClearInterruptedOperation();

}  // namespace ztv
