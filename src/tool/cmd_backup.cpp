// ztvtool tar ... and backup ...: the tar archive and the version backup.
#include <iostream>

#include "formats/tar/tar.h"
#include "tool/commands.h"

namespace ztv::tool {

void AddBackupCommands(CLI::App& app) {
  auto* tar = app.add_subcommand("tar", "tar archives");
  tar->require_subcommand(1);
  auto* list = tar->add_subcommand("list", "walk the members: NAME, SIZE, TYPE, CHECKSUM_OK per line");
  static std::string tarFile;
  list->add_option("FILE", tarFile, "archive")->required();
  list->callback([] {
    TTarArchive archive(tarFile);
    TTarDirRec r;
    while (archive.FindNext(r)) {
      std::cout << r.Name << '\t' << r.Size << '\t' << FileTypeToChar(r.FileType) << '\t'
                << (r.ChecksumValid ? 1 : 0) << '\n';
    }
  });
}

}  // namespace ztv::tool
