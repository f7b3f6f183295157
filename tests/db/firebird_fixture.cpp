#include "firebird_fixture.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "db/firebird_instance.h"

namespace ztv::test {

std::string SharedFirebirdRoot() {
  const char* base = std::getenv("ZTV_FIREBIRD_ROOT");
  return std::string(base && *base ? base : "/var/tmp/ztv-firebird") + "/root";
}

std::string SharedServerRegistration() {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Firebird Project\\Firebird Server\\Instances]\n"
         "\"DefaultInstance\"=\"/usr\"\n"
         "\"RootDirectory\"=\"" + SharedFirebirdRoot() + "\"\n";
}

std::string ServerName(const std::string& path) { return LoopbackDatabaseName(path, FirebirdPort(SharedFirebirdRoot())); }

int32_t QueryInteger(const std::string& name, const std::string& sql, const std::string& password) {
  TDbConnection db;
  FirebirdTest::Prepare(db, name, password);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  tr.StartTransaction();
  q.SetSQL(sql);
  q.Open();
  const int32_t value = q.FieldAsInteger("V");
  q.Close();
  tr.Commit();
  db.Disconnect();
  return value;
}

int32_t GeneratorValue(const std::string& name, const std::string& generator, const std::string& password) {
  return QueryInteger(name, "select gen_id(" + generator + ", 0) V from single", password);
}

std::string FirebirdServerProblem() {
  TDbConnection db;
  FirebirdTest::Prepare(db, ServerName("/nonexistent/ztv-probe.fdb"));
  try {
    db.Connect();
    db.Disconnect();
    return "a database at /nonexistent/ztv-probe.fdb unexpectedly opened";
  } catch (const EDatabaseError& e) {
    // The server answers a file it cannot open with an I/O error only after
    // it has taken the login.
    const std::string message = e.what();
    if (message.find("I/O error") != std::string::npos) return "";
    return message;
  }
}

void FirebirdTest::SetUp() {
  const std::string problem = FirebirdServerProblem();
  if (!problem.empty()) {
    FAIL() << "The Firebird server on loopback cannot be used (" << problem
           << "). Run `scripts/firebird start` (as root) before these tests.";
  }
  // The server runs as the firebird user and creates the database files
  // itself: the directory must be open to it.
  ASSERT_EQ(::chmod(dir_.Path().c_str(), 0777), 0);
  if (::geteuid() == 0) {
    if (const passwd* user = ::getpwnam("firebird")) {
      ASSERT_EQ(::chown(dir_.Path().c_str(), user->pw_uid, user->pw_gid), 0);
    }
  }
}

std::string FirebirdTest::CreateDatabase(const std::string& fileName, const std::string& extraSql) {
  const std::string path = dir_ / fileName;
  const std::string name = ServerName(path);
  const std::string script = dir_ / (fileName + ".sql");
  WriteFile(script,
            "SET SQL DIALECT 1;\n"
            "CREATE DATABASE '" + name + "' USER 'SYSDBA' PASSWORD '" + kSysdbaPassword + "' PAGE_SIZE 4096;\n"
            "CREATE GENERATOR g_shared;\n"
            "CREATE GENERATOR G_NUMBEROFREQUESTS;\n"
            "CREATE TABLE single (id INTEGER);\n"
            "INSERT INTO single VALUES (1);\n"
            "CREATE TABLE IntConst (ProgIndex INTEGER, ConstIndex INTEGER, ConstValue INTEGER);\n" +
                extraSql + "COMMIT;\n");
  std::string output;
  const int status = RunShell("isql-fb -b -q -i '" + script + "'", output);
  EXPECT_EQ(status, 0) << output;
  return name;
}

void FirebirdTest::Isql(const std::string& name, const std::string& sql) {
  const std::string script = dir_ / "isql-run.sql";
  WriteFile(script, "SET SQL DIALECT 1;\nCONNECT '" + name + "' USER 'SYSDBA' PASSWORD '" + kSysdbaPassword + "';\n" +
                        sql + "\nCOMMIT;\n");
  std::string output;
  const int status = RunShell("isql-fb -b -q -i '" + script + "'", output);
  ASSERT_EQ(status, 0) << output;
}

void FirebirdTest::Prepare(TDbConnection& db, const std::string& name, const std::string& password) {
  db.SetDatabaseName(name);
  db.SetParam("isc_dpb_user_name", "SYSDBA");
  db.SetParam("isc_dpb_password", password);
}

}  // namespace ztv::test
