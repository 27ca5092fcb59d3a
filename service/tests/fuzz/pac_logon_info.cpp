// Fuzz target: the reading of a Kerberos ticket's PAC logon information; what it reads lies within the buffer.
#include "pac.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Bytes buffer(data, data + size);
    PacLogonInfo info;
    std::string why;
    if (read_pac_logon_info(buffer, &info, &why))
        FUZZ_CHECK(!info.user.empty() && !info.domain.empty() && 2 * (info.user.size() + info.domain.size()) < size);
    else
        FUZZ_CHECK(!why.empty());
    return 0;
}
