// A small RAII layer over SQLite for the sample connector: one connection,
// prepared statements with bound texts, and transactions that roll back
// unless committed. Not thread-safe: the connector serialises its calls.
#ifndef HB_SAMPLE_SQLITE_DB_HPP_
#define HB_SAMPLE_SQLITE_DB_HPP_

#include <sqlite3.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sample {

// Every SQLite failure: the statement's purpose and SQLite's message.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A column value or parameter: nullopt is SQL NULL.
using Text = std::optional<std::string>;

class Database;

class Statement {
 public:
  Statement(Database& db, const char* sql);
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Binds parameter index (from 1).
  Statement& bind(int index, const Text& value);
  Statement& bind(int index, long long value);
  // Advances to the next row: true while there is one.
  bool step();
  // Runs a statement that returns no rows.
  void run();
  Text text(int column) const;
  long long integer(int column) const;

 private:
  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Database {
 public:
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Opens (creating when missing) the file; throws DbError.
  void open(const std::string& path);
  void close();
  bool isOpen() const { return db_ != nullptr; }
  // Runs one or more statements without parameters.
  void exec(const char* sql);
  // Rows changed by the last statement.
  int changes() const;
  sqlite3* handle() const { return db_; }
  [[noreturn]] void fail(const std::string& what) const;

 private:
  sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE on construction; ROLLBACK on destruction unless commit() ran.
class Transaction {
 public:
  explicit Transaction(Database& db);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace sample

#endif  // HB_SAMPLE_SQLITE_DB_HPP_
