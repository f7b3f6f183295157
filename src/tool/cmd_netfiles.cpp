// ztvtool netfiles: the files an SMB server holds open for its clients, and
// closing them, as the open-files window does.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/text.h"
#include "ops/net_close.h"
#include "platform/net_files.h"
#include "tool/commands.h"

namespace ztv::tool {
namespace {

struct NetOptions {
  std::string server;
  std::string path;
  std::string user;
  bool json = false;
  std::vector<std::string> ids;
};

// A password from the terminal without echo, or the first line of standard
// input when that is not a terminal.
std::string ReadPassword(const std::string& user) {
  const bool tty = ::isatty(STDIN_FILENO) != 0;
  termios old{};
  if (tty) {
    std::cerr << "Пароль " << user << ": " << std::flush;
    ::tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string password;
  std::getline(std::cin, password);
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::cerr << std::endl;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

// The library with the account from --user (password asked) or from the
// settings.
std::unique_ptr<NetFileApi> OpenApi(const NetOptions& o) {
  auto api = CreateNetFileApi();
  std::string user, password;
  if (!o.user.empty()) {
    user = o.user;
    password = ReadPassword(user);
  } else if (!ReadNetFilesCredentials(user, password)) {
    throw Exception(std::string("Не задана учётная запись для сервера: значение \"UserName\" ключа HKEY_LOCAL_MACHINE\\") +
                    kNetFilesKey + " или параметр --user");
  }
  api->SetCredentials(user, password);
  return api;
}

void List(const NetOptions& o) {
  auto api = OpenApi(o);
  NetCloseLogic logic(*api);
  logic.ServerName = o.server;
  logic.BasePath = o.path;
  logic.EnumerateFiles();
  if (o.json) {
    std::string out = "[";
    bool first = true;
    for (const NetFileInfo3& e : logic.FileEntries) {
      if (!first) out += ",";
      first = false;
      out += fmt::format("{{\"id\":{},\"permissions\":{},\"locks\":{},\"user\":{},\"path\":{}}}", e.id, e.permissions,
                         e.numLocks, JsonQuoted(e.userName), JsonQuoted(e.pathName));
    }
    std::cout << out << "]\n";
    return;
  }
  for (const NetFileInfo3& e : logic.FileEntries)
    std::cout << e.id << '\t' << e.permissions << '\t' << e.numLocks << '\t' << e.userName << '\t' << e.pathName << '\n';
}

uint32_t ParseId(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    throw Exception("Неверный идентификатор открытого файла: " + text);
  const unsigned long long v = std::stoull(text);
  if (v > UINT32_MAX) throw Exception("Неверный идентификатор открытого файла: " + text);
  return static_cast<uint32_t>(v);
}

void Close(const NetOptions& o) {
  std::vector<uint32_t> ids;
  for (const std::string& s : o.ids) ids.push_back(ParseId(s));  // all checked before any is closed
  auto api = OpenApi(o);
  NetCloseLogic logic(*api);
  int closed = 0, failed = 0;
  for (uint32_t id : ids) {
    const uint32_t status = api->FileClose(o.server, id);
    if (status == 0) {
      ++closed;
      std::cout << id << "\tok\n";
    } else {
      ++failed;
      std::cout << id << '\t' << logic.ApiErrorText(status) << '\n';
    }
  }
  if (failed > 0) throw Exception(fmt::sprintf("Закрыто: %d; ошибок: %d", closed, failed));
}

}  // namespace

void AddNetFilesCommands(CLI::App& app) {
  auto* net = app.add_subcommand("netfiles", "files that SMB clients hold open on a server, and closing them");
  net->require_subcommand(1);
  auto opts = std::make_shared<NetOptions>();

  auto* list = net->add_subcommand("list", "list the open files: ID, permissions, locks, user, path");
  list->add_option("--server", opts->server, "server \\\\HOST (default: this computer)");
  list->add_option("--path", opts->path, "only files whose path begins with this, in the server's form (C:\\srv\\share)");
  list->add_option("--user", opts->user, "log on as this user (the password is read from the terminal or stdin)");
  list->add_flag("--json", opts->json, "one JSON array of {id, permissions, locks, user, path}");
  list->callback([opts] { List(*opts); });

  auto* close = net->add_subcommand("close", "close open files by their identifiers");
  close->add_option("ID", opts->ids, "identifiers from netfiles list")->required();
  close->add_option("--server", opts->server, "server \\\\HOST (default: this computer)");
  close->add_option("--user", opts->user, "log on as this user (the password is read from the terminal or stdin)");
  close->callback([opts] { Close(*opts); });
}

}  // namespace ztv::tool
