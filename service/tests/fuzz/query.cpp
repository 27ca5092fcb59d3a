// Fuzz target: request targets, the agent's logon parameters and the status views' and the history's parameters, as
// the service reads them.
#include <string>

#include "common/address.h"
#include "usermap/map_store.h"
#include "http/query.h"
#include "requests/logon_request.h"
#include "pages/history_query.h"
#include "pages/status_query.h"
#include "tests/fuzz/FuzzInput.h"

// The search's LIKE pattern matches only names that begin with the text: its one unescaped wildcard is its last character.
static bool only_a_trailing_wildcard(const std::string& pattern)
{
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '\\')
            ++i;
        else if (pattern[i] == '%' || pattern[i] == '_')
            return false;
    }
    return !pattern.empty() && pattern.back() == '%';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string path;
    std::vector<QueryParam> params;
    std::string error;
    if (!split_target(std::string_view(reinterpret_cast<const char*>(data), size), &path, &params, &error))
        return 0;
    LogonRequest request;
    if (read_logon_request(params, &request, &error))
        for (const std::string& ip : request.ips)
            FUZZ_CHECK(!request.hostname.empty() && ip.size() >= 7 && ip.size() <= 15 && ip.find(',') == ip.npos);
    StatusQuery status;
    if (read_status_query(params, &status, &error)) {
        FUZZ_CHECK(status.map.limit >= 1 && status.map.limit <= kMaxPageLimit && status.map.offset <= 100000000);
        FUZZ_CHECK(status.map.ip.empty() || canonical_address(status.map.ip) == status.map.ip);
        FUZZ_CHECK(only_a_trailing_wildcard(like_prefix_pattern(status.map.prefix)));
    } else {
        FUZZ_CHECK(!error.empty());
    }
    HistoryRequest history;
    if (read_history_request(params, &history, &error)) {
        const HistoryQuery& q = history.events;
        FUZZ_CHECK(q.limit >= 1 && q.limit <= kMaxHistoryLimit && (q.since == 0 || q.until == 0 || q.since <= q.until));
        FUZZ_CHECK(!history.holders || (!history.moment.ip.empty() && canonical_address(history.moment.ip) == history.moment.ip));
    } else {
        FUZZ_CHECK(!error.empty());
    }
    return 0;
}
