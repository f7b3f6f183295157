#include <iostream>

#include "engine/updater.h"
#include "tool/commands.h"

namespace ztv::tool {

void AddSettingsCommands(CLI::App& app) {
  auto* settings = app.add_subcommand("settings", "installation settings");
  settings->require_subcommand(1);
  auto* show = settings->add_subcommand("show", "read the installation settings as the program's refresh does");
  show->callback([] {
    TUpdater u;
    // A failure stops the listing, as it stops the program's refresh.
    u.Refresh();
    std::cout << "CurrentVersion=" << u.CurrentVersion << "\n"
              << "CurrentStatus=" << u.CurrentStatus << "\n"
              << "BackupVersion=" << u.BackupVersion << "\n"
              << "CurrentVersionDirectory=" << u.CurrentVersionDirectory << "\n"
              << "BackupDirectory=" << u.BackupDirectory << "\n"
              << "UpdateDirectory=" << u.UpdateDirectory << "\n"
              << "ImdFileName=" << u.ImdFileName << "\n"
              << "UnpackDirectory=" << u.UnpackDirectory << "\n";
  });
}

}  // namespace ztv::tool
