// A client of one PostgreSQL connection: prepared statements, sent one at a time or together in pipeline mode.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/failure.h"

// Reads the rows of one result.
using RowReader = std::function<void(const PGresult* result, int row)>;

// What is done with the answer to one statement sent in pipeline mode.
struct Awaited {
  RowReader row;            // reads its rows, if any
  long* changed = nullptr;  // receives how many rows it changed
  std::string prepared;     // a statement being prepared: its text, forgotten when that fails
  bool commit = false;      // a COMMIT: answered ROLLBACK when a failure had ended the transaction
};

// One connection to the database, used by one thread at a time. Every exchange waits at most a
// few seconds for the server.
//
// A transaction goes in pipeline mode: the statements whose answers are not read (an update, an
// event, BEGIN) are sent without waiting, and their answers are read with the next statement
// whose answer is needed, in one round trip. The server runs them in the order they were sent, so
// every statement sees the ones before it; the first that fails fails the next call that waits,
// and at the latest the commit.
class PgClient {
 public:
  explicit PgClient(PGconn* conn) : conn_(conn) {}
  ~PgClient() { PQfinish(conn_); }
  PgClient(const PgClient&) = delete;
  PgClient& operator=(const PgClient&) = delete;

  // Makes the connection send without blocking, and sets what every connection needs.
  bool start(std::string* error);

  // Runs `sql` with `params` ($1, $2, ...: text, cast in the statement where it needs another
  // type); `row` reads each row returned, `changed` receives how many rows were changed. Each
  // statement is prepared on its first use on this connection.
  bool run(const std::string& sql, const std::vector<std::string>& params, const RowReader& row, std::string* error,
           long* changed = nullptr);
  // A change whose answer is not read: in a transaction, sent without waiting for it.
  bool change(const std::string& sql, const std::vector<std::string>& params, std::string* error);
  // Statements without parameters, separated by semicolons (in a transaction, one statement).
  bool script(const std::string& sql, std::string* error);
  // Sends a statement in pipeline mode (prepared on its first use) and notes what to do with its answer.
  bool send(const std::string& sql, const std::vector<std::string>& params, Awaited awaited, std::string* error);

  // Enters pipeline mode and sends BEGIN, which goes with the statements after it. BEGIN and
  // COMMIT are prepared as the other statements are, so that the server does not parse them again
  // for every transaction.
  bool begin(std::string* error);
  bool commit(std::string* error);
  void rollback();
  // After a commit or a rollback: the answers still due are read, a transaction still open is
  // rolled back, and the connection leaves pipeline mode.
  void end_transaction();
  // Runs `step` in a savepoint: when it fails, what it did is undone and the transaction goes on.
  bool in_savepoint(const std::function<bool()>& step, std::string* error);
  // Reads the answers to everything sent in pipeline mode: false on the first failure (the answers
  // after it are read too, so that the connection is ready again).
  bool settle(std::string* error);

  bool pipelined() const { return pipelined_; }
  // Whether the transaction is still open; `unsent`: statements of it wait to be sent.
  bool in_transaction(bool unsent) const;
  // Whether answers are due to what was sent in pipeline mode.
  bool awaiting() const { return !awaited_.empty(); }
  // Between transactions: whether the server has not closed the connection.
  bool open();
  // How the last call that returned false failed.
  Failure last_failure() const { return failure_; }

 private:
  bool send_prepared(const std::string& sql, const std::vector<std::string>& params, std::string* error);
  bool send_text(const std::string& sql, Awaited awaited, std::string* error);
  bool read_pipeline(const std::vector<Awaited>& awaited, std::string* error);
  bool answers(const RowReader* row, long* changed, std::string* error);
  bool flush(std::chrono::steady_clock::time_point deadline);
  std::string silence_or_error(std::chrono::steady_clock::time_point deadline) const;
  bool usable(std::string* error);
  bool lose(const std::string& why, std::string* error);
  bool failed(const PGresult* result, std::string* error);

  PGconn* conn_;
  bool lost_ = false;
  Failure failure_;
  std::map<std::string, std::string> prepared_;  // statement text: its name on this connection
  unsigned long statements_ = 0;                 // how many were prepared: the next one's name
  bool pipelined_ = false;                       // in a transaction, in pipeline mode
  bool open_ = false;                            // the transaction had not failed when last answered
  std::vector<Awaited> awaited_;                 // what was sent in pipeline mode, its answers not read yet
};

// libpq's messages span lines; a log line does not.
std::string one_line(const std::string& text);
// A PostgreSQL array of text.
std::string text_array(const std::vector<std::string>& items);
// A column of a result's row, as text and as a number.
std::string text_at(const PGresult* r, int row, int column);
std::int64_t number_at(const PGresult* r, int row, int column);
