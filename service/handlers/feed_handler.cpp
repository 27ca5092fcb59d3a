// `/feed`: the map's change feed, a snapshot of every credited address or the changes after a cursor, waited for.
#include "handlers/feed_handler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "common/diagnostics.h"
#include "common/json.h"
#include "common/text.h"
#include "pages/feed_document.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultWait = 25;
constexpr int kLongestWait = 60;
// How often the map is asked for changes other services made, when this one commits none.
constexpr std::chrono::milliseconds kPollEvery{500};

struct FeedRequest {
  bool follows = false;  // after a cursor; otherwise the snapshot
  std::string cursor;
  std::string map;
  FeedPosition after;
  int wait = kDefaultWait;
};

bool read_wait(const std::string& text, int* out) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::min(std::atoi(text.c_str()), kLongestWait);
  return true;
}

// False, with the reason, for a request /feed does not take.
bool read_feed_request(const std::vector<QueryParam>& params, FeedRequest* out, std::string* error) {
  bool waits = false;
  for (const QueryParam& p : params) {
    const bool after = p.name == "after";
    if ((after && out->follows) || (p.name == "wait" && waits)) {
      *error = "/feed takes " + p.name + " once";
      return false;
    }
    if (after) {
      out->follows = true;
      out->cursor = p.value;
      if (!read_feed_cursor(p.value, &out->map, &out->after)) *error = "after=" + p.value + " is not a cursor of /feed";
    } else if (p.name == "wait") {
      waits = true;
      if (!read_wait(p.value, &out->wait)) *error = "wait is a number of seconds, at most " + std::to_string(kLongestWait);
    } else {
      *error = "/feed takes after=CURSOR and wait=SECONDS, not " + p.name;
    }
    if (!error->empty()) return false;
  }
  if (waits && !out->follows) *error = "wait goes with after=CURSOR";
  return error->empty();
}

Reply json_reply(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.headers.push_back("Cache-Control: no-store");
  reply.content_type = "application/json";
  reply.body = std::move(body);
  return reply;
}

// The map failed, or has nothing to resume the cursor from: otherwise none.
std::optional<Reply> refusal(const FeedRead& read, const Failure& failure, const std::string& map,
                             RequestRecord& record) {
  if (!failure.ok()) {
    report_limited("error: the user map's feed cannot be read", failure.message());
    record.outcome = Outcome::of(Outcome::Kind::Error, failure.message());
    return failure.transient() ? map_unavailable("the user map cannot be reached; try again later")
                               : text_reply(500, "the user map's feed cannot be read\n");
  }
  if (read.map == map && !read.lost) return std::nullopt;
  const std::string why = read.map != map ? "the cursor belongs to another user map; take a new snapshot"
                                          : "the cursor is older than the changes the user map keeps; take a new snapshot";
  record.outcome = Outcome::of(Outcome::Kind::Served, "feed: " + why);
  return json_reply(410, JsonObject().add_string("error", why).str());
}

}  // namespace

struct FeedHandler::State {
  struct Waiter {
    FeedRequest request;
    Clock::time_point deadline;
    std::shared_ptr<RequestRecord> record;
    std::shared_ptr<ReplyCallback> reply;
  };

  // The answer to a waiter, when `read` has one for it.
  static std::optional<Reply> answer(const Waiter& w, const FeedRead& read, const Failure& failure, bool ran_out) {
    if (std::optional<Reply> refused = refusal(read, failure, w.request.map, *w.record)) return refused;
    if (read.items.empty() && !ran_out) return std::nullopt;
    w.record->outcome = Outcome::of(Outcome::Kind::Served, "feed");
    const std::string cursor = read.items.empty() ? w.request.cursor : feed_cursor(read.map, read.position);
    return json_reply(200, feed_changes_json(cursor, read));
  }

  // Replies to the waiters at `cursor` that `read` answers, or to all of them at once.
  void settle(const std::string& cursor, const FeedRead& read, const Failure& failure) {
    std::vector<std::pair<Waiter, Reply>> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      asking.erase(cursor);
      const auto range = waiting.equal_range(cursor);
      for (auto it = range.first; it != range.second;) {
        std::optional<Reply> reply = answer(it->second, read, failure, false);
        if (!reply) break;  // the waiters at one cursor are answered alike
        done.emplace_back(it->second, std::move(*reply));
        it = waiting.erase(it);
      }
    }
    for (auto& [waiter, reply] : done) (*waiter.reply)(std::move(reply));
  }

  // Replies with no changes to those whose wait ran out by `now` (all of them when stopping).
  void release(Clock::time_point now, bool all) {
    std::vector<Waiter> out;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (!all && it->second.deadline > now) {
          ++it;
          continue;
        }
        out.push_back(std::move(it->second));
        it = waiting.erase(it);
      }
    }
    for (Waiter& w : out) (*w.reply)(*answer(w, FeedRead{w.request.map, w.request.after, {}, false}, Failure(), true));
  }

  std::mutex mutex;
  std::condition_variable woken;
  std::multimap<std::string, Waiter> waiting;  // by cursor
  std::set<std::string> asking;               // cursors whose changes are being read
  bool wake = false;
  bool stopping = false;
};

FeedHandler::FeedHandler(UserMap& users) : users_(users), state_(std::make_shared<State>()) {
  watcher_ = std::thread([this] { watch(); });
}

FeedHandler::~FeedHandler() { stop(); }

void FeedHandler::stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->woken.notify_all();
  if (watcher_.joinable()) watcher_.join();
  state_->release(Clock::now(), true);
}

void FeedHandler::wake() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->wake = true;
  }
  state_->woken.notify_all();
}

void FeedHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  FeedRequest request;
  std::string error;
  if (!read_feed_request(record->params, &request, &error)) {
    record->outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error + "\n"));
  }
  const auto reply = std::make_shared<ReplyCallback>(std::move(respond));
  if (!request.follows) {
    return users_.read_feed(std::nullopt, now_epoch_seconds(), [record, reply](const FeedRead& read, const Failure& failure) {
      if (std::optional<Reply> refused = refusal(read, failure, read.map, *record)) return (*reply)(std::move(*refused));
      record->outcome = Outcome::of(Outcome::Kind::Served, "feed snapshot");
      (*reply)(json_reply(200, feed_snapshot_json(feed_cursor(read.map, read.position), read)));
    });
  }
  State::Waiter waiter{request, Clock::now() + std::chrono::seconds(request.wait), record, reply};
  const std::shared_ptr<State> state = state_;
  users_.read_feed(request.after, now_epoch_seconds(), [state, waiter](const FeedRead& read, const Failure& failure) {
    std::optional<Reply> now = State::answer(waiter, read, failure, waiter.request.wait == 0);
    if (!now) {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!state->stopping) {
        state->waiting.emplace(waiter.request.cursor, waiter);
        return;
      }
      now = State::answer(waiter, read, failure, true);
    }
    (*waiter.reply)(std::move(*now));
  });
}

void FeedHandler::watch() {
  const std::shared_ptr<State> state = state_;
  for (;;) {
    std::vector<std::pair<std::string, FeedRequest>> ask;
    {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->woken.wait_for(lock, kPollEvery, [&state] { return state->wake || state->stopping; });
      if (state->stopping) return;
      state->wake = false;
      for (const auto& [cursor, waiter] : state->waiting) {
        if (state->asking.insert(cursor).second) ask.emplace_back(cursor, waiter.request);
      }
    }
    state->release(Clock::now(), false);
    for (const auto& [cursor, request] : ask) {
      users_.read_feed(request.after, now_epoch_seconds(), [state, cursor = cursor](const FeedRead& read, const Failure& failure) {
        state->settle(cursor, read, failure);
      });
    }
  }
}
