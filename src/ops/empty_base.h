// TDM: replaces one workplace database by the installation's empty template
// "Database\tolvanrm_empty.gdb" with the server stopped, carrying the value
// of the generator g_shared over from the old database to the new one.
//
//   TDM dm(ui, clock, passwordState, server);
//   std::string result = dm.ReplaceWithEmpty("/srv/ztv/base.gdb", "/opt/ztv");   // "OK" or the failure
//
// The connections go through the running server (see db/database.h), as
// SYSDBA with the run's password; the password dialog is shown at most once,
// at the first connection the default password cannot open.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "db/database.h"
#include "ops/base_list.h"
#include "ops/interaction.h"
#include "platform/clock.h"

namespace ztv {

inline constexpr const char* kEmptyBaseTemplate = "Database\\tolvanrm_empty.gdb";

// What the replacement needs of the main window's server control.
struct TDMServerControl {
  // Whether any database server runs (a guardian or a server program).
  std::function<bool()> Running;
  // Stops the server into the main window's server record.
  std::function<void()> Stop;
  // Starts the server of that record.
  std::function<void()> Start;
};

class TDM {
 public:
  TDM(Interaction& ui, Clock& clock, TDbPasswordState& password, TDMServerControl server);

  // Replaces the database at `DbPath` by the template of `InstallDir`.
  // Returns "OK" or the message of the failure; never raises for an
  // ordinary error.
  std::string ReplaceWithEmpty(const std::string& DbPath, const std::string& InstallDir);

  // The steps, each raising its own message.
  void Connect();
  void Disconnect();
  void SaveGenerator();
  // Puts a copy of the template in the database's place: the copy is made
  // beside the database, synced and renamed over it, so the old file stays
  // whole until the new one is complete; it takes the old file's owner,
  // group and mode.
  void CopyEmptyBase();
  void RestoreGenerator();

  // The template of the current replacement.
  std::string TemplatePath() const;

  int32_t FSavedGenerator = 0;
  std::string FInstallDir;
  std::string FDatabasePath;

  TDbConnection DbConnectZtv;
  TDbTransaction Transaction{DbConnectZtv};
  TDbQuery qZtv{DbConnectZtv, Transaction};

 private:
  // `text` with every occurrence of the password hidden.
  std::string Hidden(const std::string& text) const;

  Interaction& ui_;
  Clock& clock_;
  TDbPasswordState& password_;
  TDMServerControl server_;
};

}  // namespace ztv
