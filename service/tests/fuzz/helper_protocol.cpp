// Fuzz target: Squid's request lines, and the service's reply head and status document, as the gateway helper reads them.
#include "gateway/helper_protocol.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 3);
    HelperRequest request = parse_helper_line(input[0]);
    std::optional<FoundUser> user = user_from_status(input[1]);
    // One answer is one line, whatever the line and the document held: Squid reads line by line.
    std::string answer = answer_ok(request, user ? user->name : input[1]) + answer_err(request, input[0]);
    FUZZ_CHECK(answer.find_first_of("\r\n") == std::string::npos);
    // A reply the helper would keep its connection after has a length to read it by.
    ReplyHead head;
    if (parse_reply_head(input[2], &head))
        FUZZ_CHECK(head.status >= 0 && head.status <= 999 && (!head.keep_alive || head.content_length >= 0));
    return 0;
}
