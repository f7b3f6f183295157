// ztvtool bases ...: the workplace's list of databases in its IMD.DAT.
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "core/errors.h"
#include "core/text.h"
#include "engine/ztv_procs.h"
#include "multiregistry/registry_store.h"
#include "ops/base_list.h"
#include "platform/paths.h"
#include "tool/commands.h"

namespace ztv::tool {
namespace {

// The installation's IMD.DAT unless a file is named.
std::string ImdFile(const std::string& given) { return given.empty() ? GetImdFileName() : given; }

// Holds an exclusive lock on the list's folder while a change is read,
// made and written, so that two changes at once do not lose one another.
class FolderLock {
 public:
  explicit FolderLock(const std::string& file) {
    std::string dir = ExtractFileDir(file);
    if (dir.empty()) dir = ".";
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

// The store of `file`, or an empty one when the file does not exist yet.
std::shared_ptr<TRegistryStore> LoadOrCreate(const std::string& file) {
  if (!FileExists(file) && !DirectoryExists(file)) return std::make_shared<TRegistryStore>();
  return TRegistryStore::LoadFromFile(file);
}

}  // namespace

void AddBasesCommands(CLI::App& app) {
  auto* bases = app.add_subcommand("bases", "the workplace's list of databases (ocx/IMD.DAT)");
  bases->require_subcommand(1);

  struct Options {
    std::string imd;
    bool json = false;
    std::string name;
    int32_t id = 0;
    std::string path;
  };
  auto opts = std::make_shared<Options>();

  auto* list = bases->add_subcommand("list", "the available databases as the program reads them");
  list->add_option("--imd", opts->imd, "the list file (default: the installation's ocx/IMD.DAT)");
  list->add_flag("--json", opts->json, "one JSON array instead of lines");
  list->callback([opts] {
    TStaticSet set;
    CreateBaseList(set);
    ReadBaseList(set, ImdFile(opts->imd));
    // Built whole before printing, so a failure leaves stdout empty.
    std::string out = opts->json ? "[" : "";
    bool first = true;
    for (set.First(); !set.Eof(); set.Next()) {
      const int32_t id = set.FieldByName("ID").AsInteger();
      const std::string name = set.FieldByName("Name").AsString();
      const std::string path = set.FieldByName("DBPath").AsString();
      if (opts->json)
        out += fmt::format("{}{{\"id\":{},\"name\":{},\"path\":{}}}", first ? "" : ",", id, JsonQuoted(name),
                           JsonQuoted(path));
      else
        out += fmt::format("{}\t{}\t{}\n", id, TabField(name), TabField(path));
      first = false;
    }
    if (opts->json) out += "]\n";
    std::cout << out;
  });

  auto* set = bases->add_subcommand("set", "add a database to the list or change one");
  set->add_option("NAME", opts->name, "the database's name in the list")->required();
  set->add_option("--id", opts->id, "its identifier")->required();
  set->add_option("--path", opts->path, "its database path (\"ПутьКБазе\")")->required();
  set->add_option("--imd", opts->imd, "the list file (default: the installation's ocx/IMD.DAT)");
  set->callback([opts] {
    const std::string file = ImdFile(opts->imd);
    // A new list gets its folder too.
    std::error_code ec;
    if (!ExtractFileDir(file).empty()) std::filesystem::create_directories(ExtractFileDir(file), ec);
    FolderLock lock(file);
    auto store = LoadOrCreate(file);
    TRegistryStore::CheckName(opts->name);
    // The program's list holds paths of up to 255 characters.
    if (DecodeUtf8(opts->path).size() > kBaseListTextLength)
      throw Exception(Format("Путь базы \"%s\" длиннее %d символов", opts->name, static_cast<int>(kBaseListTextLength)));
    TRegistryNode& listKey = store->CreateKey(kBaseListKey);
    // The selection window matches its rows to the list by identifier, so
    // two databases never share one.
    for (const auto& other : listKey.children) {
      const TRegistryValueData* id = other->Value(kBaseIdValue);
      if (id && !id->isString && id->intValue == opts->id && !SameText(other->name, opts->name))
        throw Exception(Format("Идентификатор %d уже занят базой %s", opts->id, other->name));
    }
    TRegistryNode& key = store->CreateKey(Format("%s\\%s", kBaseListKey, opts->name));
    TRegistryStore::SetInteger(key, kBaseIdValue, opts->id);
    TRegistryStore::SetString(key, kBasePathValue, opts->path);
    store->SaveToFile(file);
  });

  auto* remove = bases->add_subcommand("remove", "remove a database from the list");
  remove->add_option("NAME", opts->name, "the database's name in the list")->required();
  remove->add_option("--imd", opts->imd, "the list file (default: the installation's ocx/IMD.DAT)");
  remove->callback([opts] {
    const std::string file = ImdFile(opts->imd);
    FolderLock lock(file);
    auto store = TRegistryStore::LoadFromFile(file);
    if (!store->DeleteKey(Format("%s\\%s", kBaseListKey, opts->name)))
      throw Exception(Format("База %s не найдена в списке %s", opts->name, file));
    store->SaveToFile(file);
  });
}

}  // namespace ztv::tool
