// The workplace's list of databases and the database password, shared by
// the database replacement and the database optimisation.
//
// The list is read from the installation's IMD.DAT through the MultiRegistry
// component: the children of the key "ЗТВ\Доступные базы", each with the
// integer value "Идентификатор" and the string value "ПутьКБазе".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/imd/static_set.h"

namespace ztv {

inline constexpr const char* kBaseListKey = "ЗТВ\\Доступные базы";
inline constexpr const char* kBaseIdValue = "Идентификатор";
inline constexpr const char* kBasePathValue = "ПутьКБазе";

// The length of the list's Name and DBPath.
inline constexpr size_t kBaseListTextLength = 255;

// The default password of the administrator account "SYSDBA".
inline constexpr const char* kDefaultDbPassword = "tulipwood";

// Makes `list` the empty, open database list: ChangeFlag (integer), ID
// (integer), Name (string, 255), DBPath (string, 255), in that order.
void CreateBaseList(TStaticSet& list);

// One database of the workplace's list.
struct TBaseEntry {
  int32_t ID = 0;
  std::string Name;    // the key's name in the list
  std::string DBPath;  // "ПутьКБазе", possibly with a server prefix
};

// Reads the workplace's databases from `imdFileName` and hands each to
// `visit` once it is read whole, in the component's order. Failures raise as
// ReadBaseList's do, after the databases before were visited. For lists with
// fields of their own.
void VisitBaseList(const std::string& imdFileName, const std::function<void(const TBaseEntry&)>& visit,
                   const std::string& modulePath = {});

// Appends the workplace's databases from `imdFileName`, in the component's
// order, with ChangeFlag 0. A failure of the component raises with its text
// ("Ошибка создания MultiRegistry [%s]" when it cannot be created); a name
// or path longer than the fields hold is refused rather than cut. The
// record being filled is cancelled, records posted before stay. An empty
// `modulePath` loads the module from where run-time modules live.
void ReadBaseList(TStaticSet& list, const std::string& imdFileName, const std::string& modulePath = {});

// The path from its drive letter on: "HOST:C:\base.gdb" -> "C:\base.gdb",
// and for this platform's paths "HOST:/data/base.gdb" -> "/data/base.gdb".
// A path without a host prefix is returned unchanged.
std::string LocalDatabasePath(const std::string& path);

// The password of every database connection of a run and the last state of
// the password dialog's "do not ask again" box (fed back into the dialog and
// used for nothing else).
struct TDbPasswordState {
  std::string DbPassword = kDefaultDbPassword;
  bool DbPasswordDontAsk = false;
};

}  // namespace ztv
