// Each family of ztvtool commands registers itself on the application.
// Conventions for every command: the result goes to stdout and the exit code
// is 0; a failure raises ztv::Exception, whose message main() prints as the
// only line on stderr with exit code 1.
#pragma once

#include <CLI/CLI.hpp>

namespace ztv::tool {

void AddSettingsCommands(CLI::App& app);
void AddCodecCommands(CLI::App& app);
void AddBackupCommands(CLI::App& app);
void AddCfbCommands(CLI::App& app);
void AddImdCommands(CLI::App& app);
void AddPackageCommands(CLI::App& app);
void AddServerCommands(CLI::App& app);
void AddBasesCommands(CLI::App& app);
// status and optimise, added to the "bases" command of AddBasesCommands.
void AddBasesOptimiseCommands(CLI::App& app);
void AddNetFilesCommands(CLI::App& app);

}  // namespace ztv::tool
