// A client of one PostgreSQL connection: prepared statements, sent one at a time or together in pipeline mode.
#include "usermap/pg_client.h"

#include <poll.h>

#include <cstdlib>

#include "common/fd_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

// A statement the server has not answered within this time costs its connection, so that a
// stalled server (a hung disk, a stopped process) cannot hold the logins up: they get 503. The
// server gives up a little earlier on its own (statement_timeout), so that a long wait for a lock
// ends as an error on a connection that stays usable.
constexpr std::chrono::seconds kAnswerDeadline{5};

// Set on every connection. A commit returns only once it is on the server's disk: synchronous_commit
// is turned back on where the server's default turned it off. A transaction left open by a service
// that hangs gives up its locks after 10 s, so that the other services' logins go on. Each
// statement outside a transaction is planned for the values it is given: the server would
// otherwise keep, for the life of the connection, a generic plan made while the map was small, and
// a new map's lookups by address would go on reading the whole table as it grows.
constexpr const char* kSessionSettings =
    "SET statement_timeout = '4s'; SET idle_in_transaction_session_timeout = '10s';"
    "SET plan_cache_mode = force_custom_plan;"
    "SELECT set_config('synchronous_commit', 'on', false) WHERE current_setting('synchronous_commit') = 'off'";

// Failures that may pass: the connection (class 08), a conflict with another transaction (40), the
// server's resources (53), an operator or a time-out (57), the system (58), a lock not available
// (55P03), a server that only reads (25006: a standby, as during a database fail-over).
bool transient_state(const std::string& code) {
  const std::string group = code.substr(0, 2);
  return group == "08" || group == "40" || group == "53" || group == "57" || group == "58" || code == "55P03" ||
         code == "25006";
}

}  // namespace

std::string one_line(const std::string& text) {
  std::string out;
  bool gap = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') {
      gap = !out.empty();
      continue;
    }
    if (gap) out += c == ' ' ? "" : "; ";
    gap = false;
    out += c;
  }
  return out;
}

std::string text_array(const std::vector<std::string>& items) {
  std::string out = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i == 0 ? "\"" : ",\"";
    for (char c : items[i]) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    out += "\"";
  }
  return out + "}";
}

std::string text_at(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t number_at(const PGresult* r, int row, int column) {
  return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

bool PgClient::start(std::string* error) {
  // The server's notices (a warning as it shuts down) are not written to stderr: what matters
  // comes as an error of the statement it concerns.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  if (PQsetnonblocking(conn_, 1) != 0) return failed(nullptr, error);
  return script(kSessionSettings, error);
}

bool PgClient::run(const std::string& sql, const std::vector<std::string>& params, const RowReader& row,
                   std::string* error, long* changed) {
  if (pipelined_) return send(sql, params, Awaited{row, changed, {}, false}, error) && settle(error);
  return send_prepared(sql, params, error) && answers(&row, changed, error);
}

bool PgClient::change(const std::string& sql, const std::vector<std::string>& params, std::string* error) {
  if (pipelined_) return send(sql, params, Awaited(), error);
  return run(sql, params, {}, error);
}

bool PgClient::script(const std::string& sql, std::string* error) {
  if (pipelined_) return send_text(sql, Awaited(), error) && settle(error);
  if (!usable(error)) return false;
  if (!PQsendQuery(conn_, sql.c_str())) return failed(nullptr, error);
  return answers(nullptr, nullptr, error);
}

bool PgClient::send(const std::string& sql, const std::vector<std::string>& params, Awaited awaited,
                    std::string* error) {
  if (!send_prepared(sql, params, error)) return false;
  awaited_.push_back(std::move(awaited));
  return true;
}

// In pipeline mode the preparation's answer is read with the others, otherwise at once.
bool PgClient::send_prepared(const std::string& sql, const std::vector<std::string>& params, std::string* error) {
  if (!usable(error)) return false;
  auto statement = prepared_.find(sql);
  if (statement == prepared_.end()) {
    const std::string name = "s" + std::to_string(++statements_);
    if (!PQsendPrepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr))
      return failed(nullptr, error);
    if (pipelined_) awaited_.push_back(Awaited{{}, nullptr, sql, false});
    else if (!answers(nullptr, nullptr, error)) return false;
    statement = prepared_.emplace(sql, name).first;
  }
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  if (!PQsendQueryPrepared(conn_, statement->second.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                           nullptr, 0))
    return failed(nullptr, error);
  return true;
}

// One statement without parameters, not prepared (a savepoint, a ROLLBACK).
bool PgClient::send_text(const std::string& sql, Awaited awaited, std::string* error) {
  if (!usable(error)) return false;
  if (!PQsendQueryParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) return failed(nullptr, error);
  awaited_.push_back(std::move(awaited));
  return true;
}

bool PgClient::begin(std::string* error) {
  if (pipelined_) end_transaction();  // one that a failure left open
  if (!usable(error)) return false;
  if (PQenterPipelineMode(conn_) != 1) return failed(nullptr, error);
  pipelined_ = true;
  open_ = true;
  return send("BEGIN", {}, Awaited(), error);
}

// The statements not answered yet go with the COMMIT. A COMMIT of a transaction that a failure
// ended only rolls it back: that is no success. A COMMIT that did not run (a statement before it
// failed) leaves the transaction open: it is rolled back here, so that the transaction is over
// whichever way the commit went.
bool PgClient::commit(std::string* error) {
  if (!pipelined_) {
    if (usable(error) && PQtransactionStatus(conn_) != PQTRANS_INTRANS) {
      *error = "the transaction was rolled back";
      return false;
    }
    return script("COMMIT", error);
  }
  const bool ok = send("COMMIT", {}, Awaited{{}, nullptr, {}, true}, error) && settle(error);
  end_transaction();
  return ok;
}

void PgClient::rollback() {
  if (pipelined_) return end_transaction();
  std::string ignored;
  const Failure failure = failure_;  // what the caller is about to ask about
  if (!lost_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
    script("ROLLBACK", &ignored);
  failure_ = failure;
}

// How the call before failed is kept, for the caller to ask about.
void PgClient::end_transaction() {
  const Failure failure = failure_;
  std::string ignored;
  if (pipelined_ && !lost_) settle(&ignored);
  if (pipelined_ && !lost_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE &&
      send_text("ROLLBACK", Awaited(), &ignored))
    settle(&ignored);
  if (pipelined_ && !lost_) PQexitPipelineMode(conn_);
  pipelined_ = false;
  awaited_.clear();
  failure_ = failure;
}

bool PgClient::in_savepoint(const std::function<bool()>& step, std::string* error) {
  if (!script("SAVEPOINT step", error)) return false;
  if (step() && script("RELEASE SAVEPOINT step", error)) return true;
  const Failure failure = failure_;
  std::string ignored;
  if (!lost_ && PQstatus(conn_) == CONNECTION_OK) script("ROLLBACK TO SAVEPOINT step", &ignored);
  failure_ = failure;
  return false;
}

bool PgClient::in_transaction(bool unsent) const {
  if (lost_) return false;
  // What was sent since the last answers read has not failed as far as is known.
  if (!awaited_.empty() || unsent) return open_;
  return PQtransactionStatus(conn_) == PQTRANS_INTRANS;
}

// Between transactions nothing is expected from the server: a connection it has something to say
// on is read, and a close or a fatal error found.
bool PgClient::open() {
  if (lost_ || PQstatus(conn_) != CONNECTION_OK) return false;
  pollfd p{PQsocket(conn_), POLLIN, 0};
  // A last message (a notice) may come before the close: read until nothing more is waiting.
  for (int reads = 0; reads < 8 && PQtransactionStatus(conn_) == PQTRANS_IDLE && poll(&p, 1, 0) > 0; ++reads) {
    if (!PQconsumeInput(conn_)) break;
  }
  return PQstatus(conn_) == CONNECTION_OK;
}

bool PgClient::settle(std::string* error) {
  if (awaited_.empty()) return true;
  const std::vector<Awaited> awaited = std::move(awaited_);
  awaited_.clear();
  const bool ok = read_pipeline(awaited, error);
  if (!lost_) open_ = PQtransactionStatus(conn_) == PQTRANS_INTRANS;
  return ok;
}

// Reads the answers up to the sync point, each as `awaited` says, in the order they were sent.
bool PgClient::read_pipeline(const std::vector<Awaited>& awaited, std::string* error) {
  const Clock::time_point deadline = Clock::now() + kAnswerDeadline;
  if (PQpipelineSync(conn_) != 1 || !flush(deadline)) return lose(silence_or_error(deadline), error);
  bool ok = true;
  std::size_t at = 0;  // the statement whose answer comes next
  for (;;) {
    while (PQisBusy(conn_)) {
      if (!wait_for_fd(PQsocket(conn_), POLLIN, deadline) || !PQconsumeInput(conn_))
        return lose(silence_or_error(deadline), error);
    }
    PGresult* result = PQgetResult(conn_);
    if (result == nullptr) {  // the end of one statement's answer
      // A connection that broke has no more answers, and its sync point never comes.
      if (PQstatus(conn_) != CONNECTION_OK) return lose(one_line(PQerrorMessage(conn_)), error);
      if (++at > awaited.size()) return lose("the database answered out of turn", error);
      continue;
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(result);
      return ok;
    }
    const Awaited* a = at < awaited.size() ? &awaited[at] : nullptr;
    if (status == PGRES_TUPLES_OK) {
      if (a != nullptr && a->row) {
        for (int i = 0; i < PQntuples(result); ++i) a->row(result, i);
      }
    } else if (status == PGRES_COMMAND_OK) {
      if (a != nullptr && a->changed != nullptr) *a->changed = std::atol(PQcmdTuples(result));
      if (a != nullptr && a->commit && std::string(PQcmdStatus(result)) != "COMMIT" && ok) {
        *error = "the transaction was rolled back";
        failure_ = Failure::internal(*error);
        ok = false;
      }
    } else {
      if (a != nullptr && !a->prepared.empty()) prepared_.erase(a->prepared);
      if (status != PGRES_PIPELINE_ABORTED && ok) ok = failed(result, error);
    }
    PQclear(result);
  }
}

bool PgClient::usable(std::string* error) {
  failure_ = Failure();
  if (!lost_ && PQstatus(conn_) == CONNECTION_OK) return true;
  return lose("the connection to the database was lost", error);
}

// Reads the answers to what was sent: `row` reads the rows, `changed` the count of rows changed;
// false on the first error (the others are read too, so that the connection is ready again).
bool PgClient::answers(const RowReader* row, long* changed, std::string* error) {
  const Clock::time_point deadline = Clock::now() + kAnswerDeadline;
  if (!flush(deadline)) return lose(silence_or_error(deadline), error);
  bool ok = true;
  for (;;) {
    while (PQisBusy(conn_)) {
      if (!wait_for_fd(PQsocket(conn_), POLLIN, deadline) || !PQconsumeInput(conn_))
        return lose(silence_or_error(deadline), error);
    }
    PGresult* result = PQgetResult(conn_);
    if (result == nullptr) break;
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK && row != nullptr && *row) {
      for (int i = 0; i < PQntuples(result); ++i) (*row)(result, i);
    } else if (status == PGRES_COMMAND_OK && changed != nullptr) {
      *changed = std::atol(PQcmdTuples(result));
    } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && ok) {
      ok = failed(result, error);
    }
    PQclear(result);
  }
  return ok;
}

bool PgClient::flush(Clock::time_point deadline) {
  for (;;) {
    const int left = PQflush(conn_);
    if (left <= 0) return left == 0;
    if (!wait_for_fd(PQsocket(conn_), POLLIN | POLLOUT, deadline) || !PQconsumeInput(conn_)) return false;
  }
}

std::string PgClient::silence_or_error(Clock::time_point deadline) const {
  if (Clock::now() >= deadline)
    return "no answer from the database within " + std::to_string(kAnswerDeadline.count()) + " s";
  return one_line(PQerrorMessage(conn_));
}

// The connection is not used again: an answer may still be on its way.
bool PgClient::lose(const std::string& why, std::string* error) {
  lost_ = true;
  failure_ = Failure::unavailable(why);
  *error = why;
  return false;
}

// A failed exchange, from its result (null: the failure to send it).
bool PgClient::failed(const PGresult* result, std::string* error) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const bool transient = PQstatus(conn_) != CONNECTION_OK || (state != nullptr && transient_state(state));
  *error = one_line(primary != nullptr ? primary : PQerrorMessage(conn_));
  failure_ = transient ? Failure::unavailable(*error) : Failure::internal(*error);
  return false;
}
