// Fuzz target: the logon request the agent composes must read back, value for value, at the service.
#include <string>

#include "agent/LogonRequest.h"
#include "service/http/query.h"
#include "service/requests/logon_request.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(3, input)
{
    LogonFacts facts;
    facts.hostName = input[0];
    facts.providerDomain = input[1][0] != '\0' ? input[1] : nullptr;
    facts.userDomain = input[2];
    facts.ipList = "192.0.2.1,198.51.100.7";
    HeapString request;
    ComposeLogonRequest(facts, request);
    std::string path;
    std::vector<QueryParam> params;
    std::string error;
    LogonRequest read;
    FUZZ_CHECK(split_target(request.text, &path, &params, &error) && path == "/tarnwise");
    FUZZ_CHECK(read_logon_request(params, &read, &error) == (input[0][0] != '\0'));
    FUZZ_CHECK(params.size() == (facts.providerDomain != nullptr ? 6 : 5) && params[1].value == input[0]);
    FUZZ_CHECK(params[params.size() - 2].value == input[2] && params.back().value == facts.ipList);
    request.Release();
}
