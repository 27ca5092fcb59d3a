// Fuzz target: splitting the server URL and reading the options of a command line.
#include <string.h>

#include <algorithm>

#include "agent/LogonRequest.h"
#include "core/AgentState.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(1, input)
{
    ServerUrl url;
    const char* problem = nullptr;
    if (SplitServerUrl(input[0], &url, &problem))
        FUZZ_CHECK(url.port >= 1 && url.port <= 65535 && strncmp(input[0], url.protocol.text, url.protocol.length) == 0 &&
                   strstr(input[0], url.host.text) != nullptr && SameAsciiTextIgnoringCase(url.protocol.text, "http") &&
                   url.host.length != 0 && strpbrk(url.host.text, "@[?#") == nullptr);
    else
        FUZZ_CHECK(problem != nullptr);
    url.Release();
    AgentState settings;
    const char* logFileName = nullptr;
    ApplyOptions(int(input.texts.size()), input.texts.data(), &settings, &logFileName);
    FUZZ_CHECK(strcmp(logFileName, kDefaultLogFileName) == 0 ||
               std::find(input.texts.begin() + 1, input.texts.end(), logFileName) != input.texts.end());
}
