// ztvtool bases status / optimise: the database optimisation without the
// window, so that a site's scheduler can rebuild a database at night.
#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "core/errors.h"
#include "core/text.h"
#include "engine/ztv_procs.h"
#include "ops/backup_restore.h"
#include "ops/console_interaction.h"
#include "platform/clock.h"
#include "tool/commands.h"

namespace ztv::tool {
namespace {

std::string ImdOrInstalled(const std::string& given) { return given.empty() ? GetImdFileName() : given; }

struct Options {
  std::string imd;
  bool json = false;
  bool yes = false;
  int32_t id = 0;
};

void ShowStatus(const Options& opts) {
  // Questions (the password) go to the terminal's error stream so that
  // stdout holds only the list.
  ConsoleInteraction ui(ConsoleInteraction::Answers::Ask, std::cin, std::cerr, std::cerr, ::isatty(0) != 0);
  TServerRecord server;
  TBackupRestore ops(ui, SystemClock(), server);
  ops.LoadDbList(ImdOrInstalled(opts.imd));
  ops.RefreshDbList();
  std::string out = opts.json ? "[" : "";
  bool first = true;
  for (const TDbListRecord& r : ops.ssDbList) {
    if (opts.json) {
      out += fmt::format("{}{{\"id\":{},\"name\":{},\"path\":{},\"users\":{},\"requests\":{},\"limit\":{},\"advised\":{}}}",
                         first ? "" : ",", r.ID, JsonQuoted(r.Name), JsonQuoted(r.DbPath), r.UsersCount, r.RequestCount,
                         r.RequestLimit, r.IsExceedRequest ? "true" : "false");
    } else {
      out += fmt::format("{}\t{}\t{}\t{}\t{}\t{}\n", r.ID, TabField(r.Name), r.UsersCount, r.RequestCount,
                         r.RequestLimit, r.IsExceedRequest ? 1 : 0);
    }
    first = false;
  }
  if (opts.json) out += "]\n";
  std::cout << out;
}

void Optimise(const Options& opts) {
  // Questions, progress, gbak's lines and the messages on stdout; a failure
  // is the one line on stderr.
  ConsoleInteraction ui(opts.yes ? ConsoleInteraction::Answers::Yes : ConsoleInteraction::Answers::Ask, std::cin,
                        std::cout, std::cout, ::isatty(1) != 0);
  if (!OptimisationAllowed(GetCurrentStatus(), ui)) {
    throw Exception("Текущая версия ЗТВ неработоспособна. Необходимо восстановление из резервной копии.");
  }
  TServerRecord server;
  TBackupRestore ops(ui, SystemClock(), server);
  const std::string imd = ImdOrInstalled(opts.imd);
  ops.LoadDbList(imd);
  size_t index = 0;
  while (index < ops.ssDbList.size() && ops.ssDbList[index].ID != opts.id) ++index;
  if (index == ops.ssDbList.size()) {
    throw Exception(Format("База данных с идентификатором %d не найдена в списке %s", opts.id, imd));
  }
  ops.CheckServerRunning();
  ops.SetBackupFlag(index, true);
  if (ops.btnOKClick() != TOkAnswer::Start) {
    if (ops.ssDbList[index].UsersCount != 0) {
      throw Exception(
          "Для проведения оптимизации базы данных нужно чтобы кол-во подключений к базе данных было равно 0");
    }
    throw Exception("Оптимизация базы данных отменена");
  }
  if (!ops.DoBackupRestore()) throw Exception(ops.ResultMessage);
}

}  // namespace

void AddBasesOptimiseCommands(CLI::App& app) {
  CLI::App* bases = app.get_subcommand("bases");
  auto opts = std::make_shared<Options>();

  auto* status = bases->add_subcommand(
      "status", "the databases' other attachments and request counters, and whether optimisation is advised");
  status->add_option("--imd", opts->imd, "the list file (default: the installation's ocx/IMD.DAT)");
  status->add_flag("--json", opts->json, "one JSON array instead of lines");
  status->callback([opts] { ShowStatus(*opts); });

  auto* optimise = bases->add_subcommand(
      "optimise", "rebuild a database by a gbak backup and restore (the optimisation of the window)");
  optimise->add_option("ID", opts->id, "the database's identifier in the list")->required();
  optimise->add_option("--imd", opts->imd, "the list file (default: the installation's ocx/IMD.DAT)");
  optimise->add_flag("--yes", opts->yes, "answer Yes to the question instead of asking on the terminal");
  optimise->callback([opts] { Optimise(*opts); });
}

}  // namespace ztv::tool
