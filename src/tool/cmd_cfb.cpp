#include <filesystem>
#include <iostream>

#include "backup/storage_restore.h"
#include "formats/cfb/compound_file.h"
#include "tool/commands.h"

namespace ztv::tool {

namespace {

// Lists the elements below `storage` in the directory's order, each
// storage followed by what it holds. The reader bounds the nesting.
void ListStorage(const cfb::Storage& storage, const std::string& prefix) {
  for (const cfb::Element& e : storage.Elements()) {
    std::string path = prefix.empty() ? e.name : prefix + "/" + e.name;
    if (e.kind == cfb::ElementKind::Storage) {
      std::cout << "storage\t" << path << "\n";
      ListStorage(storage.OpenStorage(e), path);
    } else {
      std::cout << "stream\t" << path << "\t" << e.size << "\n";
    }
  }
}

}  // namespace

void AddCfbCommands(CLI::App& app) {
  auto* cfb = app.add_subcommand("cfb", "compound files (structured storage)");
  cfb->require_subcommand(1);
  auto* list = cfb->add_subcommand("list", "walk a compound file");
  auto file = std::make_shared<std::string>();
  list->add_option("FILE", *file, "compound file")->required();
  list->callback([file] {
    cfb::CompoundFile cf(*file);
    ListStorage(cf.Root(), "");
  });

  auto dir = std::make_shared<std::string>();
  auto* pack = cfb->add_subcommand("pack", "write DIR as a directory image with its index");
  pack->add_option("DIR", *dir, "directory")->required();
  pack->add_option("FILE", *file, "compound file")->required();
  pack->callback([dir, file] { PackDirToStorage(*dir, *file); });

  auto* unpack = cfb->add_subcommand("unpack", "recreate the image's tree in DIR (files it does not hold stay)");
  unpack->add_option("FILE", *file, "compound file")->required();
  unpack->add_option("DIR", *dir, "directory")->required();
  unpack->callback([dir, file] {
    std::error_code ignored;
    std::filesystem::create_directories(*dir, ignored);  // a missing target is made
    RestoreDirFromStorage(*file, *dir, false);
  });
}

}  // namespace ztv::tool
