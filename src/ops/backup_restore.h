// Database optimisation: the state and the logic of the window
// "Параметры оптимизации базы данных" without the window itself. The user
// picks one of the workplace's databases (the list shows its other
// attachments and whether its request counter G_NUMBEROFREQUESTS has passed
// the limit), and DoBackupRestore rebuilds it by a gbak backup and restore
// through the database server: the restored copy takes the database's
// place only after every gbak run succeeded and the copy opened and
// answered, and the old file goes only after the rebuilt one has been
// opened at its place.
//
// Calling order, as the main window uses it:
//   OptimisationAllowed(status) -> LoadDbList(imd) -> RefreshDbList()
//   -> the user ticks (SetBackupFlag) and confirms (btnOKClick)
//   -> DoBackupRestore() on the worker thread.
// The Qt window and ztvtool's "bases" commands are thin layers over it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/control_env.h"
#include "control/run_close_program.h"
#include "db/database.h"
#include "ops/base_list.h"
#include "ops/interaction.h"
#include "platform/clock.h"

namespace ztv {

// Caption of every message box of the optimisation.
inline constexpr const char* kOptimiseCaption = "Оптимизация базы данных";
// The generator that counts the requests of a workplace database.
inline constexpr const char* kRequestGenerator = "G_NUMBEROFREQUESTS";
// The limit when the database does not set one.
inline constexpr int32_t kDefaultRequestLimit = 5000;
// How long one gbak run may take.
inline constexpr uint32_t kGbakTimeoutSec = 14400;
// The rotating log of the cycle: lines cut per rotation and the limit.
inline constexpr int kOptimiseLogCutLines = 500;
inline constexpr int kOptimiseLogMaxLines = 1000;

// One database of the list ("ssDbList").
struct TDbListRecord {
  bool BackupFlag = false;       // chosen for optimisation (at most one)
  std::string DbPath;            // "Путь к БД", as the workplace's list gives it
  std::string Name;              // "Имя БД"
  int32_t ID = 0;                // identifier in the workplace's list
  int32_t UsersCount = 0;        // "Подключения": other attachments
  int32_t RequestCount = 0;      // G_NUMBEROFREQUESTS
  bool IsExceedRequest = false;  // "Необходимость оптимизации": count above the limit
  int32_t RequestLimit = 0;      // the limit the count was compared with (0 before a refresh)
};

// The work files of one cycle for the database path P: B is P without its
// last four characters (the extension with its dot).
struct TOptimiseFiles {
  std::string Database;  // P
  std::string NewDb;     // B + "_newDb.gdb": the database as it was, while the cycle runs
  std::string BackDb;    // B + "_backDb.gbk": the backup
  std::string RestDb;    // B + "_restDb.gdb": the restored copy
  std::string Log;       // B + "_B-R.log": the cycle's log, kept
};
TOptimiseFiles OptimiseWorkFiles(const std::string& dbPath);

// The gbak beside the server whose directory ServerDir gave (with or
// without its trailing separator): the directory joined with "gbak" by the
// native separator, or the distribution's tools folder beside it.
std::string GbakPath(const std::string& serverDir);

// One argument of a command line as the process runner splits it: in
// double quotes, with quotes and the backslashes before them escaped.
std::string QuoteArgument(const std::string& argument);

// Renames `from` to `to` unless `to` exists (never replacing a file).
// False when the rename did not happen.
bool RenameNoReplace(const std::string& from, const std::string& to);

// The optimisation refuses unless the installation works (status 1):
// shows "Текущая версия ЗТВ неработоспособна. ..." and returns false.
bool OptimisationAllowed(int32_t status, Interaction& ui);

// What btnOKClick decided.
enum class TOkAnswer {
  KeepOpen,  // a message was shown or the question answered No
  Start,     // the window closes with OK: run DoBackupRestore
};

class TBackupRestore {
 public:
  // `server` is the main window's record of the database server, used when
  // a server has to be started. Waits go through `clock`, also the gbak
  // time-out.
  TBackupRestore(Interaction& ui, Clock& clock, TServerRecord& server, ControlEnv control = DefaultControlEnv());
  ~TBackupRestore();
  TBackupRestore(const TBackupRestore&) = delete;
  TBackupRestore& operator=(const TBackupRestore&) = delete;

  // Password of SYSDBA for every connection and every gbak run.
  std::string Password = kDefaultDbPassword;
  // How many records are ticked (0 or 1).
  int CheckedCount = 0;
  // The non-empty error-output lines of the gbak runs of the current cycle:
  // their number and their concatenation.
  int ErrorLineCount = 0;
  std::string ErrorText;
  // The password dialog's "Больше не запрашивать", shared by every window
  // of this kind during the run.
  static bool& DontAskPassword();

  // The list of databases.
  std::vector<TDbListRecord> ssDbList;

  // Empties the list and fills it with the workplace's available databases
  // from the installation's import file.
  void LoadDbList(const std::string& ImdFileName);
  // Makes sure a server runs, then refreshes the counters of every record.
  bool RefreshDbList();
  // Refreshes the counters of the current record from the database at Path.
  void RefreshDbInfo(const std::string& Path);
  // The record RefreshDbInfo edits.
  void SetCurrent(size_t index) { current_ = index; }
  size_t Current() const { return current_; }

  // Opens the connection on Path with SYSDBA and Password; asks for the
  // password once when the default one is refused.
  void ConnectDb(const std::string& Path);
  void DisconnectDb();
  bool Connected() const { return DbConnectZtv.Connected(); }
  // Mode 0: runs Sql and reads the field ConstValue of its first row into
  // Value (unchanged without a row); mode 1: executes it. Raises "Не
  // удается выполнить запрос: %s. Ошибка: %s".
  void RunQuery(const std::string& Sql, uint8_t Mode, int32_t& Value);
  // Starts the database server when none runs.
  void CheckServerRunning();

  // The user ticks (checked) or clears the tick of a record; returns
  // whether the record is ticked afterwards. A second tick is refused with
  // "Выбрать можно только одну базу данных".
  bool SetBackupFlag(size_t index, bool checked);
  // The window's OK button.
  TOkAnswer btnOKClick();

  // The optimisation cycle for the ticked record. Returns true when the
  // database was rebuilt; false when a gbak run failed (its message has
  // been shown). Errors of the preparation pass on without a message;
  // errors of the work are logged, shown and passed on.
  bool DoBackupRestore();

  // Where the MultiRegistry module is loaded from; "" for the program's
  // run-time module folders.
  std::string ModulePath;
  // The gbak program to run; "" (the default) takes the one beside the
  // installed server (ServerDir).
  std::string GbakProgram;
  // Seconds one gbak run may take.
  uint32_t TimeoutSec = kGbakTimeoutSec;
  // The message the last cycle ended with (success or failure).
  std::string ResultMessage;
  // The command lines of the last cycle's gbak runs, in order.
  const std::vector<std::string>& CommandLines() const { return commandLines_; }

 private:
  class Cycle;

  // The number of attachments of the connected database.
  int AttachmentCount();
  // Opens the connection with the current password, never asking.
  void ConnectChecked(const std::string& Path);
  bool AskPassword();

  Interaction& ui_;
  Clock& clock_;
  TServerRecord& server_;
  ControlEnv control_;
  size_t current_ = 0;
  std::vector<std::string> commandLines_;

  TDbConnection DbConnectZtv;
  TDbTransaction Transaction;
  TDbQuery qZtv;
  TDbInfo IbDbInfo;
};

}  // namespace ztv
