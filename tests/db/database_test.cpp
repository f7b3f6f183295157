#include "db/database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "firebird_fixture.h"
#include "db/firebird_instance.h"

namespace ztv {
namespace {

using test::FirebirdTest;

// Reads one integer the way the callers do: start, set the text, open, read
// when there is a row, close, commit; on failure close and roll back.
void ReadInteger(TDbTransaction& tr, TDbQuery& q, const std::string& sql, const std::string& field, int32_t& value) {
  try {
    tr.StartTransaction();
    q.Close();
    q.SetSQL(sql);
    q.Open();
    if (!q.IsEmpty()) value = q.FieldAsInteger(field);
    q.Close();
    tr.Commit();
  } catch (const Exception&) {
    q.Close();
    tr.Rollback();
    throw;
  }
}

TEST(DbNames, HostlessNamesGoThroughTheLoopbackServer) {
  EXPECT_EQ(LoopbackDatabaseName("/data/base.gdb", 3051), "127.0.0.1/3051:/data/base.gdb");
  EXPECT_EQ(LoopbackDatabaseName("rel.gdb", 3050).rfind("127.0.0.1/3050:/", 0), 0u);
  // Names with a host, a port or a protocol are the caller's own choice.
  for (const char* name : {"localhost:/data/base.gdb", "server/3052:/data/base.gdb", "host:C:\\Data\\base.gdb",
                           "inet://host/data/base.gdb", "127.0.0.1:/x.gdb"}) {
    EXPECT_TRUE(HasServerPrefix(name)) << name;
    EXPECT_EQ(LoopbackDatabaseName(name, 3050), name);
  }
  // A drive letter is not a host; a folder named like "a:b" below a path is
  // not one either.
  EXPECT_FALSE(HasServerPrefix("C:\\Data\\base.gdb"));
  EXPECT_FALSE(HasServerPrefix("/srv/a:b/base.gdb"));
  EXPECT_FALSE(HasServerPrefix("dir/a:b.gdb"));
  EXPECT_EQ(LoopbackDatabaseName("", 3050), "");
}

TEST(DbLibrary, MissingClientLibraryIsNamed) {
  TDbConnection db("libztv-missing-client.so.2");
  db.SetDatabaseName("localhost:/tmp/x.fdb");
  try {
    db.Connect();
    FAIL() << "connected without a client library";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "InterBase library libztv-missing-client.so.2 not found in the path. Please install InterBase "
                 "to use this functionality");
  }
  EXPECT_FALSE(db.Connected());
}

TEST_F(FirebirdTest, WrongPasswordGivesTheClientsMessage) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name, "not-the-password");
  try {
    db.Connect();
    FAIL() << "connected with a wrong password";
  } catch (const ERoleError&) {
    FAIL() << "a login failure is no role error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(),
                 "Your user name and password are not defined. Ask your database administrator to set up a "
                 "Firebird login");
    EXPECT_NE(e.SqlCode(), 0);
  }
  EXPECT_FALSE(db.Connected());
  // The password the user then types replaces the earlier one.
  db.SetParam("isc_dpb_password", test::kSysdbaPassword);
  EXPECT_NO_THROW(db.Connect());
  EXPECT_TRUE(db.Connected());
  db.Disconnect();
  EXPECT_FALSE(db.Connected());
  EXPECT_NO_THROW(db.Disconnect()) << "disconnecting twice is harmless";
}

TEST_F(FirebirdTest, MissingFileGivesTheClientsIoMessage) {
  const std::string path = dir_ / "absent.gdb";
  TDbConnection db;
  Prepare(db, test::ServerName(path));
  try {
    db.Connect();
    FAIL() << "connected to a missing file";
  } catch (const EDatabaseError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("I/O error during \"open\" operation for file \"" + path + "\"\r\n", 0), 0u) << message;
    EXPECT_NE(message.find("\r\nNo such file or directory"), std::string::npos) << message;
    size_t lineFeeds = 0;
    size_t crLfs = 0;
    for (size_t i = 0; i < message.size(); ++i) {
      if (message[i] == '\n') ++lineFeeds;
      if (message.compare(i, 2, "\r\n") == 0) ++crLfs;
    }
    EXPECT_EQ(lineFeeds, crLfs) << "every line break is CR LF: " << message;
    EXPECT_NE(message.back(), '.');
  }
}

TEST_F(FirebirdTest, ParameterNamesFollowTheClientsItems) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  db.SetDatabaseName(name);
  db.SetParam("ISC_DPB_USER_NAME", "SYSDBA");
  db.SetParam("password", "wrong");
  // Same item, other spelling: replaces the earlier line.
  db.SetParam("PASSWORD", test::kSysdbaPassword);
  EXPECT_EQ(db.Param("password"), test::kSysdbaPassword);
  // Lines that name no item of the client are left out.
  db.SetParam("isc_dpb_no_such_item", "x");
  EXPECT_NO_THROW(db.Connect());
}

TEST_F(FirebirdTest, QueryWithoutRowLeavesTheValueAlone) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  const std::string sql = "select ConstValue from IntConst where (ProgIndex=1000)and(ConstIndex=46)";
  int32_t limit = 7;
  ReadInteger(tr, q, sql, "ConstValue", limit);
  EXPECT_EQ(limit, 7);

  tr.StartTransaction();
  q.SetSQL("insert into IntConst (ProgIndex, ConstIndex, ConstValue) values (1000, 46, 5001)");
  q.ExecSQL();
  tr.Commit();
  ReadInteger(tr, q, sql, "constvalue", limit);
  EXPECT_EQ(limit, 5001);
}

TEST_F(FirebirdTest, GeneratorAssignmentSurvivesDisconnectWithoutCommit) {
  const std::string name = CreateDatabase("base.gdb");
  ASSERT_EQ(test::GeneratorValue(name, "g_shared"), 0);
  {
    TDbConnection db;
    Prepare(db, name);
    db.Connect();
    TDbTransaction tr(db);
    TDbQuery q(db, tr);
    tr.StartTransaction();
    q.SetSQL("set generator g_shared to 4242");
    q.ExecSQL();
    db.Disconnect();
    EXPECT_FALSE(tr.Active());
  }
  EXPECT_EQ(test::GeneratorValue(name, "g_shared"), 4242);
}

TEST_F(FirebirdTest, DisconnectCommitsAndRollbackUndoes) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  auto rows = [&] {
    int32_t count = -1;
    ReadInteger(tr, q, "select count(*) N from IntConst", "N", count);
    return count;
  };

  db.Connect();
  tr.StartTransaction();
  q.SetSQL("insert into IntConst values (1, 1, 1)");
  q.ExecSQL();
  tr.Rollback();
  EXPECT_EQ(rows(), 0);

  tr.StartTransaction();
  q.SetSQL("insert into IntConst values (2, 2, 2)");
  q.ExecSQL();
  db.Disconnect();  // no commit of our own
  db.Connect();
  EXPECT_EQ(rows(), 1);
}

TEST_F(FirebirdTest, SetGeneratorRunsThroughOpenAndHoldsNoRows) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  tr.StartTransaction();
  q.SetSQL("SET GENERATOR G_NUMBEROFREQUESTS TO 5001");
  q.Open();
  EXPECT_TRUE(q.Active());
  EXPECT_TRUE(q.IsEmpty());
  EXPECT_TRUE(q.Eof());
  q.Close();
  tr.Commit();
  db.Disconnect();
  EXPECT_EQ(test::GeneratorValue(name, "G_NUMBEROFREQUESTS"), 5001);
}

TEST_F(FirebirdTest, AttachmentListCountsEveryAttachment) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  db.Connect();
  TDbInfo info(db);
  const std::vector<std::string> alone = info.UserNames();
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0], "SYSDBA");

  // Two isql-fb sessions stay attached while their input is open.
  const std::string command =
      "isql-fb -q -user SYSDBA -password " + std::string(test::kSysdbaPassword) + " '" + name + "' >/dev/null 2>&1";
  FILE* first = ::popen(command.c_str(), "w");
  FILE* second = ::popen(command.c_str(), "w");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  size_t seen = 0;
  for (int i = 0; i < 200 && seen != 3; ++i) {
    seen = info.UserNames().size();
    if (seen != 3) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(seen, 3u);
  ::pclose(first);
  ::pclose(second);
  for (int i = 0; i < 200 && seen != 1; ++i) {
    seen = info.UserNames().size();
    if (seen != 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(seen, 1u);
}

TEST_F(FirebirdTest, MissingPermissionRaisesTheRoleError) {
  const std::string name = CreateDatabase("base.gdb");
  const std::string user = "ZTV_NO_RIGHTS";
  TDbConnection admin;
  Prepare(admin, name);
  admin.Connect();
  TDbTransaction adminTr(admin);
  TDbQuery adminQ(admin, adminTr);
  adminTr.StartTransaction();
  adminQ.SetSQL("create or alter user " + user + " password 'plain1'");
  adminQ.ExecSQL();
  adminTr.Commit();

  TDbConnection db;
  db.SetDatabaseName(name);
  db.SetParam("isc_dpb_user_name", user);
  db.SetParam("isc_dpb_password", "plain1");
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  tr.StartTransaction();
  q.SetSQL("select id from single");
  try {
    q.Open();
    ADD_FAILURE() << "read a table without the right to";
  } catch (const ERoleError& e) {
    EXPECT_EQ(e.SqlCode(), -551);
    EXPECT_NE(std::string(e.what()).find("no permission for SELECT access to TABLE SINGLE"), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).back(), '.');
  }
  EXPECT_FALSE(q.Active());
  tr.Rollback();
  db.Disconnect();

  adminTr.StartTransaction();
  adminQ.SetSQL("drop user " + user);
  adminQ.ExecSQL();
  adminTr.Commit();
}

TEST_F(FirebirdTest, StatementErrorsCarryTheClientsLines) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  tr.StartTransaction();
  q.SetSQL("select x from no_such_table");
  try {
    q.Open();
    FAIL() << "opened a query on a missing table";
  } catch (const ERoleError&) {
    FAIL() << "not a permission problem";
  } catch (const EDatabaseError& e) {
    const std::string message = e.what();
    EXPECT_EQ(e.SqlCode(), -204);
    EXPECT_EQ(message.rfind("Dynamic SQL Error\r\n", 0), 0u) << message;
    EXPECT_NE(message.find("\r\nTable unknown\r\nNO_SUCH_TABLE"), std::string::npos) << message;
  }
  EXPECT_FALSE(q.Active());
  // The transaction is still usable after the failure.
  q.SetSQL("select id from single");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("ID"), 1);
}

TEST_F(FirebirdTest, RowsAreReadInOrderAndFieldsConverted) {
  const std::string name = CreateDatabase(
      "base.gdb",
      "INSERT INTO IntConst VALUES (1, 10, 100);\n"
      "INSERT INTO IntConst VALUES (2, 20, NULL);\n"
      "INSERT INTO IntConst VALUES (3, 30, -300);\n");
  TDbConnection db;
  Prepare(db, name);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  tr.StartTransaction();
  q.SetSQL("select ProgIndex, ConstValue from IntConst order by ProgIndex");
  q.Open();
  std::vector<std::pair<int32_t, int32_t>> rows;
  std::vector<bool> nulls;
  for (; !q.Eof(); q.Next()) {
    rows.emplace_back(q.FieldAsInteger("ProgIndex"), q.FieldAsInteger("ConstValue"));
    nulls.push_back(q.FieldIsNull("ConstValue"));
  }
  EXPECT_EQ(rows, (std::vector<std::pair<int32_t, int32_t>>{{1, 100}, {2, 0}, {3, -300}}));
  EXPECT_EQ(nulls, (std::vector<bool>{false, true, false}));
  EXPECT_THROW(q.FieldAsInteger("ProgIndex"), EDatabaseError) << "past the last row";
  q.Close();

  q.SetSQL(
      "select cast(' 42 ' as varchar(10)) S, cast('17' as char(5)) C, 2.75 D, cast(-2.75 as numeric(9,2)) N, "
      "cast(3000000000 as double precision) BIG, cast('x1' as varchar(5)) BAD from single");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("s"), 42);
  EXPECT_EQ(q.FieldAsInteger("c"), 17);
  EXPECT_EQ(q.FieldAsInteger("d"), 2);
  EXPECT_EQ(q.FieldAsInteger("n"), -2);
  EXPECT_THROW(q.FieldAsInteger("big"), EDatabaseError);
  EXPECT_THROW(q.FieldAsInteger("bad"), EDatabaseError);
  EXPECT_THROW(q.FieldAsInteger("missing"), EDatabaseError);
  EXPECT_EQ(q.FieldNames(), (std::vector<std::string>{"S", "C", "D", "N", "BIG", "BAD"}));
}

TEST_F(FirebirdTest, QueryStateRules) {
  const std::string name = CreateDatabase("base.gdb");
  TDbConnection db;
  Prepare(db, name);
  TDbTransaction tr(db);
  TDbQuery q(db, tr);

  q.SetSQL("select id from single");
  EXPECT_THROW(tr.StartTransaction(), EDatabaseError) << "not connected";
  db.Connect();
  EXPECT_THROW(q.Open(), EDatabaseError) << "no active transaction";
  EXPECT_THROW(tr.Commit(), EDatabaseError) << "nothing to commit";
  EXPECT_NO_THROW(tr.Rollback()) << "rolling back nothing is harmless";

  tr.StartTransaction();
  EXPECT_THROW(tr.StartTransaction(), EDatabaseError) << "already active";
  q.Open();
  EXPECT_THROW(q.SetSQL("select 2 from single"), EDatabaseError) << "text changed while open";
  EXPECT_EQ(q.SQL(), "select id from single");
  tr.Commit();
  EXPECT_FALSE(q.Active()) << "the commit ends the cursor";

  q.SetSQL("   ");
  tr.StartTransaction();
  try {
    q.Open();
    FAIL() << "opened an empty text";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Empty query");
  }
  tr.Rollback();
}

TEST_F(FirebirdTest, ConnectingAgainMovesToTheCurrentDatabase) {
  const std::string first = CreateDatabase("first.gdb");
  const std::string second = CreateDatabase("second.gdb");
  Isql(second, "SET GENERATOR g_shared TO 222;");
  TDbConnection db;
  Prepare(db, first);
  db.Connect();
  TDbTransaction tr(db);
  TDbQuery q(db, tr);
  // Left connected by an earlier failure; the next database's connect must
  // still reach the next database.
  db.SetDatabaseName(second);
  db.Connect();
  int32_t value = -1;
  ReadInteger(tr, q, "select gen_id (g_shared, 0) OldID from Single", "OldID", value);
  EXPECT_EQ(value, 222);
}

TEST_F(FirebirdTest, DestroyingTheConnectionFirstLeavesSafeComponents) {
  const std::string name = CreateDatabase("base.gdb");
  auto db = std::make_unique<TDbConnection>();
  Prepare(*db, name);
  db->Connect();
  TDbTransaction tr(*db);
  TDbQuery q(*db, tr);
  tr.StartTransaction();
  q.SetSQL("insert into IntConst values (5, 5, 5)");
  q.ExecSQL();
  q.SetSQL("select id from single");
  q.Open();
  db.reset();  // commits, ends the cursor
  EXPECT_FALSE(tr.Active());
  EXPECT_FALSE(q.Active());
  EXPECT_THROW(tr.StartTransaction(), EDatabaseError);
  EXPECT_THROW(q.Open(), EDatabaseError);

  TDbConnection check;
  Prepare(check, name);
  check.Connect();
  TDbTransaction checkTr(check);
  TDbQuery checkQ(check, checkTr);
  int32_t count = -1;
  ReadInteger(checkTr, checkQ, "select count(*) N from IntConst", "N", count);
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace ztv
