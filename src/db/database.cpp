#include "db/database.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/text.h"
#include "db/db_buffers.h"
#include "db/fb_client.h"
#include "db/firebird_instance.h"

namespace ztv {

const char kFbClientLibraryName[] = "libfbclient.so.2";

namespace {

constexpr int kRowsFetched = 100;      // isc_dsql_fetch: no more rows
constexpr size_t kInfoReplyStart = 1024;
constexpr size_t kInfoReplyMax = 1 << 20;

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message, 0, 0); }

// Names and values from the server in the program's UTF-8.
std::string ClientTextSafe(const std::string& bytes) {
  return IsValidUtf8(bytes) ? bytes : Cp1251ToUtf8(bytes);
}

// Statement texts go to the server as the databases hold their text: in code
// page 1251 (the connection has no character set of its own). Text that code
// page cannot express is sent as it is.
std::string StatementBytes(const std::string& sql) {
  std::string bytes;
  return TryUtf8ToCp1251(sql, bytes) ? bytes : sql;
}

int64_t PowerOfTen(int exponent) {
  int64_t result = 1;
  for (int i = 0; i < exponent; ++i) result *= 10;
  return result;
}

int32_t CheckedInt32(long double value, const std::string& field) {
  if (std::isnan(value) || value < static_cast<long double>(std::numeric_limits<int32_t>::min()) ||
      value > static_cast<long double>(std::numeric_limits<int32_t>::max())) {
    Fail(Format("Value of field %s is out of the integer range", field));
  }
  return static_cast<int32_t>(value);
}

int32_t ScaledInt32(int64_t value, int scale, const std::string& field) {
  if (scale < 0) {
    // Truncated toward zero, as integer reads of decimal fields do.
    if (scale < -18) return 0;
    value /= PowerOfTen(-scale);
  } else if (scale > 0) {
    return CheckedInt32(static_cast<long double>(value) * static_cast<long double>(PowerOfTen(std::min(scale, 18))),
                        field);
  }
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    Fail(Format("Value of field %s is out of the integer range", field));
  }
  return static_cast<int32_t>(value);
}

int32_t TextToInt32(std::string text, const std::string& field) {
  text = Trim(text);
  int32_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || end != last) {
    Fail(Format("Value \"%s\" of field %s is not an integer", ClientTextSafe(text), field));
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Statement storage: the output descriptor and the buffers it points into.

struct TDbQuery::Statement {
  isc_stmt_handle handle = 0;
  int type = 0;
  std::vector<std::max_align_t> sqldaStorage;
  std::vector<std::vector<char>> data;
  std::vector<ISC_SHORT> nulls;
  std::vector<std::string> names;

  XSQLDA* Sqlda() { return reinterpret_cast<XSQLDA*>(sqldaStorage.data()); }
  const XSQLDA* Sqlda() const { return reinterpret_cast<const XSQLDA*>(sqldaStorage.data()); }

  void Allocate(int columns) {
    const int n = std::max(columns, 1);
    const size_t bytes = sizeof(XSQLDA) + static_cast<size_t>(n - 1) * sizeof(XSQLVAR);
    sqldaStorage.assign((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), std::max_align_t{});
    XSQLDA* da = Sqlda();
    std::memset(static_cast<void*>(da), 0, bytes);
    da->version = SQLDA_VERSION1;
    da->sqln = static_cast<ISC_SHORT>(n);
  }

  // Points every column at a buffer of the size the server described.
  void BindColumns() {
    XSQLDA* da = Sqlda();
    const int count = std::clamp<int>(da->sqld, 0, da->sqln);
    data.assign(static_cast<size_t>(count), {});
    nulls.assign(static_cast<size_t>(count), 0);
    names.assign(static_cast<size_t>(count), {});
    for (int i = 0; i < count; ++i) {
      XSQLVAR& var = da->sqlvar[i];
      size_t size = static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 0));
      if ((var.sqltype & ~1) == SQL_VARYING) size += sizeof(ISC_SHORT);
      data[static_cast<size_t>(i)].assign(std::max<size_t>(size, 1) + sizeof(ISC_INT64), 0);
      var.sqldata = data[static_cast<size_t>(i)].data();
      var.sqlind = &nulls[static_cast<size_t>(i)];
      const size_t nameLength =
          static_cast<size_t>(std::clamp<int>(var.aliasname_length, 0, static_cast<int>(sizeof var.aliasname)));
      names[static_cast<size_t>(i)] = ClientTextSafe(std::string(var.aliasname, nameLength));
    }
  }

  bool ReturnsRows() const {
    return type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;
  }
  int Columns() const { return static_cast<int>(names.size()); }
};

// ---------------------------------------------------------------------------
// TDbConnection

TDbConnection::TDbConnection(std::string libraryName) : libraryName_(std::move(libraryName)) {}

TDbConnection::~TDbConnection() {
  try {
    Disconnect();
  } catch (...) {
    // A destructor reports nothing; the transaction was rolled back.
  }
  for (TDbTransaction* transaction : transactions_) transaction->Detach();
  for (TDbQuery* query : queries_) query->DetachConnection();
}

void TDbConnection::SetParam(const std::string& name, const std::string& value) {
  for (auto& [key, existing] : params_) {
    if (SameText(key, name)) {
      existing = value;
      return;
    }
  }
  params_.emplace_back(name, value);
}

std::string TDbConnection::Param(const std::string& name) const {
  for (const auto& [key, value] : params_) {
    if (SameText(key, name)) return value;
  }
  return {};
}

const db::FbClient& TDbConnection::Client() const {
  if (!client_) client_ = &db::FbClient::Get(libraryName_);
  return *client_;
}

void TDbConnection::CheckConnected() const {
  if (!Connected()) Fail("Database not connected");
}

void TDbConnection::Connect() {
  if (Connected()) Disconnect();
  const db::FbClient& client = Client();
  if (databaseName_.empty()) Fail("Database name is missing");
  if (databaseName_.size() > static_cast<size_t>(std::numeric_limits<short>::max())) Fail("Database name is too long");
  auto params = params_;
  const bool hasTimeout = std::any_of(params.begin(), params.end(),
                                      [](const auto& p) { return SameText(p.first, "isc_dpb_connect_timeout"); });
  if (!hasTimeout) params.emplace_back("isc_dpb_connect_timeout", std::to_string(kConnectTimeoutSec));
  const std::string dpb = db::BuildDpb(params);
  if (dpb.size() > static_cast<size_t>(std::numeric_limits<short>::max())) Fail("Database parameter list is too long");
  const std::string name = LoopbackDatabaseName(databaseName_);
  if (name.size() > static_cast<size_t>(std::numeric_limits<short>::max())) Fail("Database name is too long");
  ISC_STATUS_ARRAY status = {};
  isc_db_handle handle = 0;
  client.Api().attach_database(status, static_cast<short>(name.size()), name.c_str(), &handle,
                               static_cast<short>(dpb.size()), dpb.data());
  client.Check(status);
  handle_ = handle;
}

void TDbConnection::CloseQueries(const TDbTransaction* transaction) {
  for (TDbQuery* query : queries_) {
    if (!transaction || query->transaction_ == transaction) query->Close();
  }
}

void TDbConnection::Disconnect() {
  if (!Connected()) return;
  const db::FbClient& client = Client();
  CloseQueries(nullptr);
  std::exception_ptr failure;
  for (TDbTransaction* transaction : transactions_) {
    if (!transaction->Active()) continue;
    try {
      transaction->End(true);
    } catch (...) {
      if (!failure) failure = std::current_exception();
      try {
        transaction->End(false);
      } catch (...) {
      }
      transaction->handle_ = 0;
    }
  }
  ISC_STATUS_ARRAY status = {};
  client.Api().detach_database(status, &handle_);
  // The handle is given up whatever the detach says: the attachment is of no
  // further use to this connection.
  handle_ = 0;
  if (failure) std::rethrow_exception(failure);
  client.Check(status);
}

// ---------------------------------------------------------------------------
// TDbTransaction

TDbTransaction::TDbTransaction(TDbConnection& connection) : connection_(&connection) {
  connection.transactions_.push_back(this);
}

TDbTransaction::~TDbTransaction() {
  if (Active()) {
    try {
      End(true);
    } catch (...) {
      try {
        End(false);
      } catch (...) {
      }
    }
  }
  if (connection_) std::erase(connection_->transactions_, this);
}

void TDbTransaction::StartTransaction() {
  if (!connection_) Fail("Transaction has no database");
  if (Active()) Fail("Transaction is active");
  connection_->CheckConnected();
  const db::FbClient& client = connection_->Client();
  ISC_STATUS_ARRAY status = {};
  isc_tr_handle handle = 0;
  // Default parameters: concurrency, wait, read-write.
  client.Api().start_transaction(status, &handle, 1, connection_->Handle(), 0, static_cast<const char*>(nullptr));
  client.Check(status);
  handle_ = handle;
}

void TDbTransaction::End(bool commit) {
  if (!Active() || !connection_) return;
  connection_->CloseQueries(this);
  const db::FbClient& client = connection_->Client();
  ISC_STATUS_ARRAY status = {};
  if (commit) {
    client.Api().commit_transaction(status, &handle_);
  } else {
    client.Api().rollback_transaction(status, &handle_);
  }
  client.Check(status);
  handle_ = 0;
}

void TDbTransaction::Commit() {
  if (!Active()) Fail("Transaction is not active");
  End(true);
}

void TDbTransaction::Rollback() {
  if (!Active()) return;
  End(false);
}

// ---------------------------------------------------------------------------
// TDbQuery

TDbQuery::TDbQuery(TDbConnection& connection, TDbTransaction& transaction)
    : connection_(&connection), transaction_(&transaction) {
  connection.queries_.push_back(this);
}

TDbQuery::~TDbQuery() {
  Close();
  if (connection_) std::erase(connection_->queries_, this);
}

void TDbQuery::SetSQL(const std::string& sql) {
  if (open_) Fail("Cannot change the statement text of an open query");
  sql_ = sql;
}

void TDbQuery::CheckUsable() const {
  if (!connection_) Fail("Query has no database");
  if (Trim(sql_).empty()) Fail("Empty query");
  connection_->CheckConnected();
  if (!transaction_->Active()) Fail("Transaction is not active");
}

void TDbQuery::FreeStatement() noexcept {
  if (statement_ && statement_->handle != 0 && connection_ && connection_->Connected()) {
    ISC_STATUS_ARRAY status = {};
    connection_->Client().Api().dsql_free_statement(status, &statement_->handle, DSQL_drop);
  }
  statement_.reset();
  open_ = false;
  eof_ = true;
  empty_ = true;
}

void TDbQuery::Prepare() {
  const db::FbClient& client = connection_->Client();
  const std::string bytes = StatementBytes(sql_);
  if (bytes.size() > std::numeric_limits<unsigned short>::max()) Fail("Statement text is too long");
  auto statement = std::make_unique<Statement>();
  ISC_STATUS_ARRAY status = {};
  client.Api().dsql_allocate_statement(status, connection_->Handle(), &statement->handle);
  client.Check(status);
  // From here on the statement is ours to drop, also when preparing fails.
  statement_ = std::move(statement);
  Statement& st = *statement_;
  st.Allocate(1);
  client.Api().dsql_prepare(status, &transaction_->handle_, &st.handle, static_cast<unsigned short>(bytes.size()),
                            bytes.data(), TDbConnection::kSqlDialect, st.Sqlda());
  client.Check(status);
  if (st.Sqlda()->sqld > st.Sqlda()->sqln) {
    st.Allocate(st.Sqlda()->sqld);
    client.Api().dsql_describe(status, &st.handle, SQLDA_VERSION1, st.Sqlda());
    client.Check(status);
  }
  st.BindColumns();

  const char items[] = {isc_info_sql_stmt_type};
  char reply[64] = {};
  client.Api().dsql_sql_info(status, &st.handle, sizeof items, items, sizeof reply, reply);
  client.Check(status);
  st.type = db::ParseStatementTypeInfo(std::string(reply, sizeof reply));
}

void TDbQuery::Execute(bool forOpen) {
  const db::FbClient& client = connection_->Client();
  Statement& st = *statement_;
  ISC_STATUS_ARRAY status = {};
  if (st.type == isc_info_sql_stmt_exec_procedure && st.Columns() > 0) {
    // A procedure call hands back its one row with the execution.
    client.Api().dsql_execute2(status, &transaction_->handle_, &st.handle, SQLDA_VERSION1, nullptr, st.Sqlda());
    client.Check(status);
    if (forOpen) {
      open_ = true;
      empty_ = false;
      eof_ = false;
    }
    return;
  }
  client.Api().dsql_execute(status, &transaction_->handle_, &st.handle, SQLDA_VERSION1, nullptr);
  client.Check(status);
  if (!forOpen) return;
  open_ = true;
  if (st.ReturnsRows()) {
    Fetch();
    empty_ = eof_;
  } else {
    empty_ = true;
    eof_ = true;
  }
}

void TDbQuery::Fetch() {
  const db::FbClient& client = connection_->Client();
  Statement& st = *statement_;
  ISC_STATUS_ARRAY status = {};
  const ISC_STATUS result = client.Api().dsql_fetch(status, &st.handle, SQLDA_VERSION1, st.Sqlda());
  if (result == kRowsFetched) {
    eof_ = true;
    return;
  }
  client.Check(status);
  eof_ = false;
}

void TDbQuery::Open() {
  if (open_) return;
  CheckUsable();
  try {
    Prepare();
    Execute(true);
  } catch (...) {
    FreeStatement();
    throw;
  }
}

void TDbQuery::ExecSQL() {
  if (open_) Fail("Cannot execute an open query");
  CheckUsable();
  try {
    Prepare();
    Execute(false);
  } catch (...) {
    FreeStatement();
    throw;
  }
  FreeStatement();
}

void TDbQuery::Close() { FreeStatement(); }

bool TDbQuery::IsEmpty() const { return !open_ || empty_; }

bool TDbQuery::Eof() const { return !open_ || eof_; }

void TDbQuery::Next() {
  if (!open_) Fail("Query is not open");
  if (eof_) return;
  if (!statement_->ReturnsRows()) {
    eof_ = true;
    return;
  }
  Fetch();
}

std::vector<std::string> TDbQuery::FieldNames() const {
  if (!open_ || !statement_) return {};
  return statement_->names;
}

int TDbQuery::FieldIndex(const std::string& name) const {
  if (!open_ || !statement_) Fail("Query is not open");
  const auto& names = statement_->names;
  for (size_t i = 0; i < names.size(); ++i) {
    if (SameText(names[i], name)) return static_cast<int>(i);
  }
  Fail(Format("Field \"%s\" not found", name));
}

void TDbQuery::CheckRow() const {
  if (eof_) Fail("No current row");
}

bool TDbQuery::FieldIsNull(const std::string& name) const {
  const int index = FieldIndex(name);
  CheckRow();
  const XSQLVAR& var = statement_->Sqlda()->sqlvar[index];
  return (var.sqltype & 1) != 0 && *var.sqlind < 0;
}

int32_t TDbQuery::FieldAsInteger(const std::string& name) const {
  const int index = FieldIndex(name);
  CheckRow();
  const XSQLVAR& var = statement_->Sqlda()->sqlvar[index];
  if ((var.sqltype & 1) != 0 && *var.sqlind < 0) return 0;
  const std::vector<char>& buffer = statement_->data[static_cast<size_t>(index)];
  const char* p = buffer.data();
  const size_t capacity = buffer.size();
  const std::string& field = statement_->names[static_cast<size_t>(index)];
  auto read = [&](auto value) {
    static_assert(sizeof value <= sizeof(ISC_INT64));
    std::memcpy(&value, p, sizeof value);  // the buffer holds at least 8 bytes
    return value;
  };
  switch (var.sqltype & ~1) {
    case SQL_SHORT:
      return ScaledInt32(read(ISC_SHORT{}), var.sqlscale, field);
    case SQL_LONG:
      return ScaledInt32(read(ISC_LONG{}), var.sqlscale, field);
    case SQL_INT64:
      return ScaledInt32(read(ISC_INT64{}), var.sqlscale, field);
    case SQL_FLOAT:
      return CheckedInt32(std::trunc(static_cast<long double>(read(float{}))), field);
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return CheckedInt32(std::trunc(static_cast<long double>(read(double{}))), field);
    case SQL_BOOLEAN:
      return read(static_cast<unsigned char>(0)) != 0 ? 1 : 0;
    case SQL_TEXT: {
      const size_t length = std::min(static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 0)), capacity);
      return TextToInt32(std::string(p, length), field);
    }
    case SQL_VARYING: {
      const ISC_SHORT stored = read(ISC_SHORT{});
      const size_t length =
          std::min(static_cast<size_t>(std::max<ISC_SHORT>(stored, 0)), capacity - sizeof(ISC_SHORT));
      return TextToInt32(std::string(p + sizeof(ISC_SHORT), length), field);
    }
    default:
      Fail(Format("Field %s cannot be read as an integer", field));
  }
}

// ---------------------------------------------------------------------------
// TDbInfo

std::vector<std::string> TDbInfo::UserNames() const {
  connection_->CheckConnected();
  const db::FbClient& client = connection_->Client();
  const char items[] = {isc_info_user_names, isc_info_end};
  for (size_t size = kInfoReplyStart; size <= kInfoReplyMax; size *= 4) {
    std::string reply(size, '\0');
    ISC_STATUS_ARRAY status = {};
    client.Api().database_info(status, connection_->Handle(), sizeof items, items,
                               static_cast<short>(std::min<size_t>(size, std::numeric_limits<short>::max())),
                               reply.data());
    client.Check(status);
    bool truncated = false;
    std::vector<std::string> names = db::ParseUserNamesInfo(reply, truncated);
    if (!truncated) {
      for (auto& name : names) name = ClientTextSafe(Trim(name));
      return names;
    }
    if (size >= static_cast<size_t>(std::numeric_limits<short>::max())) break;
  }
  Fail("The list of attachments does not fit the information buffer");
}

}  // namespace ztv
