// ztvtool tar ... and backup ...: the tar archive and the version backup.
#include <iostream>

#include "backup/storage_restore.h"
#include "backup/tar_backup.h"
#include "core/errors.h"
#include "core/text.h"
#include "formats/cfb/compound_file.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "formats/imd/transporter.h"
#include "formats/tar/tar.h"
#include "tool/commands.h"

namespace ztv::tool {
namespace {

// Loads the index of a backup in either form: the tar member "Index.trs" or
// the compound file's root stream "0".
void LoadBackupIndex(const std::string& file, TStaticSet& index) {
  if (IsStorageFile(file)) {
    cfb::CompoundFile storage(file);
    TTransporter packet(storage.Root().OpenStream("0"));
    packet.Open();
    index.Assign(packet);
    return;
  }
  TTarArchive archive(file);
  TTarDirRec r;
  while (archive.FindNext(r)) {
    if (SameText(r.Name, kIndexMemberName)) {
      TZVMemoryStream s;
      archive.ReadFileTo(s);
      s.SetPosition(0);
      LoadDataSetFromStream(s, index, UnpackOptions::RecreateFields);
      return;
    }
  }
  throw ETyped("Не найден файл индекса в резервной копии.");
}

}  // namespace

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

  auto* backup = app.add_subcommand("backup", "version backups");
  backup->require_subcommand(1);
  static std::string dir, file;
  auto* create = backup->add_subcommand("create", "back up DIR into FILE");
  create->add_option("DIR", dir, "directory")->required();
  create->add_option("FILE", file, "backup file")->required();
  create->callback([] { TTarBackup(dir, file).Backup(); });

  auto* restore = backup->add_subcommand("restore", "make DIR equal to the backup FILE");
  restore->add_option("FILE", file, "backup file")->required();
  restore->add_option("DIR", dir, "directory")->required();
  // Either form, as the update engine restores a backup.
  restore->callback([] {
    if (IsStorageFile(file))
      RestoreDirFromStorage(file, dir, true);
    else
      TTarBackup(dir, file).Restore();
  });

  auto* blist = backup->add_subcommand("list", "the index of a backup: ID, NAME, ISDIR per line");
  blist->add_option("FILE", file, "backup file")->required();
  blist->callback([] {
    TStaticSet index;
    LoadBackupIndex(file, index);
    TField& id = index.FieldByName("ID");
    TField& name = index.FieldByName("Name");
    TField* isDir = index.FindField("IsDirectory");
    for (index.First(); !index.Eof(); index.Next())
      std::cout << id.AsInteger() << '\t' << name.AsString() << '\t' << (isDir && isDir->AsBoolean() ? 1 : 0) << '\n';
  });
}

}  // namespace ztv::tool
