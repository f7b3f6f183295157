#include "db/firebird_instance.h"

#include <filesystem>
#include <fstream>

#include "core/text.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace ztv {
namespace {

std::string ParentOf(const std::string& dir) {
  std::string d = DropTrailingSeparator(dir);
  auto pos = d.find_last_of('/');
  if (pos == std::string::npos) return ".";
  return pos == 0 ? "/" : d.substr(0, pos);
}

}  // namespace

FirebirdInstance ReadFirebirdInstance() {
  FirebirdInstance instance;
  instance.root = kFirebirdDistributionRoot;
  auto registry = CreateRegistry(RegRoot::LocalMachine);
  if (!registry->OpenKeyReadOnly(kFirebirdInstancesKey)) return instance;
  auto read = [&](const char* name) {
    try {
      return Trim(registry->ReadString(name));
    } catch (const Exception&) {
      return std::string();
    }
  };
  instance.installDir = DropTrailingSeparator(read("DefaultInstance"));
  std::string root = DropTrailingSeparator(read("RootDirectory"));
  if (!root.empty()) instance.root = root;
  instance.lockDir = DropTrailingSeparator(read("LockDirectory"));
  if (std::string unit = read("ServiceUnit"); !unit.empty()) instance.unit = unit;
  if (std::string user = read("ServerUser"); !user.empty()) instance.user = user;
  registry->CloseKey();
  return instance;
}

std::string InstalledExecutable(const std::string& dir, const std::string& name) {
  const std::string base = DropTrailingSeparator(dir);
  for (const char* sub : {"sbin/", "bin/", ""}) {
    std::string path = ResolvePathCase(JoinPath(base, sub + name));
    if (FileExists(path)) return path;
  }
  return JoinPath(base, "sbin/" + name);
}

std::string ServerToolPath(const std::string& serverDir, const std::string& tool) {
  const std::string here = JoinPath(DropTrailingSeparator(serverDir), tool);
  if (FileExists(here)) return here;
  const std::string beside = JoinPath(JoinPath(ParentOf(serverDir), "bin"), tool);
  if (FileExists(beside)) return beside;
  return here;
}

std::string GuardianExecutable(const std::string& serverExe) {
  return JoinPath(ExtractFileDir(serverExe), "fbguard");
}

int FirebirdPort(const std::string& root) {
  std::ifstream in(JoinPath(root, "firebird.conf"));
  int port = kFirebirdDefaultPort;
  std::string line;
  while (std::getline(in, line)) {
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    auto eq = text.find('=');
    if (eq == std::string::npos || !SameText(Trim(text.substr(0, eq)), "RemoteServicePort")) continue;
    std::string value = Trim(text.substr(eq + 1));
    auto hash = value.find('#');
    if (hash != std::string::npos) value = Trim(value.substr(0, hash));
    try {
      size_t used = 0;
      int v = std::stoi(value, &used);
      if (used == value.size() && v > 0 && v < 65536) port = v;
    } catch (const std::exception&) {
    }
  }
  return port;
}

int LocalServerPort() { return FirebirdPort(ReadFirebirdInstance().root); }

bool HasServerPrefix(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  if (name.compare(0, 6, "inet:/") == 0 || name.compare(0, 6, "xnet:/") == 0 || name.compare(0, 4, "wnet") == 0)
    return true;
  // "host:path" or "host/port:path": a colon before the first slash. A
  // single letter before it is a drive, not a host.
  auto colon = name.find(':');
  auto slash = name.find('/');
  if (colon == std::string::npos || (slash != std::string::npos && slash < colon)) {
    // "host/port:path" has its slash before the colon.
    if (colon == std::string::npos || slash == std::string::npos) return false;
    const std::string port = name.substr(slash + 1, colon - slash - 1);
    return slash > 0 && !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
  }
  return colon > 1;
}

std::string LoopbackDatabaseName(const std::string& name, int port) {
  if (name.empty() || HasServerPrefix(name)) return name;
  std::string path = name;
  if (path[0] != '/') {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (!ec) path = absolute.string();
  }
  return "127.0.0.1/" + std::to_string(port) + ":" + path;
}

std::string LoopbackDatabaseName(const std::string& name) {
  if (name.empty() || HasServerPrefix(name)) return name;
  return LoopbackDatabaseName(name, LocalServerPort());
}

}  // namespace ztv
