// Fuzz target: rewriting the address list at the end of the logon request, and the heap string's pieces.
#include <algorithm>
#include <string>

#include "messaging/AddressList.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(5, input)
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

    // Each address is listed once: the same adapters' addresses again add nothing.
    HeapString listed;
    for (int pass = 0; pass < 2; ++pass) {
        uint32_t before = listed.length;
        std::string addresses = std::string(input[2]) + ",";
        for (size_t at = 0, comma; (comma = addresses.find(',', at)) != std::string::npos; at = comma + 1)
            AppendAddress(listed, addresses.substr(at, comma - at).c_str());
        FUZZ_CHECK(pass == 0 || listed.length == before);
    }
    FUZZ_CHECK(listed.text[0] != '0' && strstr(listed.text, ",0") == nullptr);  // nothing of 0.0.0.0/8
    listed.Release();

    // Pieces of a heap string, also taken from itself, are what the standard library's would be.
    std::string text = input[0];
    uint32_t count = uint32_t(input.Number(3)), position = uint32_t(input.Number(4));
    auto piece = [](const std::string& of, uint32_t n, uint32_t at) { return at <= of.size() ? of.substr(at, n) : ""; };
    HeapString whole(input[0]), target("old");
    whole.Substring(target, count, position);
    FUZZ_CHECK(target.text == piece(text, count, position) && target.length == strlen(target.text));
    size_t from = position % (text.size() + 1);
    whole.Append(whole.text + from, uint32_t(std::min<size_t>(count, text.size() - from)));
    text += text.substr(from, count);
    whole.Substring(whole, count, position);
    FUZZ_CHECK(whole.text == piece(text, count, position) && whole.length == strlen(whole.text));
    whole.Release();
    target.Release();
}
