#include "ops/backup_restore.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>

#include "core/errors.h"
#include "core/text.h"
#include "db/file_lock.h"
#include "db/firebird_instance.h"
#include "db/process_runner.h"
#include "db/rotation_log.h"
#include "ops/base_list.h"
#include "platform/paths.h"

namespace ztv {
namespace {

constexpr const char* kConnectError = "Ошибка соединения с базой данных: путь: %s, ошибка: %s";
constexpr const char* kNoPassword = "Пароль не указан. Работа не возможна";
constexpr const char* kRenameError = "Ошибка при переименовании файла БД: ";
constexpr const char* kFailedMessage = "Операция оптимизации базы данных прошла с ошибками. Подробности см. в файле: %s";
constexpr const char* kSucceededMessage = "Операция оптимизации базы данных прошла успешно.";
constexpr const char* kFixFss = "FIX_FSS_METADATA";

// The date and time as the log lines carry them: short date, long time.
std::string NowText() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%d.%m.%Y %H:%M:%S", &local);
  return buffer;
}

std::string ElapsedText(int64_t ms) {
  const int64_t s = ms / 1000;
  return Format("%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Megabytes(uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20); }

// The folder of the database needs room for the backup and the restored
// copy: at least twice the database's size. A path that is no file here (a
// server prefix, a missing file) is left to the rename, which then fails.
void CheckFreeSpace(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::string dir = ExtractFileDir(path);
  if (dir.empty()) dir = ".";
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) {
    throw Exception(Format("Не удается определить свободное место в папке %s: %s", dir, SystemErrorText(errno)));
  }
  const uint64_t needed = 2 * static_cast<uint64_t>(st.st_size);
  const uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (available < needed) {
    throw Exception(Format(
        "Недостаточно места для оптимизации базы данных %s: в папке %s свободно %s МБ, нужно не менее %s МБ "
        "(вдвое больше размера базы данных)",
        path, dir, Megabytes(available), Megabytes(needed)));
  }
}

// The restored copy takes the place of the database: it gets the old
// file's owner and permissions as far as this process may give them.
void CopyOwnerAndMode(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return;
  if (::chown(to.c_str(), st.st_uid, st.st_gid) != 0) {
    // Not allowed (not root): the copy stays the server's, which is what
    // the server needs.
  }
  ::chmod(to.c_str(), st.st_mode & 07777);
}

}  // namespace

TOptimiseFiles OptimiseWorkFiles(const std::string& dbPath) {
  // The extension is dropped by its length, whatever it holds, counted in
  // characters of the path.
  std::u32string chars = DecodeUtf8(dbPath);
  chars.resize(chars.size() > 4 ? chars.size() - 4 : 0);
  const std::string b = EncodeUtf8(chars);
  return {dbPath, b + "_newDb.gdb", b + "_backDb.gbk", b + "_restDb.gdb", b + "_B-R.log"};
}

std::string GbakPath(const std::string& serverDir) { return ServerToolPath(serverDir, "gbak"); }

std::string QuoteArgument(const std::string& argument) {
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++slashes;
      out += c;
      continue;
    }
    if (c == '"') {
      out.append(slashes + 1, '\\');
    }
    slashes = 0;
    out += c;
  }
  // Backslashes before the closing quote are doubled so that it closes.
  out.append(slashes, '\\');
  out += '"';
  return out;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a link never replaces.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool OptimisationAllowed(int32_t status, Interaction& ui) {
  if (status == 1) return true;
  ui.ShowMessage(kOptimiseCaption,
                 "Текущая версия ЗТВ неработоспособна. Необходимо восстановление из резервной копии.",
                 MessageIcon::Warning);
  return false;
}

bool& TBackupRestore::DontAskPassword() {
  static bool dontAsk = false;
  return dontAsk;
}

TBackupRestore::TBackupRestore(Interaction& ui, Clock& clock, TServerRecord& server, ControlEnv control)
    : ui_(ui),
      clock_(clock),
      server_(server),
      control_(std::move(control)),
      Transaction(DbConnectZtv),
      qZtv(DbConnectZtv, Transaction),
      IbDbInfo(DbConnectZtv) {
  control_.clock = &clock_;
}

TBackupRestore::~TBackupRestore() = default;

void TBackupRestore::LoadDbList(const std::string& ImdFileName) {
  ssDbList.clear();
  CheckedCount = 0;
  current_ = 0;
  // Each database is appended once it is read whole; those read before a
  // failure stay in the list.
  VisitBaseList(
      ImdFileName,
      [this](const TBaseEntry& entry) {
        TDbListRecord record;
        record.ID = entry.ID;
        record.Name = entry.Name;
        record.DbPath = entry.DBPath;
        ssDbList.push_back(std::move(record));
      },
      ModulePath);
}

bool TBackupRestore::RefreshDbList() {
  CheckServerRunning();
  for (size_t i = 0; i < ssDbList.size(); ++i) {
    current_ = i;
    RefreshDbInfo(ssDbList[i].DbPath);
  }
  return true;
}

int TBackupRestore::AttachmentCount() { return static_cast<int>(IbDbInfo.UserNames().size()); }

void TBackupRestore::RefreshDbInfo(const std::string& Path) {
  if (current_ >= ssDbList.size()) throw Exception("RefreshDbInfo: нет текущей записи списка баз данных");
  ConnectDb(Path);
  int32_t limit = 0;
  int32_t count = 0;
  int attachments = 0;
  try {
    attachments = AttachmentCount();
    RunQuery(Format("select ConstValue from IntConst where (ProgIndex=%d)and(ConstIndex=%d)", 1000, 46), 0, limit);
    if (limit == 0) limit = kDefaultRequestLimit;
    RunQuery(Format("select Gen_Id(%s, 0) ConstValue from single", kRequestGenerator), 0, count);
  } catch (...) {
    try {
      DbConnectZtv.Disconnect();
    } catch (const Exception&) {
      // The first error is the one to report.
    }
    throw;
  }
  DbConnectZtv.Disconnect();
  // The list counts the others: this window's own attachment is not one.
  int users = attachments > 0 ? attachments - 1 : 0;
  if (users == 0 && IsFileLocked(Path)) users = 1;
  TDbListRecord& record = ssDbList[current_];
  record.UsersCount = users;
  record.RequestCount = count;
  record.RequestLimit = limit;
  if (count > limit) record.IsExceedRequest = true;
}

bool TBackupRestore::AskPassword() {
  return ui_.AskPassword(Password, DontAskPassword());
}

void TBackupRestore::ConnectDb(const std::string& Path) {
  DbConnectZtv.SetDatabaseName(Path);
  DbConnectZtv.SetParam("isc_dpb_user_name", "SYSDBA");
  DbConnectZtv.SetParam("isc_dpb_password", Password);
  try {
    DbConnectZtv.Connect();
    return;
  } catch (const Exception& e) {
    if (!SameText(Password, kDefaultDbPassword)) throw Exception(Format(kConnectError, Path, e.what()));
  }
  if (!AskPassword()) throw Exception(kNoPassword);
  DbConnectZtv.SetParam("isc_dpb_password", Password);
  try {
    DbConnectZtv.Connect();
  } catch (const Exception& e) {
    throw Exception(Format(kConnectError, Path, e.what()));
  }
}

void TBackupRestore::ConnectChecked(const std::string& Path) {
  // The password has just served gbak: a refusal here is the database's
  // fault, not a question for the user.
  DbConnectZtv.SetDatabaseName(Path);
  DbConnectZtv.SetParam("isc_dpb_user_name", "SYSDBA");
  DbConnectZtv.SetParam("isc_dpb_password", Password);
  try {
    DbConnectZtv.Connect();
  } catch (const Exception& e) {
    throw Exception(Format(kConnectError, Path, e.what()));
  }
}

void TBackupRestore::DisconnectDb() { DbConnectZtv.Disconnect(); }

void TBackupRestore::RunQuery(const std::string& Sql, uint8_t Mode, int32_t& Value) {
  try {
    Transaction.StartTransaction();
    qZtv.Close();
    qZtv.SetSQL(Sql);
    if (Mode == 0) {
      qZtv.Open();
      if (!qZtv.IsEmpty()) Value = qZtv.FieldAsInteger("ConstValue");
      qZtv.Close();
    } else {
      qZtv.ExecSQL();
    }
    Transaction.Commit();
  } catch (const Exception& e) {
    qZtv.Close();
    Transaction.Rollback();
    throw Exception(Format("Не удается выполнить запрос: %s. Ошибка: %s", Sql, e.what()));
  }
}

void TBackupRestore::CheckServerRunning() {
  if (IsGuardianRunning(kServerInterBase, control_) || IsGuardianRunning(kServerFirebird, control_)) return;
  if (RunningServers(false, control_) != 0) return;
  // No server runs: the stop only decides which one to start.
  server_.FServerPath.clear();
  IBServerStop(server_.FServerKind, server_.FServerPath, server_.FServerIsService, control_);
  clock_.Sleep(1000);
  IBServerStart(server_.FServerKind, server_.FServerPath, server_.FServerIsService, control_);
  clock_.Sleep(5000);
}

bool TBackupRestore::SetBackupFlag(size_t index, bool checked) {
  if (index >= ssDbList.size()) return false;
  TDbListRecord& record = ssDbList[index];
  if (checked) {
    if (record.BackupFlag) return true;
    if (CheckedCount != 0) {
      ui_.ShowMessage(kOptimiseCaption, "Выбрать можно только одну базу данных", MessageIcon::Warning);
      return false;
    }
    record.BackupFlag = true;
    ++CheckedCount;
    return true;
  }
  if (record.BackupFlag) {
    record.BackupFlag = false;
    --CheckedCount;
  }
  return false;
}

TOkAnswer TBackupRestore::btnOKClick() {
  if (CheckedCount == 0) {
    ui_.ShowMessage(kOptimiseCaption, "Не выбрано ни одной базы данных для проведения оптимизации",
                    MessageIcon::Warning);
    return TOkAnswer::KeepOpen;
  }
  size_t index = 0;
  while (index < ssDbList.size() && !ssDbList[index].BackupFlag) ++index;
  if (index == ssDbList.size()) throw Exception("Locate: не удается найти установленное в 1 значение поля BackupFlag.");
  current_ = index;
  RefreshDbInfo(ssDbList[index].DbPath);
  const TDbListRecord& record = ssDbList[index];
  if (record.UsersCount != 0) {
    ui_.ShowMessage(kOptimiseCaption,
                    "Для проведения оптимизации базы данных нужно чтобы кол-во подключений к базе данных было равно 0",
                    MessageIcon::Warning);
    return TOkAnswer::KeepOpen;
  }
  DialogButton answer;
  if (record.RequestCount == 0) {
    answer = ui_.Ask(kOptimiseCaption,
                     "Отмеченная база не нуждается в операции оптимизации. Хотите провести ее оптимизацию? "
                     "Операция оптимизации может занять длительное время.",
                     DialogButtons::YesNo, DialogButton::No, MessageIcon::Question);
  } else {
    answer = ui_.Ask(kOptimiseCaption,
                     "Начать операцию оптимизации над отмеченной базой? Операция оптимизации может занять "
                     "длительное время.",
                     DialogButtons::YesNo, DialogButton::Yes, MessageIcon::Question);
  }
  return answer == DialogButton::Yes ? TOkAnswer::Start : TOkAnswer::KeepOpen;
}

// ---------------------------------------------------------------------------
// The cycle.

bool TBackupRestore::DoBackupRestore() {
  // Preparation: errors pass on without the final message.
  CheckServerRunning();
  bool failed = true;
  ErrorLineCount = 0;
  ErrorText.clear();
  commandLines_.clear();
  ResultMessage.clear();

  size_t index = 0;
  while (index < ssDbList.size() && !ssDbList[index].BackupFlag) ++index;
  if (index == ssDbList.size()) throw Exception("DoBackupRestore.Locate: не удается найти запись с BackupFlag=1");
  const TDbListRecord record = ssDbList[index];
  const TOptimiseFiles files = OptimiseWorkFiles(record.DbPath);
  const std::string& P = files.Database;

  CheckFreeSpace(P);
  if (!RenameNoReplace(P, files.NewDb)) throw Exception(kRenameError + P);
  // From here on a failure before the work puts the database back.
  std::string backupCommand, restoreCommand, restore2Command;
  try {
    std::string gbak = GbakProgram;
    if (gbak.empty()) {
      int kind = 0;
      std::string dir;
      ServerDir(kind, false, dir, control_);
      if (dir.empty()) throw Exception("Не удается определить каталог установленного сервера БД: программа gbak не найдена");
      gbak = GbakPath(dir);
    }
    // A partial restore of an earlier cycle that was broken off is no
    // database anybody relies on (it never took the database's place).
    if (IsRegularFile(files.RestDb) && !RemoveFile(files.RestDb)) {
      throw Exception("Ошибка при удалении файла проверочного restore: " + files.RestDb);
    }
    // gbak reaches the files through the server, so that the server reads
    // the database and creates the restored copy as its own file.
    const std::string server = LoopbackDatabaseName(files.NewDb);
    const std::string restored = LoopbackDatabaseName(files.RestDb);
    backupCommand = QuoteArgument(gbak) + " -b -g " + QuoteArgument(server) + " " + QuoteArgument(files.BackDb) +
                    " -user SYSDBA";
    restoreCommand = QuoteArgument(gbak) + " -c " + QuoteArgument(files.BackDb) + " " + QuoteArgument(restored) +
                     " -user SYSDBA";
    restore2Command = QuoteArgument(gbak) + " -FIX_FSS_METADATA WIN1251 -c " + QuoteArgument(files.BackDb) + " " +
                      QuoteArgument(restored) + " -user SYSDBA";

    ui_.LogSetCloseButtonVisible(false);
    ui_.LogClear();
    ui_.LogShow();
    ui_.LogAddText(Format("Оптимизация базы данных [%d] - %s (%s)", record.ID, record.Name, P), true);
    ui_.Pump();
  } catch (...) {
    RenameNoReplace(files.NewDb, P);
    throw;
  }

  std::optional<TRotationLog> log;
  log.emplace(files.Log, kOptimiseLogCutLines, kOptimiseLogMaxLines);
  std::optional<TProcessRunner> runner;
  runner.emplace(clock_);
  // The password reaches gbak through its environment, never its command
  // line, which every user of the machine can read.
  runner->Environment = {{"ISC_USER", "SYSDBA"}, {"ISC_PASSWORD", Password}};
  int64_t stepStart = 0;
  int64_t lastShownSecond = -1;
  std::string stepName;
  auto showLine = [&](const std::string& line) {
    ui_.LogAddText(Format("[%s] %s", ElapsedText(clock_.NowMs() - stepStart), line), true);
  };
  runner->OnStdOutput = [&](const std::string& line) {
    if (line.empty()) return;
    log->WriteLine(line, true);
    showLine(line);
  };
  runner->OnStdError = [&](const std::string& line) {
    if (line.empty()) return;
    log->WriteLine(line, true);
    ErrorText += line;
    ++ErrorLineCount;
    showLine(line);
  };
  runner->OnPoll = [&](int64_t elapsedMs) {
    const int64_t second = elapsedMs / 1000;
    if (second == lastShownSecond) return;
    lastShownSecond = second;
    ui_.Progress(0, Format("%s: %s", stepName, ElapsedText(elapsedMs)));
  };

  // One gbak run between its start and end lines; true when it ended by
  // itself with exit code 0 and wrote no error line.
  auto runStep = [&](const std::string& name, const std::string& command) {
    stepName = name;
    commandLines_.push_back(command);
    const std::string startLine = Format("%s start: %s", name, NowText());
    log->WriteLine(startLine, true);
    ui_.LogAddText(startLine, true);
    const int errorsBefore = ErrorLineCount;
    stepStart = clock_.NowMs();
    lastShownSecond = -1;
    runner->Execute(0, command, TimeoutSec);
    const std::string endLine = Format("%s end: %s", name, NowText());
    log->WriteLine(endLine, true);
    ui_.LogAddText(endLine, true);
    const int code = runner->ExitCode();
    std::string problem;
    if (code == TProcessRunner::kStillActive) {
      problem = Format("%s: gbak не завершился за %u с и был остановлен", name, TimeoutSec);
    } else if (code != 0) {
      problem = Format("%s: gbak завершился с кодом %d", name, code);
    }
    if (!problem.empty()) {
      log->WriteLine(problem, true);
      ui_.LogAddText(problem, true);
    }
    return code == 0 && ErrorLineCount == errorsBefore;
  };

  bool backupComplete = false;  // the backup file holds a whole backup
  bool swapped = false;         // the restored copy is at P, the old file at NewDb
  bool committed = false;       // the rebuilt database at P opened and answered
  std::optional<Exception> error;
  try {
    bool ok = runStep("BACKUP", backupCommand);
    if (ok) {
      backupComplete = true;
      ok = runStep("RESTORE", restoreCommand);
      if (ErrorText.find(kFixFss) != std::string::npos) {
        ErrorLineCount = 0;
        ErrorText.clear();
        if (!RemoveFile(files.RestDb)) throw Exception("Ошибка при удалении файла проверочного restore: " + files.RestDb);
        ok = runStep("RESTORE2", restore2Command);
      }
    }
    if (ok && ErrorLineCount == 0) {
      // The copy must open through the server and answer before it takes
      // the database's place.
      if (!IsRegularFile(files.RestDb)) throw Exception("Восстановленная база данных не создана: " + files.RestDb);
      int32_t relations = 0;
      ConnectChecked(files.RestDb);
      RunQuery("select count(*) ConstValue from RDB$RELATIONS", 0, relations);
      DbConnectZtv.Disconnect();
      if (relations <= 0) throw Exception("Восстановленная база данных не содержит таблиц: " + files.RestDb);
      // Somebody who attached in the moment between the check of the
      // attachments and the rename works on the old file: its changes
      // would be lost with it, so it keeps its place.
      if (IsFileLocked(files.NewDb)) {
        throw Exception("Во время оптимизации база данных была открыта другим подключением: " + files.NewDb);
      }
      CopyOwnerAndMode(files.NewDb, files.RestDb);
      if (!RenameNoReplace(files.RestDb, P)) throw Exception(kRenameError + files.RestDb);
      swapped = true;
      SyncDirectory(ExtractFileDir(P));
      int32_t unused = 0;
      ConnectChecked(P);
      RunQuery(Format("SET GENERATOR %s TO 0", kRequestGenerator), 0, unused);
      DbConnectZtv.Disconnect();
      committed = true;
      // The rebuilt database is in place and answers: the backup and the
      // old file are no longer needed.
      if (!RemoveFile(files.BackDb)) throw Exception("Ошибка при удалении файла backup\"a: " + files.BackDb);
      if (!RemoveFile(files.NewDb)) throw Exception("Ошибка при удалении файла БД: " + files.NewDb);
      failed = false;
    }
  } catch (const Exception& e) {
    error.emplace(e.what());
    try {
      log->WriteLine(std::string("ОШИБКА. Текст: ") + e.what(), true);
    } catch (const Exception&) {
      // The log itself may be what failed.
    }
    ui_.LogAddText(std::string("ОШИБКА. Текст: ") + e.what(), true);
  }

  // Clean-up, whatever happened.
  try {
    if (DbConnectZtv.Connected()) DbConnectZtv.Disconnect();
  } catch (const Exception&) {
    // The connection is dropped either way.
  }
  runner.reset();
  log.reset();
  std::string message;
  MessageIcon icon = MessageIcon::None;
  if (failed) {
    if (!committed) {
      // The original goes back to its place; a rebuilt file that did not
      // answer leaves it first.
      if (swapped && !RenameNoReplace(P, files.RestDb)) {
        // P stays the rebuilt copy; the original is kept at NewDb below.
      }
      RenameNoReplace(files.NewDb, P);
      // The partial restored copy goes only when the original is back.
      if (IsRegularFile(P) && !IsRegularFile(files.NewDb)) RemoveFile(files.RestDb);
    }
    message = Format(kFailedMessage, files.Log);
    if (backupComplete && !committed && IsRegularFile(files.BackDb)) {
      message += "\nРезервная копия базы данных сохранена в файле: " + files.BackDb;
    } else if (!committed) {
      // A backup that did not end well is no backup.
      RemoveFile(files.BackDb);
    }
    if (IsRegularFile(files.NewDb)) {
      message += "\nИсходная база данных находится в файле: " + files.NewDb;
    }
    icon = MessageIcon::Warning;
  } else {
    message = kSucceededMessage;
  }
  ResultMessage = message;
  ui_.Progress(0, "");
  if (failed) {
    ui_.LogSetCloseButtonVisible(true);
  } else {
    ui_.LogClose();
  }
  ui_.ShowMessage(kOptimiseCaption, message, icon);
  if (error) throw *error;
  return !failed;
}

}  // namespace ztv
