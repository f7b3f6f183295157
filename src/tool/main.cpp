// ztvtool: the administrator's command-line tool over the updater's
// libraries.
#include <cstdio>
#include <iostream>
#include <string>

#include "build_info.h"
#include "core/errors.h"
#include "platform/command_line.h"
#include "platform/module_path.h"
#include "tool/commands.h"

namespace {

// The version line, then the folders run-time modules are looked for in.
std::string VersionText() {
  std::string text = "ztvtool " ZTV_VERSION "\nRun-time modules are looked for in:";
  for (const std::string& dir : ztv::ModuleSearchDirectories()) text += "\n  " + dir;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  ztv::SetCommandLine(argc, argv);
  CLI::App app{"ztvtool: update packages, version backups and stored formats of the ZTV updater"};
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText, "Print the version and the module folders and exit");
  ztv::tool::AddSettingsCommands(app);
  ztv::tool::AddCodecCommands(app);
  ztv::tool::AddBackupCommands(app);
  ztv::tool::AddCfbCommands(app);
  ztv::tool::AddImdCommands(app);
  ztv::tool::AddPackageCommands(app);
  ztv::tool::AddServerCommands(app);
  ztv::tool::AddBasesCommands(app);
  ztv::tool::AddBasesOptimiseCommands(app);
  ztv::tool::AddNetFilesCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A wrong command line is a failure like any other: one line, exit 1.
    std::cout.flush();
    std::cerr << e.what() << std::endl;
    return 1;
  } catch (const ztv::Exception& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
    return 1;
  }
  return 0;
}
