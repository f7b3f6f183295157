#include "db/fb_client.h"

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>

#include "core/text.h"
#include "db/database.h"

namespace ztv::db {
namespace {

constexpr int kRoleErrorSqlCode = -551;
// A status vector holds a handful of messages; the bound only guards
// against a client that never reports the end.
constexpr int kMaxStatusLines = 64;

// Texts from the client are bytes of the server's message file and of the
// names it quotes: UTF-8 here, the ANSI code page on the older platform.
std::string ClientText(const std::string& bytes) {
  return IsValidUtf8(bytes) ? bytes : Cp1251ToUtf8(bytes);
}

template <typename F>
void Bind(void* handle, const std::string& libraryName, const char* symbol, F& target) {
  void* address = dlsym(handle, symbol);
  if (!address) {
    throw EDatabaseError(Format("InterBase library %s does not export %s", libraryName, symbol), 0, 0);
  }
  target = reinterpret_cast<F>(address);
}

}  // namespace

const FbClient& FbClient::Get(const std::string& libraryName) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<FbClient>> loaded;
  std::lock_guard lock(mutex);
  auto found = loaded.find(libraryName);
  if (found != loaded.end()) return *found->second;

  void* handle = libraryName.empty() ? nullptr : dlopen(libraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    throw EDatabaseError(Format("InterBase library %s not found in the path. Please install InterBase "
                                "to use this functionality",
                                libraryName),
                         0, 0);
  }
  auto client = std::make_unique<FbClient>();
  client->handle_ = handle;
  client->name_ = libraryName;
  FbApi& api = client->api_;
  try {
    Bind(handle, libraryName, "isc_attach_database", api.attach_database);
    Bind(handle, libraryName, "isc_detach_database", api.detach_database);
    Bind(handle, libraryName, "isc_service_attach", api.service_attach);
    Bind(handle, libraryName, "isc_service_detach", api.service_detach);
    Bind(handle, libraryName, "isc_service_query", api.service_query);
    Bind(handle, libraryName, "isc_start_transaction", api.start_transaction);
    Bind(handle, libraryName, "isc_commit_transaction", api.commit_transaction);
    Bind(handle, libraryName, "isc_rollback_transaction", api.rollback_transaction);
    Bind(handle, libraryName, "isc_dsql_allocate_statement", api.dsql_allocate_statement);
    Bind(handle, libraryName, "isc_dsql_prepare", api.dsql_prepare);
    Bind(handle, libraryName, "isc_dsql_describe", api.dsql_describe);
    Bind(handle, libraryName, "isc_dsql_sql_info", api.dsql_sql_info);
    Bind(handle, libraryName, "isc_dsql_execute", api.dsql_execute);
    Bind(handle, libraryName, "isc_dsql_execute2", api.dsql_execute2);
    Bind(handle, libraryName, "isc_dsql_fetch", api.dsql_fetch);
    Bind(handle, libraryName, "isc_dsql_free_statement", api.dsql_free_statement);
    Bind(handle, libraryName, "isc_database_info", api.database_info);
    Bind(handle, libraryName, "fb_interpret", api.interpret);
    Bind(handle, libraryName, "isc_sqlcode", api.sqlcode);
  } catch (...) {
    // A library without the interface is not kept.
    dlclose(handle);
    throw;
  }
  const FbClient& result = *client;
  loaded.emplace(libraryName, std::move(client));
  return result;
}

std::string FbClient::StatusText(const ISC_STATUS* status) const {
  std::string text;
  const ISC_STATUS* cursor = status;
  char buffer[1024];
  for (int line = 0; line < kMaxStatusLines; ++line) {
    const ISC_LONG length = api_.interpret(buffer, sizeof buffer, &cursor);
    if (length <= 0) break;
    if (!text.empty()) text += "\r\n";
    text.append(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
  }
  text = ClientText(text);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void FbClient::Check(const ISC_STATUS* status) const {
  if (!(status[0] == 1 && status[1] != 0)) return;
  const int sqlCode = static_cast<int>(api_.sqlcode(status));
  std::string message = StatusText(status);
  if (sqlCode == kRoleErrorSqlCode) throw ERoleError(std::move(message), sqlCode, status[1]);
  throw EDatabaseError(std::move(message), sqlCode, status[1]);
}

}  // namespace ztv::db
