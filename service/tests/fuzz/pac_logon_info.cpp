// Fuzz target: the reading of a Kerberos ticket's PAC logon information and groups; what it reads lies within the buffer.
#include "verify/pac.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes buffer(data, data + size);
    PacLogonInfo info;
    std::string why;
    if (read_pac_logon_info(buffer, &info, &why)) {
        FUZZ_CHECK(!info.user.empty() && !info.domain.empty() && 2 * (info.user.size() + info.domain.size()) < size);
        for (const std::string& group : info.groups)  // each read from the buffer: at least 8 bytes of it
            FUZZ_CHECK(group.rfind("S-", 0) == 0 && 8 * info.groups.size() < size);
    } else
        FUZZ_CHECK(!why.empty());
    return 0;
}
