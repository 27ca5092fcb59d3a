// Fuzz target: rewriting the address list at the end of the logon request.
#include <string>

#include "messaging/AddressList.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(3, input)
{
    std::string prefix = std::string(input[0]) + "&ip=";
    HeapString request((prefix + input[1]).c_str());
    HeapString ipList(input[1]);
    HeapString current(input[2]);
    bool changed = ReplaceAddressList(request, ipList, current);
    // Adapters' addresses never hold '&'; the request's own values are encoded.
    if (strchr(input[1], '&') == nullptr) {
        FUZZ_CHECK(changed == (strcmp(input[1], input[2]) != 0));
        FUZZ_CHECK(request.text == prefix + input[2] && strcmp(ipList.text, input[2]) == 0);
    }
    request.Release();
    ipList.Release();
    current.Release();
}
