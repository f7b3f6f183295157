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
#include <mutex>

#include "platform/net_files.h"

namespace ztv {
namespace {

std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}

// While alive, the library's own chatter (it prints failed logons on
// standard output and its debug lines on standard error) goes nowhere: the
// callers report failures themselves, and a command's output stays its own.
class QuietStdStreams {
 public:
  QuietStdStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    for (int i = 0; i < 2; ++i) {
      saved_[i] = ::fcntl(i + 1, F_DUPFD_CLOEXEC, 3);
      if (saved_[i] >= 0) ::dup2(null, i + 1);
    }
    ::close(null);
  }
  ~QuietStdStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
      if (saved_[i] < 0) continue;
      ::dup2(saved_[i], i + 1);
      ::close(saved_[i]);
    }
  }
  QuietStdStreams(const QuietStdStreams&) = delete;
  QuietStdStreams& operator=(const QuietStdStreams&) = delete;

 private:
  int saved_[2] = {-1, -1};
};

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

  // The library reports a refused logon as "cannot complete"; its detail
  // text tells the refusal from a server that cannot be reached.
  uint32_t Refine(uint32_t status) {
    if (status != kNetErrorCannotComplete || !ctx_) return status;
    char* detail = libnetapi_get_error_string(ctx_, static_cast<NET_API_STATUS>(status));
    if (!detail) return status;
    const bool refused = std::strstr(detail, "LOGON_FAILURE") || std::strstr(detail, "WRONG_PASSWORD") ||
                         std::strstr(detail, "NO_SUCH_USER") || std::strstr(detail, "ACCOUNT_DISABLED");
    NetApiBufferFree(detail);
    return refused ? kNetErrorLogonFailure : status;
  }

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
    QuietStdStreams quiet;
    Context ctx(user_, password_);
    if (ctx.InitStatus() != 0) return ctx.InitStatus();
    const std::string name = ServerArgument(server);
    uint8_t* raw = nullptr;
    uint32_t read = 0, total = 0, resume = 0;
    const uint32_t status = NetFileEnum(name.c_str(), basePath.empty() ? nullptr : basePath.c_str(), nullptr, 3,
                                        &raw, UINT32_MAX, &read, &total, &resume);
    std::unique_ptr<uint8_t, BufferFree> buffer(raw);
    if (status != 0) return ctx.Refine(status);
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
        result.push_back(std::move(e));
      }
    }
    entries = std::move(result);
    totalEntries = total;
    return 0;
  }

  uint32_t FileClose(const std::string& server, uint32_t id) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    QuietStdStreams quiet;
    Context ctx(user_, password_);
    if (ctx.InitStatus() != 0) return ctx.InitStatus();
    const std::string name = ServerArgument(server);
    const uint32_t status = NetFileClose(name.c_str(), id);
    return status == 0 ? 0 : ctx.Refine(status);
  }

  std::string ErrorText(uint32_t code) override {
    std::lock_guard<std::mutex> hold(LibraryLock());
    char* text = libnetapi_errstr(static_cast<NET_API_STATUS>(code));
    if (!text) return std::string();
    std::string result = text;
    NetApiBufferFree(text);
    return result;
  }

 private:
  std::string user_;
  std::string password_;
};

}  // namespace

std::unique_ptr<NetFileApi> CreateNetFileApi() { return std::make_unique<SambaNetFileApi>(); }

}  // namespace ztv
