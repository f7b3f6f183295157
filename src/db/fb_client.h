// The client library's entry points, bound at run time with dlopen/dlsym.
// The declarations of ibase.h give the types only; nothing links against the
// library.
#pragma once

#include <ibase.h>

#include <string>

namespace ztv::db {

struct FbApi {
  decltype(&isc_attach_database) attach_database = nullptr;
  decltype(&isc_detach_database) detach_database = nullptr;
  decltype(&isc_start_transaction) start_transaction = nullptr;
  decltype(&isc_commit_transaction) commit_transaction = nullptr;
  decltype(&isc_rollback_transaction) rollback_transaction = nullptr;
  decltype(&isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
  decltype(&isc_dsql_prepare) dsql_prepare = nullptr;
  decltype(&isc_dsql_describe) dsql_describe = nullptr;
  decltype(&isc_dsql_sql_info) dsql_sql_info = nullptr;
  decltype(&isc_dsql_execute) dsql_execute = nullptr;
  decltype(&isc_dsql_execute2) dsql_execute2 = nullptr;
  decltype(&isc_dsql_fetch) dsql_fetch = nullptr;
  decltype(&isc_dsql_free_statement) dsql_free_statement = nullptr;
  decltype(&isc_database_info) database_info = nullptr;
  decltype(&fb_interpret) interpret = nullptr;
  decltype(&isc_sqlcode) sqlcode = nullptr;
  decltype(&isc_service_attach) service_attach = nullptr;
  decltype(&isc_service_detach) service_detach = nullptr;
  decltype(&isc_service_query) service_query = nullptr;
};

// One loaded client library. Libraries are loaded once per name and stay
// loaded for the rest of the process: the client keeps threads and exit
// handlers of its own, which must not outlive its code.
class FbClient {
 public:
  // The library of that name, loading it at the first request. Raises
  // EDatabaseError "InterBase library <name> not found in the path. Please
  // install InterBase to use this functionality" when it cannot be loaded.
  static const FbClient& Get(const std::string& libraryName);

  const FbApi& Api() const { return api_; }

  // Raises EDatabaseError (ERoleError for SQL code -551) when the status
  // vector reports an error.
  void Check(const ISC_STATUS* status) const;
  // The interpreted texts of a status vector, joined by CR LF, without a
  // final full stop.
  std::string StatusText(const ISC_STATUS* status) const;

 private:
  FbApi api_;
  void* handle_ = nullptr;
  std::string name_;
};

}  // namespace ztv::db
