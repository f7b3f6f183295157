// ztv-updater: the window program. With "backup" or "restore" as the last
// parameter it answers the batch request and ends; otherwise it shows the
// main window. Exit code: 0, except a batch run whose operation failed ends
// with 1 so that the scheduler running it sees the failure. Without a
// display, batch runs and the automatic update talk on the terminal; the
// automatic update then ends the program when it ends, with 1 when it failed.
#include <QApplication>
#include <QScreen>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "build_info.h"
#include "formats/lzma/lzma_library.h"
#include "gui/application.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/qt_interaction.h"
#include "ops/console_interaction.h"
#include "platform/command_line.h"
#include "platform/module_path.h"

namespace {

// The manual page is made from this text and the version text.
const char kUsage[] =
    "Usage: ztv-updater [IsRelative] [autoRun]\n"
    "  or:  ztv-updater [IsRelative] [WORD...] backup|restore\n"
    "  or:  ztv-updater --offscreen-screenshot FILE [WORD...]\n"
    "The maintenance program of the ZTV workplace client: installs received update\n"
    "packages, keeps a backup of the installed version and restores from it, and\n"
    "clears the update cache. Its window speaks Russian.\n"
    "\n"
    "Command-line words:\n"
    "  backup       as the last word (any letter case): make the version backup\n"
    "               and end\n"
    "  restore      as the last word (any letter case): restore the installation\n"
    "               from the backup and end\n"
    "  autoRun      as the only word (exact case): start the update when the\n"
    "               window shows\n"
    "  IsRelative   anywhere: take the installation directory from the program's\n"
    "               own location (the parent of its folder)\n"
    "\n"
    "Options:\n"
    "  --offscreen-screenshot FILE\n"
    "               draw the main window into the PNG file FILE instead of\n"
    "               opening it, then end\n"
    "  --help       print this help and end\n"
    "  --version    print the version and the module folders and end\n"
    "\n"
    "Without a display (the platforms offscreen and minimal count as none), batch\n"
    "runs and the automatic update talk on the terminal.\n"
    "Exit status: 0; 1 when a batch run or the automatic update without a display\n"
    "failed, or the screenshot could not be written.\n";

// The version line, then the folders run-time modules are looked for in.
void PrintVersion() {
  std::cout << "ztv-updater " ZTV_VERSION "\nRun-time modules are looked for in:\n";
  for (const std::string& dir : ztv::ModuleSearchDirectories()) std::cout << "  " << dir << "\n";
}

bool HasDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) {
    // A platform the caller chose is a display, unless it draws nowhere:
    // nobody could click a box of "offscreen" or "minimal".
    const std::string name = std::string(platform).substr(0, std::string(platform).find(':'));
    return name != "offscreen" && name != "minimal";
  }
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// Qt's own chatter about the offscreen platform and the runtime directory
// means nothing to an administrator; everything else is passed on.
void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg || type == QtDebugMsg || type == QtInfoMsg) {
    if (message.contains("propagateSizeHints") || message.contains("XDG_RUNTIME_DIR")) return;
  }
  (void)context;
  std::cerr << message.toStdString() << std::endl;
}

// Lets the window's running operation end, processing events meanwhile.
void WaitForOperation(const ztv::TfMain& window) {
  while (window.Busy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace

int main(int argc, char** argv) {
  // Help and version stand alone, so that they never shadow the program's
  // own words.
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    PrintVersion();
    return 0;
  }

  // Our own option is taken off the command line before the program's words
  // are read, so that it never counts as a parameter.
  std::vector<std::string> args;
  std::string screenshot;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (i > 0 && a == "--offscreen-screenshot" && i + 1 < argc) {
      screenshot = argv[++i];
      continue;
    }
    args.push_back(a);
  }
  ztv::SetCommandLine(args);
  const int batchCode = ztv::BatchCodeFromCommandLine();

  const bool display = HasDisplay();
  const bool headless = !display && (batchCode != ztv::kBatchNone || ztv::AutoRunRequested());
  if (!screenshot.empty() || headless) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!display && screenshot.empty() && !headless) {
    std::cerr << "ztv-updater: no display available (set DISPLAY, or use --offscreen-screenshot FILE)" << std::endl;
    return 1;
  }

  qInstallMessageHandler(FilterQtMessages);
  QApplication app(argc, argv);
  ztv::SetUpApplication(app);

  // Without a display a batch run talks on the terminal; a screenshot run has
  // nobody to answer a box, so its errors go to stderr too.
  std::unique_ptr<ztv::Interaction> ui;
  ztv::QtInteraction* qtUi = nullptr;
  if (display && screenshot.empty()) {
    auto q = std::make_unique<ztv::QtInteraction>();
    qtUi = q.get();
    ui = std::move(q);
  } else {
    ui = std::make_unique<ztv::ConsoleInteraction>(screenshot.empty() ? ztv::ConsoleInteraction::Answers::Ask : ztv::ConsoleInteraction::Answers::No, std::cin, std::cout,
                                                   std::cerr, ::isatty(0) && ::isatty(1));
  }

  // A stream that fails inside the 7-Zip decoder is reported in a box of its
  // own before the decoder's result comes back.
  ztv::SetLZMAStreamErrorHandler([ui = ui.get()](const std::string& message) {
    ui->ShowMessage(ztv::kMainCaption, message, ztv::MessageIcon::Error);
  });

  // The windows live for the whole run, created in this order.
  auto fMain = std::make_unique<ztv::TfMain>(*ui, ztv::SystemClock());
  // The log window belongs to the main window and stays above it.
  auto fLog = std::make_unique<ztv::TfLog>(fMain.get());
  if (qtUi) {
    qtUi->SetMainWindow(fMain.get());
    qtUi->SetLogWindow(fLog.get());
  }

  int exitCode = 0;
  if (batchCode != ztv::kBatchNone) {
    // The batch request goes straight to the window, which is never shown;
    // the call returns when the operation has ended.
    if (!fMain->BatchRequest(ztv::ParamCount(), batchCode)) exitCode = 1;
  } else if (!screenshot.empty()) {
    fMain->show();
    fMain->FormShow();
    WaitForOperation(*fMain);  // an automatic update asked for as well ends first
    QApplication::processEvents();
    if (!fMain->grab().save(QString::fromStdString(screenshot))) {
      std::cerr << "ztv-updater: cannot write " << screenshot << std::endl;
      exitCode = 1;
    } else
      std::cout << "screenshot written to " << screenshot << std::endl;
  } else if (headless) {
    // The automatic update without a display: nobody could close the window
    // afterwards, so the program ends with the update, like a batch run.
    bool succeeded = true;
    QObject::connect(fMain.get(), &ztv::TfMain::OperationFinished, [&](bool ok) { succeeded = ok; });
    fMain->show();
    fMain->FormShow();
    // Without a running update the settings could not be read (the error has
    // been shown).
    if (!fMain->Busy()) succeeded = false;
    WaitForOperation(*fMain);
    QApplication::processEvents();
    if (!succeeded) exitCode = 1;
  } else {
    fMain->show();
    app.exec();
  }

  ztv::SetLZMAStreamErrorHandler(nullptr);
  fLog.reset();
  fMain.reset();
  return exitCode;
}
