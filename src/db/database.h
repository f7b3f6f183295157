// Access to the workplace's Firebird/InterBase databases through the client
// library, loaded at run time (libfbclient.so.2 here).
//
// Four small components, used the way the database replacement and the
// optimisation window use them:
//
//   TDbConnection db;                       // "DbConnectZtv"
//   TDbTransaction tr(db);                  // "Transaction"
//   TDbQuery q(db, tr);                     // "qZtv"
//   TDbInfo info(db);                       // "IbDbInfo"
//
//   db.SetDatabaseName("localhost:/data/base.gdb");
//   db.SetParam("isc_dpb_user_name", "SYSDBA");
//   db.SetParam("isc_dpb_password", password);
//   db.Connect();
//   tr.StartTransaction();
//   q.SetSQL("select ConstValue from IntConst where ...");
//   q.Open();
//   if (!q.IsEmpty()) value = q.FieldAsInteger("ConstValue");
//   q.Close();
//   tr.Commit();
//   db.Disconnect();                        // commits a transaction still open
//
// Every statement runs in SQL dialect 1. Failures of the client library
// raise EDatabaseError (ERoleError for a missing permission) with the
// client's own texts; both derive from ztv::Exception, so callers that wrap
// errors with their context catch them.
//
// The components belong to one thread. A transaction or query must not be
// used after its connection is destroyed (they then raise an error).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"

namespace ztv {

// The name the client library is loaded under.
extern const char kFbClientLibraryName[];

// A failed call of the client library. The message is the client's
// interpreted status texts, one per line (CR LF between lines), without a
// final full stop; the SQL code is kept apart.
class EDatabaseError : public Exception {
 public:
  EDatabaseError(std::string message, int sqlCode, intptr_t errorCode)
      : Exception(std::move(message)), sqlCode_(sqlCode), errorCode_(errorCode) {}
  // The SQL code of the status (0 when the failure was no client call).
  int SqlCode() const noexcept { return sqlCode_; }
  // The client's first error code of the status (0 when none).
  intptr_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int sqlCode_;
  intptr_t errorCode_;
};

// A failure with SQL code -551: the user lacks a permission.
class ERoleError : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

class TDbTransaction;
class TDbQuery;

namespace db {
class FbClient;
}

class TDbConnection {
 public:
  // The client library is loaded at the first Connect; when it cannot be
  // loaded, Connect raises "InterBase library <name> not found in the path.
  // Please install InterBase to use this functionality".
  explicit TDbConnection(std::string libraryName = kFbClientLibraryName);
  // Disconnects (committing an open transaction); errors are swallowed.
  ~TDbConnection();
  TDbConnection(const TDbConnection&) = delete;
  TDbConnection& operator=(const TDbConnection&) = delete;

  // A database file path, possibly with a server prefix ("host:/path").
  // Takes effect at the next Connect. A name without a host goes through
  // the registered local server on loopback, never opened by the client
  // library itself: passwords are checked and the files stay the server's.
  void SetDatabaseName(const std::string& name) { databaseName_ = name; }
  const std::string& DatabaseName() const { return databaseName_; }

  // Sets a "name=value" line of the parameter list, replacing an earlier
  // line of the same name (names compared without regard to case).
  void SetParam(const std::string& name, const std::string& value);
  // The value of a line, "" when there is none.
  std::string Param(const std::string& name) const;
  void ClearParams() { params_.clear(); }

  // Attaches to the database with the parameter list. Connecting while
  // connected first disconnects, so the connection always ends up on the
  // current database name and parameters. A server that does not answer
  // fails the attachment after kConnectTimeoutSec seconds (unless the list
  // sets its own "isc_dpb_connect_timeout").
  void Connect();
  // Ends open queries, commits an active transaction and detaches. When the
  // commit fails, the transaction is rolled back, the connection is still
  // detached, and the commit's error is raised.
  void Disconnect();
  bool Connected() const { return handle_ != 0; }

  // The dialect of every statement on this connection.
  static constexpr int kSqlDialect = 1;
  static constexpr int kConnectTimeoutSec = 15;

 private:
  friend class TDbTransaction;
  friend class TDbQuery;
  friend class TDbInfo;

  const db::FbClient& Client() const;
  unsigned int* Handle() { return &handle_; }
  void CheckConnected() const;
  void CloseQueries(const TDbTransaction* transaction);

  std::string libraryName_;
  mutable const db::FbClient* client_ = nullptr;  // loaded at first use
  std::string databaseName_;
  std::vector<std::pair<std::string, std::string>> params_;
  unsigned int handle_ = 0;
  std::vector<TDbTransaction*> transactions_;
  std::vector<TDbQuery*> queries_;
};

class TDbTransaction {
 public:
  explicit TDbTransaction(TDbConnection& connection);
  // An active transaction ends with its default action, commit (rolled back
  // when the commit fails); errors are swallowed.
  ~TDbTransaction();
  TDbTransaction(const TDbTransaction&) = delete;
  TDbTransaction& operator=(const TDbTransaction&) = delete;

  // Raises when the transaction is already active or the connection is not
  // connected.
  void StartTransaction();
  // Raises when the transaction is not active. Closes its open queries.
  void Commit();
  // Rolls back an active transaction (closing its open queries); does
  // nothing when none is active, so error handlers may call it freely.
  void Rollback();
  bool Active() const { return handle_ != 0; }

 private:
  friend class TDbConnection;
  friend class TDbQuery;

  void End(bool commit);
  void Detach() { connection_ = nullptr; handle_ = 0; }

  TDbConnection* connection_;
  unsigned int handle_ = 0;
};

class TDbQuery {
 public:
  TDbQuery(TDbConnection& connection, TDbTransaction& transaction);
  ~TDbQuery();
  TDbQuery(const TDbQuery&) = delete;
  TDbQuery& operator=(const TDbQuery&) = delete;

  // The statement text; may only be changed while the query is closed.
  void SetSQL(const std::string& sql);
  const std::string& SQL() const { return sql_; }

  // Prepares the text in dialect 1. A statement that returns rows (a select,
  // also one for update) is opened as a cursor and its first row fetched;
  // a procedure call with outputs holds its one row; any other statement is
  // simply executed and the query holds no rows. An empty text is an error.
  void Open();
  // Closes the cursor and frees the statement; nothing when closed.
  void Close();
  // Prepares and executes the text without fetching; the query stays closed.
  void ExecSQL();

  bool Active() const { return open_; }
  // True when the open query holds no row.
  bool IsEmpty() const;
  // True when the open query has moved past its last row.
  bool Eof() const;
  // Moves to the next row.
  void Next();

  // Names of the result columns (aliases as the server reports them).
  std::vector<std::string> FieldNames() const;
  // Reads a field of the current row by name (case-insensitive) as a 32-bit
  // integer. NULL reads as 0; numbers outside the 32-bit range and values
  // that are no numbers raise an error.
  int32_t FieldAsInteger(const std::string& name) const;
  bool FieldIsNull(const std::string& name) const;

 private:
  friend class TDbConnection;
  struct Statement;

  void Prepare();
  void Execute(bool forOpen);
  void Fetch();
  void FreeStatement() noexcept;
  void CheckUsable() const;
  void CheckRow() const;
  int FieldIndex(const std::string& name) const;
  void DetachConnection() { connection_ = nullptr; FreeStatement(); }

  TDbConnection* connection_;
  TDbTransaction* transaction_;
  std::string sql_;
  bool open_ = false;
  bool eof_ = true;
  bool empty_ = true;
  std::unique_ptr<Statement> statement_;
};

class TDbInfo {
 public:
  explicit TDbInfo(TDbConnection& connection) : connection_(&connection) {}

  // The user name of every attachment of the connected database, the
  // connection's own attachment included.
  std::vector<std::string> UserNames() const;

 private:
  TDbConnection* connection_;
};

}  // namespace ztv
