// `/history.json` and the console's `/changes`: the map's events, or who held an address at a moment.
#include "handlers/history_handler.h"

#include "common/diagnostics.h"
#include "common/text.h"
#include "pages/changes_page.h"
#include "pages/history_document.h"

HistoryHandler::HistoryHandler(bool html, UserMap& users) : html_(html), users_(users) {}

void HistoryHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  HistoryRequest request;
  std::string error;
  if (!read_history_request(record->params, &request, &error)) {
    record->outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error + "\n"));
  }
  const std::int64_t now = now_epoch_seconds();
  if (html_ && request.events.since == 0 && request.events.until == 0) request.events.since = now - kRecentChangesSeconds;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  UserMap::HistoryDone done = [this, request, now, record, reply_to](const HistoryPage& page) {
    if (!page.failure.ok()) {
      report_limited("error: the user map's history cannot be read", page.failure.message());
      record->outcome = Outcome::of(Outcome::Kind::Error, page.failure.message());
      return (*reply_to)(page.failure.transient()
                             ? map_unavailable("the user map cannot be reached; try again later")
                             : text_reply(500, "the user map's history cannot be read\n"));
    }
    record->outcome = Outcome::of(Outcome::Kind::Served, "history");
    Reply reply;
    reply.headers.push_back("Cache-Control: no-store");
    reply.content_type = html_ ? "text/html; charset=utf-8" : "application/json";
    reply.body = html_ ? changes_html(page, request, now) : history_json(page, request);
    (*reply_to)(std::move(reply));
  };
  if (request.holders) return users_.read_holders(request.moment, std::move(done));
  users_.read_history(request.events, std::move(done));
}
