// The address list at the end of the logon request, rewritten when the adapters change.
#include "messaging/AddressList.h"

static int32_t FindLastAmpersand(const HeapString& s)
{
    for (uint32_t i = s.length; i > 0; --i)
        if (s.text[i - 1] == '&')
            return int32_t(i - 1);
    return s.notFound;
}

bool ReplaceAddressList(HeapString& request, HeapString& ipList, const HeapString& current)
{
    HeapString old;
    request.Substring(old, ipList.length, uint32_t(FindLastAmpersand(request) + 4));
    bool differs = current.Differs(old);
    old.Release();
    if (!differs)
        return false;
    uint32_t keep = ipList.length < request.length ? request.length - ipList.length : request.length;
    HeapString rewritten;
    request.Substring(rewritten, keep, 0);
    ipList.Assign(current.text, current.length);
    rewritten.Append(ipList.text, ipList.length);
    request.Assign(rewritten.text, rewritten.length);
    rewritten.Release();
    return true;
}
