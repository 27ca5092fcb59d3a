// Fuzz target: Squid's request lines and the service's status document, as the gateway helper reads them.
#include "helper_protocol.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 2);
    HelperRequest request = parse_helper_line(input[0]);
    std::optional<FoundUser> user = user_from_status(input[1]);
    // One answer is one line, whatever the line and the document held: Squid reads line by line.
    std::string answer = answer_ok(request, user ? user->name : input[1]) + answer_err(request, input[0]);
    FUZZ_CHECK(answer.find_first_of("\r\n") == std::string::npos);
    return 0;
}
