// The open-files calls over Samba's NetAPI library. The library keeps one
// process-wide context (credentials, cached connections), so every call
// runs under one lock with a context of its own: a changed password never
// rides on a connection that was made with the old one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
// The library's header needs the fixed-width types first.
#include <netapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <mutex>

#include "core/text.h"
#include "platform/net_files.h"

namespace ztv {
namespace {

std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}

// While alive, the library's own chatter (it prints failed logons on
// standard output and its debug lines on standard error) goes into a file
// of its own instead: the callers report failures themselves, and a
// command's output stays its own. Chatter() gives what was printed.
class CapturedStdStreams {
 public:
  CapturedStdStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    capture_ = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    const int target = capture_ >= 0 ? capture_ : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target < 0) return;
    for (int i = 0; i < 2; ++i) {
      saved_[i] = ::fcntl(i + 1, F_DUPFD_CLOEXEC, 3);
      if (saved_[i] >= 0) ::dup2(target, i + 1);
    }
    if (target != capture_) ::close(target);
  }
  ~CapturedStdStreams() {
    Restore();
    if (capture_ >= 0) ::close(capture_);
  }
  CapturedStdStreams(const CapturedStdStreams&) = delete;
  CapturedStdStreams& operator=(const CapturedStdStreams&) = delete;

  // Puts the streams back and returns the first 64 KiB printed meanwhile.
  std::string Chatter() {
    Restore();
    std::string text;
    if (capture_ < 0) return text;
    char chunk[4096];
    off_t at = 0;
    ssize_t n;
    while (text.size() < 65536 && (n = ::pread(capture_, chunk, sizeof chunk, at)) > 0) {
      text.append(chunk, static_cast<size_t>(n));
      at += n;
    }
    return text;
  }

 private:
  void Restore() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
      if (saved_[i] < 0) continue;
      ::dup2(saved_[i], i + 1);
      ::close(saved_[i]);
      saved_[i] = -1;
    }
  }

  int capture_ = -1;
  int saved_[2] = {-1, -1};
};

// The library reports a refused logon as "cannot complete" (1003), the
// same as a server that cannot be reached; only its printed chatter names
// the refusal.
uint32_t Refine(uint32_t status, CapturedStdStreams& streams) {
  if (status != kNetErrorCannotComplete) return status;
  const std::string chatter = streams.Chatter();
  for (const char* refusal : {"NT_STATUS_LOGON_FAILURE", "NT_STATUS_WRONG_PASSWORD", "NT_STATUS_NO_SUCH_USER",
                              "NT_STATUS_ACCOUNT_DISABLED", "NT_STATUS_ACCOUNT_LOCKED_OUT",
                              "NT_STATUS_PASSWORD_EXPIRED"}) {
    if (chatter.find(refusal) != std::string::npos) return kNetErrorLogonFailure;
  }
  if (chatter.find("NT_STATUS_ACCESS_DENIED") != std::string::npos) return kNetErrorAccessDenied;
  return status;
}

// A library context for one call.
class Context {
 public:
  Context(const std::string& user, const std::string& password) {
    status_ = libnetapi_init(&ctx_);
    if (status_ != 0) return;
    libnetapi_set_debuglevel(ctx_, "0");
    if (!user.empty()) {
      libnetapi_set_username(ctx_, user.c_str());
      libnetapi_set_password(ctx_, password.c_str());
    }
  }
  ~Context() {
    if (ctx_) libnetapi_free(ctx_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  uint32_t InitStatus() const { return status_; }

 private:
  libnetapi_ctx* ctx_ = nullptr;
  uint32_t status_ = 0;
};

// The library takes a bare name or address; "" means the server on this
// computer, reached on loopback by address.
std::string ServerArgument(const std::string& server) {
  size_t start = 0;
  while (start < server.size() && (server[start] == '\\' || server[start] == '/')) ++start;
  std::string name = server.substr(start);
  return name.empty() ? std::string("127.0.0.1") : name;
}

// Whether `path` begins with `base`, letter case ignored as in Windows
// paths. The server takes the base path but does not filter by it, so the
// filter the call promises is applied here.
bool BeginsWith(const std::string& path, const std::string& base) {
  const std::u32string p = DecodeUtf8(path), b = DecodeUtf8(base);
  if (b.size() > p.size()) return false;
  for (size_t i = 0; i < b.size(); ++i)
    if (LowerChar(p[i]) != LowerChar(b[i])) return false;
  return true;
}

struct BufferFree {
  void operator()(uint8_t* buffer) const { NetApiBufferFree(buffer); }
};

class SambaNetFileApi : public NetFileApi {
 public:
  void SetCredentials(const std::string& user, const std::string& password) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    user_ = user;
    password_ = password;
  }

  uint32_t FileEnum(const std::string& server, const std::string& basePath, std::vector<NetFileInfo3>& entries,
                    uint32_t& totalEntries) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    CapturedStdStreams streams;
    Context ctx(user_, password_);
    if (ctx.InitStatus() != 0) return ctx.InitStatus();
    const std::string name = ServerArgument(server);
    uint8_t* raw = nullptr;
    uint32_t read = 0, total = 0, resume = 0;
    const uint32_t status = NetFileEnum(name.c_str(), basePath.empty() ? nullptr : basePath.c_str(), nullptr, 3,
                                        &raw, UINT32_MAX, &read, &total, &resume);
    std::unique_ptr<uint8_t, BufferFree> buffer(raw);
    if (status != 0) return Refine(status, streams);
    std::vector<NetFileInfo3> result;
    if (buffer && read > 0) {
      const auto* info = reinterpret_cast<const FILE_INFO_3*>(buffer.get());
      result.reserve(read);
      for (uint32_t i = 0; i < read; ++i) {
        NetFileInfo3 e;
        e.id = info[i].fi3_id;
        e.permissions = info[i].fi3_permissions;
        e.numLocks = info[i].fi3_num_locks;
        if (info[i].fi3_pathname) e.pathName = info[i].fi3_pathname;
        if (info[i].fi3_username) e.userName = info[i].fi3_username;
        if (!BeginsWith(e.pathName, basePath)) continue;
        result.push_back(std::move(e));
      }
    }
    if (!basePath.empty()) total = static_cast<uint32_t>(result.size());
    entries = std::move(result);
    totalEntries = total;
    return 0;
  }

  uint32_t FileClose(const std::string& server, uint32_t id) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    CapturedStdStreams streams;
    Context ctx(user_, password_);
    if (ctx.InitStatus() != 0) return ctx.InitStatus();
    const std::string name = ServerArgument(server);
    const uint32_t status = NetFileClose(name.c_str(), id);
    return status == 0 ? 0 : Refine(status, streams);
  }

  std::string ErrorText(uint32_t code) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    char* text = libnetapi_errstr(static_cast<NET_API_STATUS>(code));
    if (!text) return std::string();
    std::string result = text;
    NetApiBufferFree(text);
    // A number the library has no text for comes back as a placeholder.
    if (result.rfind("DOS code 0x", 0) == 0) result.clear();
    return result;
  }

 private:
  std::string user_;
  std::string password_;
};

}  // namespace

std::unique_ptr<NetFileApi> CreateNetFileApi() { return std::make_unique<SambaNetFileApi>(); }

}  // namespace ztv
