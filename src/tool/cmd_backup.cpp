// ztvtool tar ... and backup ...: the tar archive and the version backup.
#include <iostream>
#include <map>

#include "backup/backup_verify.h"
#include "backup/names.h"
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
  ReadTarBackupIndex(archive, index, 0);
}

// The member headers of a tar backup by ID (none for the compound form).
std::map<int32_t, TTarDirRec> LoadMemberHeaders(const std::string& file) {
  std::map<int32_t, TTarDirRec> headers;
  if (IsStorageFile(file)) return headers;
  TTarArchive archive(file);
  TTarDirRec r;
  while (archive.FindNext(r)) {
    if (SameText(r.Name, kIndexMemberName)) continue;
    headers[StrToInt(r.Name)] = r;
  }
  return headers;
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
  // Written beside FILE and renamed over it: a failure leaves the old backup.
  create->callback([] { WriteBackupFile(dir, file, {}); });

  auto* restore = backup->add_subcommand("restore", "make DIR equal to the backup FILE");
  restore->add_option("FILE", file, "backup file")->required();
  restore->add_option("DIR", dir, "directory")->required();
  restore->callback([] {
    // The whole backup is checked before anything in DIR changes.
    VerifyBackup(file);
    if (IsStorageFile(file))
      RestoreDirFromStorage(file, dir, true);
    else
      TTarBackup(dir, file).Restore();
  });

  auto* verify = backup->add_subcommand("verify", "check a whole backup (tar or compound form) as a restore does");
  verify->add_option("FILE", file, "backup file")->required();
  verify->callback([] {
    VerifyBackup(file);
    std::cout << "ok\n";
  });

  auto* blist = backup->add_subcommand(
      "list", "the index of a backup: ID, NAME, ISDIR per line; with --long also TYPE, MODE, UID, GID, LINK");
  blist->add_option("FILE", file, "backup file")->required();
  static bool longForm = false;
  blist->add_flag("--long,-l", longForm, "add each entry's type, mode, owner, group and link target");
  blist->callback([] {
    TStaticSet index;
    LoadBackupIndex(file, index);
    TField& id = index.FieldByName("ID");
    TField& name = index.FieldByName("Name");
    TField* isDir = index.FindField("IsDirectory");
    const std::map<int32_t, TTarDirRec> headers = longForm ? LoadMemberHeaders(file) : std::map<int32_t, TTarDirRec>{};
    TField* mode = index.FindField(kIndexModeField);
    TField* owner = index.FindField(kIndexOwnerField);
    TField* group = index.FindField(kIndexGroupField);
    auto number = [](TField* f) { return f && !f->IsNull() ? std::to_string(f->AsInteger()) : std::string(); };
    for (index.First(); !index.Eof(); index.Next()) {
      const bool dir = isDir && isDir->AsBoolean();
      std::cout << id.AsInteger() << '\t' << name.AsString() << '\t' << (dir ? 1 : 0);
      if (longForm) {
        auto h = headers.find(id.AsInteger());
        if (dir) {
          std::cout << "\td\t" << (mode && !mode->IsNull() ? Format("%04o", mode->AsInteger() & 07777) : "") << '\t'
                    << number(owner) << '\t' << number(group) << '\t';
        } else if (h != headers.end()) {
          const TTarDirRec& r = h->second;
          const char type = r.FileType == TTarFileType::SymbolicLink ? 'l' : r.FileType == TTarFileType::FIFOFile ? 'p' : '-';
          std::cout << '\t' << type << '\t' << Format("%04o", static_cast<int>(MemberMode(r))) << '\t' << r.OwnerId
                    << '\t' << r.GroupId << '\t' << TabField(r.LinkName);
        } else {
          std::cout << "\t?\t\t\t\t";  // recorded without a member: a device, a socket
        }
      }
      std::cout << '\n';
    }
  });
}

}  // namespace ztv::tool
