#include <iostream>
#include <string>

#include "control/run_close_program.h"
#include "core/text.h"
#include "db/firebird_instance.h"
#include "tool/commands.h"

namespace ztv::tool {
namespace {

bool Runs(int flags) { return (flags & (kServerFlagService | kServerFlagProgram)) != 0; }

// The users-connected question on the terminal: OK only for an explicit
// yes (or --yes); anything else, end of input included, is Cancel.
bool AskOnTerminal(bool yes, const std::string& caption, const std::string& text) {
  std::cerr << caption << ": " << text << " [OK/Cancel] ";
  if (yes) {
    std::cerr << "OK" << std::endl;
    return true;
  }
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << std::endl;
    return false;
  }
  answer = Trim(answer);
  for (const char* ok : {"ok", "y", "yes", "д", "да"}) {
    if (SameText(answer, ok)) return true;
  }
  return false;
}

void PrintRecord(const TServerRecord& record) {
  std::cout << "Kind=" << record.FServerKind << "\n"
            << "ExePath=" << record.FServerPath << "\n"
            << "Service=" << (record.FServerIsService ? 1 : 0) << "\n";
}

void ShowStatus() {
  const ControlEnv& env = DefaultControlEnv();
  int installed = 0;
  std::array<std::string, 2> dirs, exes;
  FindInstalledServers(installed, dirs, exes, false);
  int flags[3] = {0, 0, 0};
  int running = 0;
  for (int kind : {kServerInterBase, kServerFirebird}) {
    flags[kind] = ServerFlags(kind, false, env);
    if (Runs(flags[kind])) running |= 1 << kind;
  }
  const int kind = running ? ChooseServer(running, env) : ChooseServer(installed, env);
  const bool known = kind == kServerInterBase || kind == kServerFirebird;
  const int kindFlags = known ? flags[kind] : 0;
  int dirKind = 0;
  std::string dir;
  ServerDir(dirKind, false, dir, env);
  int attachments = -1;
  if (known && Runs(kindFlags)) {
    std::string why;
    attachments = env.attachments ? env.attachments(kind, why) : -1;
  }
  std::cout << "Kind=" << kind << "\n"
            << "Name=" << ServerKindName(kind) << "\n"
            << "ExePath=" << (known ? exes[kind - 1] : std::string()) << "\n"
            << "Service=" << ((kindFlags & (kServerFlagService | kServerFlagInstalled)) ? 1 : 0) << "\n"
            << "Running=" << (Runs(kindFlags) ? 1 : 0) << "\n"
            << "Dir=" << dir << "\n"
            << "Gbak=" << (dir.empty() ? std::string() : ServerToolPath(dir, "gbak")) << "\n"
            << "Attachments=" << attachments << "\n";
}

}  // namespace

void AddServerCommands(CLI::App& app) {
  auto* server = app.add_subcommand("server", "the installed database servers");
  server->require_subcommand(1);

  server->add_subcommand("status", "what the program sees of the installed database servers")->callback(ShowStatus);

  auto* stop = server->add_subcommand("stop", "stop the running database server as an update does");
  static bool yes = false;
  stop->add_flag("--yes", yes, "answer OK to the users-connected question");
  stop->callback([] {
    ControlEnv env = DefaultControlEnv();
    env.confirm = [](const std::string& caption, const std::string& text) { return AskOnTerminal(yes, caption, text); };
    TServerRecord record;
    IBServerStop(record, env);
    PrintRecord(record);
  });

  auto* start = server->add_subcommand("start", "start a database server as an update does after its backup");
  static int kind = 0;
  static std::string exe;
  static bool asService = false;
  start->add_option("--kind", kind, "1 InterBase, 2 Firebird")->required();
  start->add_option("--exe", exe, "the server's executable")->required();
  start->add_flag("--service", asService, "start it as a service");
  start->callback([] { IBServerStart(kind, exe, asService, DefaultControlEnv()); });
}

}  // namespace ztv::tool
