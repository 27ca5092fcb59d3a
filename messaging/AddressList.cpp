// The address list at the end of the logon request, rewritten when the adapters change.
#include "messaging/AddressList.h"

#include <string.h>

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

static bool ListHolds(const char* list, const char* address, size_t length)
{
    for (const char* item = list; *item != '\0';) {
        const char* comma = strchr(item, ',');
        size_t itemLength = comma != nullptr ? size_t(comma - item) : strlen(item);
        if (itemLength == length && strncmp(item, address, length) == 0)
            return true;
        if (comma == nullptr)
            break;
        item = comma + 1;
    }
    return false;
}

void AppendAddress(HeapString& list, const char* address)
{
    // Addresses of 0.0.0.0/8 mean "this network" and are never a machine's own: the first
    // character alone tells them, which keeps the program free of another constant.
    size_t length = strlen(address);
    if (address[0] == '\0' || address[0] == '0' || ListHolds(list.text, address, length))
        return;
    if (list.length != 0)
        list.AppendText(",");
    list.AppendText(address);
}
