// Fuzz target: the reading of the header a balancer puts before a connection; it never reads beyond what it was given.
#include "http/proxy_header.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ProxyHeader header = read_proxy_header(bytes);
    const bool whole = header.state == ProxyHeader::State::Proxied || header.state == ProxyHeader::State::Local;
    FUZZ_CHECK(whole == (header.length > 0));
    FUZZ_CHECK(header.length <= size && header.length <= kMaxProxyHeader);
    FUZZ_CHECK((header.state == ProxyHeader::State::Invalid) == !header.error.empty());
    // A header stands on its own: what follows it changes nothing, and no beginning of it is whole.
    if (whole) {
        const ProxyHeader alone = read_proxy_header(bytes.substr(0, header.length));
        FUZZ_CHECK(alone.state == header.state && alone.length == header.length && alone.client == header.client);
        FUZZ_CHECK(read_proxy_header(bytes.substr(0, header.length - 1)).state != header.state);
    }
    // More bytes are asked for only while a header could still fit.
    FUZZ_CHECK(header.state != ProxyHeader::State::Incomplete || size < kMaxProxyHeader);
    return 0;
}
