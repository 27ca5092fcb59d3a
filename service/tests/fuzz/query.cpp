// Fuzz target: request targets and the agent's logon parameters, as the service reads them.
#include <string>

#include "query.h"
#include "tests/fuzz/FuzzInput.h"

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
    return 0;
}
