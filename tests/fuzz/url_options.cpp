// Fuzz target: splitting the server URL and reading the options of a command line.
#include <string.h>

#include "agent/LogonRequest.h"
#include "core/AgentState.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 1);
    ServerUrl url;
    if (SplitServerUrl(input[0], &url)) {
        FUZZ_CHECK(url.port >= 0 && url.port <= 65535);
        FUZZ_CHECK(strncmp(input[0], url.protocol.text, url.protocol.length) == 0);
        FUZZ_CHECK(strstr(input[0], url.host.text) != nullptr);
    }
    url.Release();
    AgentState settings;
    const char* logFileName = nullptr;
    ApplyOptions(int(input.texts.size()), input.texts.data(), &settings, &logFileName);
    bool named = strcmp(logFileName, kDefaultLogFileName) == 0;
    for (size_t i = 2; i < input.texts.size(); ++i)
        named = named || logFileName == input[i];
    FUZZ_CHECK(named);
    return 0;
}
