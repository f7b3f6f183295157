// ztvtool: the administrator's command-line tool over the updater's
// libraries.
#include <unistd.h>

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

// A message as stderr shows it. System texts separate their parts with
// carriage returns, which on a terminal would overwrite the start of the
// line: there each becomes a line break. Scripts, which read a pipe or a
// file, get the message exactly as it is.
std::string ForStderr(const std::string& message) {
  if (!::isatty(STDERR_FILENO)) return message;
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\r') {
      out += message[i];
    } else if (i + 1 >= message.size() || message[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
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
    std::cerr << ForStderr(e.what()) << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << ForStderr(e.what()) << std::endl;
    return 1;
  }
  return 0;
}
