#include "ops/empty_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"
#include "core/text.h"
#include "platform/paths.h"

namespace ztv {
namespace {

constexpr size_t kCopyBuffer = 1 << 20;

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes a file when it goes, unless kept.
class Removed {
 public:
  explicit Removed(std::string path) : path_(std::move(path)) {}
  ~Removed() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  Removed(const Removed&) = delete;
  Removed& operator=(const Removed&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies `from` into the new file `to` (created exclusively) and syncs it;
// false on any failure, `to` then removed by the caller.
bool CopyAndSync(const std::string& from, int out) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string buffer(kCopyBuffer, '\0');
  while (true) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
  }
  return ::fsync(out) == 0;
}

}  // namespace

TDM::TDM(Interaction& ui, Clock& clock, TDbPasswordState& password, TDMServerControl server)
    : ui_(ui), clock_(clock), password_(password), server_(std::move(server)) {}

std::string TDM::Hidden(const std::string& text) const {
  // A password of a few letters would turn up inside ordinary words; the
  // client's texts never quote the password anyway.
  if (password_.DbPassword.size() < 4) return text;
  return ReplaceAll(text, password_.DbPassword, "***");
}

std::string TDM::TemplatePath() const { return ResolvePathCase(JoinPath(FInstallDir, StoredToNative(kEmptyBaseTemplate))); }

std::string TDM::ReplaceWithEmpty(const std::string& DbPath, const std::string& InstallDir) {
  std::string result = "OK";
  FInstallDir = InstallDir;
  FDatabasePath = DbPath;
  bool stopped = false;  // the server is down because this replacement stopped it
  try {
    // The old database is read through a running server.
    if (!server_.Running()) {
      server_.Start();
      clock_.Sleep(5000);
    }
    try {
      SaveGenerator();
    } catch (const Exception& e) {
      // The old database may be past reading; it is replaced all the same.
      result = e.what();
    }
    stopped = true;
    server_.Stop();
    clock_.Sleep(3000);
    CopyEmptyBase();
    server_.Start();
    stopped = false;
    clock_.Sleep(5000);
    RestoreGenerator();
  } catch (const Exception& e) {
    result = e.what();
    // The workplaces are not left without their server.
    if (stopped) {
      try {
        server_.Start();
        clock_.Sleep(5000);
      } catch (const Exception& startError) {
        result += std::string("\n") + startError.what();
      }
    }
  }
  return Hidden(result);
}

void TDM::Connect() {
  DbConnectZtv.SetDatabaseName(FDatabasePath);
  DbConnectZtv.SetParam("isc_dpb_user_name", "SYSDBA");
  DbConnectZtv.SetParam("isc_dpb_password", password_.DbPassword);
  qZtv.Close();
  clock_.Sleep(5000);
  try {
    DbConnectZtv.Connect();
    return;
  } catch (const Exception& e) {
    if (!SameText(password_.DbPassword, kDefaultDbPassword))
      throw Exception(Format("Ошибка соединения с базой данных: путь: %s, ошибка: %s", FDatabasePath,
                             Hidden(e.what())));
  }
  // The default password was refused: the user is asked once.
  const bool ok = ui_.AskPassword(password_.DbPassword, password_.DbPasswordDontAsk);
  if (!ok) throw Exception("Пароль не указан. Работа не возможна");
  DbConnectZtv.SetParam("isc_dpb_password", password_.DbPassword);
  try {
    DbConnectZtv.Connect();
  } catch (const Exception& e) {
    throw Exception(
        Format("Ошибка соединения с базой данных: путь: %s, ошибка: %s", FDatabasePath, Hidden(e.what())));
  }
}

void TDM::Disconnect() {
  try {
    DbConnectZtv.Disconnect();
  } catch (const Exception& e) {
    throw Exception("ошибка отключения от базы данных [" + Hidden(e.what()) + "]");
  }
}

void TDM::SaveGenerator() {
  Connect();
  int32_t value = 0;
  try {
    qZtv.Close();
    qZtv.SetSQL("select gen_id (g_shared, 0) newid from single");
    Transaction.StartTransaction();
  } catch (const Exception& e) {
    throw Exception(std::string("Не удается получить значение генератора из базы: ") + Hidden(e.what()));
  }
  try {
    qZtv.Open();
    if (!qZtv.IsEmpty()) value = qZtv.FieldAsInteger("NewID");
  } catch (const Exception&) {
    // A database without the generator or the table carries nothing over.
    qZtv.Close();
    Transaction.Rollback();
    value = 0;
  }
  FSavedGenerator = value;
  Disconnect();
}

void TDM::CopyEmptyBase() {
  const std::string templ = TemplatePath();
  if (!FileExists(templ)) throw Exception(Format("файл пустой базы не найден [%s]", templ));

  // The new file takes the old one's owner, group and mode (the server runs
  // as its own account and must open it); without an old file, the
  // template's.
  struct stat old {};
  const bool hadOld = ::lstat(FDatabasePath.c_str(), &old) == 0;
  if (hadOld && !S_ISREG(old.st_mode)) throw Exception(Format("не удается удалить файл [%s]", FDatabasePath));
  struct stat source {};
  if (::stat(templ.c_str(), &source) != 0)
    throw Exception(Format("ошибка копирования файла [%s] в [%s]", templ, FDatabasePath));
  const struct stat& owner = hadOld ? old : source;

  std::string dir = ExtractFileDir(FDatabasePath);
  if (dir.empty()) dir = ".";
  std::string tmpName = JoinPath(dir, "." + ExtractFileName(FDatabasePath) + ".XXXXXX");
  const int fd = ::mkstemp(tmpName.data());
  if (fd < 0) throw Exception(Format("ошибка копирования файла [%s] в [%s]", templ, FDatabasePath));
  Removed tmp(tmpName);
  Fd out(fd);
  if (!CopyAndSync(templ, out.get())) throw Exception(Format("ошибка копирования файла [%s] в [%s]", templ, FDatabasePath));
  // Ownership can only be given by a privileged process; otherwise the file
  // stays the caller's, as a plain copy would.
  if (::fchown(out.get(), owner.st_uid, owner.st_gid) != 0 && errno != EPERM)
    throw Exception(Format("ошибка копирования файла [%s] в [%s]", templ, FDatabasePath));
  if (::fchmod(out.get(), owner.st_mode & 07777) != 0 || !out.Close())
    throw Exception(Format("ошибка копирования файла [%s] в [%s]", templ, FDatabasePath));
  // Until here the old database is untouched.
  if (::rename(tmpName.c_str(), FDatabasePath.c_str()) != 0)
    throw Exception(Format("не удается удалить файл [%s]", FDatabasePath));
  tmp.Keep();
  SyncDirectory(dir);
}

void TDM::RestoreGenerator() {
  Connect();
  int32_t current = -1;
  try {
    qZtv.Close();
    qZtv.SetSQL("select gen_id (g_shared, 0) OldID from Single");
    Transaction.StartTransaction();
  } catch (const Exception& e) {
    throw Exception(std::string("Не удается установить значение генератора для базы: ") + Hidden(e.what()));
  }
  try {
    qZtv.Open();
    current = qZtv.FieldAsInteger("OldID");
  } catch (const Exception&) {
    current = -1;
  }
  if (current < FSavedGenerator) {
    try {
      qZtv.Close();
      qZtv.SetSQL(Format("set generator g_shared to %d", FSavedGenerator));
    } catch (const Exception& e) {
      throw Exception(std::string("Не удается установить значение генератора для базы: ") + Hidden(e.what()));
    }
    try {
      qZtv.ExecSQL();
    } catch (const Exception&) {
      Transaction.Rollback();
    }
  }
  Disconnect();
}

}  // namespace ztv
