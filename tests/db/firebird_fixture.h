// Tests against the real Firebird server on loopback (the private instance
// that `scripts/firebird start` runs), with dialect-1 databases that each test
// creates through isql-fb in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "db/database.h"
#include "support/temp_dir.h"

namespace ztv::test {

inline constexpr char kSysdbaPassword[] = "tulipwood";

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
