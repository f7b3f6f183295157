// Tests against the real Firebird server on loopback (the private instance
// that `scripts/firebird start` runs), with dialect-1 databases that each test
// creates through isql-fb in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "db/database.h"
#include "support/temp_dir.h"

namespace ztv::test {

inline constexpr char kSysdbaPassword[] = "tulipwood";

// The root folder of the shared test instance (ZTV_FIREBIRD_ROOT, default
// /var/tmp/ztv-firebird, + "/root"): its firebird.conf sets the port.
std::string SharedFirebirdRoot();

// Registry text that registers the distribution's server (/usr) with the
// shared instance's root, as an administrator registers it: the server
// check finds it running, gbak is found beside it, and host-less names
// reach it on its port.
std::string SharedServerRegistration();

// The value named V in the first row of `sql`, read on the database `name`
// as SYSDBA in a connection of its own.
int32_t QueryInteger(const std::string& name, const std::string& sql, const std::string& password = kSysdbaPassword);
// The current value of a generator of the database `name`.
int32_t GeneratorValue(const std::string& name, const std::string& generator,
                       const std::string& password = kSysdbaPassword);

// "" when the server answers on loopback and takes the SYSDBA password,
// otherwise what is wrong.
std::string FirebirdServerProblem();

// The name that reaches a database file through the test server:
// "127.0.0.1/PORT:path", PORT as the instance's firebird.conf sets it
// (ZTV_FIREBIRD_ROOT, default /var/tmp/ztv-firebird).
std::string ServerName(const std::string& path);

class FirebirdTest : public ::testing::Test {
 public:
  // Sets the name and the SYSDBA parameters the way the callers do.
  static void Prepare(TDbConnection& db, const std::string& name, const std::string& password = kSysdbaPassword);

 protected:
  // Fails the test (it is never skipped) when the server is not there.
  void SetUp() override;

  // Creates a dialect-1 database with the workplace's objects: generators
  // g_shared and G_NUMBEROFREQUESTS, the one-row table single and the table
  // IntConst (ProgIndex, ConstIndex, ConstValue). Returns the name that
  // reaches it through the server (ServerName).
  std::string CreateDatabase(const std::string& fileName, const std::string& extraSql = "");

  // Runs statements through isql-fb on the database (a separate attachment).
  void Isql(const std::string& name, const std::string& sql);

  TempDir dir_;
};

}  // namespace ztv::test
