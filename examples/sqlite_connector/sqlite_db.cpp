#include "sqlite_db.hpp"

namespace sample {

Statement::Statement(Database& db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    db.fail(std::string("preparing \"") + sql + "\"");
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int index, const Text& value) {
  const int rc = value ? sqlite3_bind_text(stmt_, index, value->data(),
                                           static_cast<int>(value->size()), SQLITE_TRANSIENT)
                       : sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) db_.fail("binding a parameter");
  return *this;
}

Statement& Statement::bind(int index, long long value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_.fail("binding a parameter");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.fail(std::string("running \"") + sqlite3_sql(stmt_) + "\"");
}

void Statement::run() {
  while (step()) {
  }
}

Text Statement::text(int column) const {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

long long Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

Database::~Database() { close(); }

void Database::open(const std::string& path) {
  close();
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    close();
    throw DbError("cannot open the database " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
}

void Database::close() {
  if (db_ != nullptr) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

void Database::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : "unknown error";
    sqlite3_free(message);
    throw DbError(text);
  }
}

int Database::changes() const { return sqlite3_changes(db_); }

void Database::fail(const std::string& what) const {
  throw DbError(what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "no database"));
}

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (const DbError&) {
      // The transaction is gone already (SQLite rolls back on some errors).
    }
  }
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace sample
