// The sending worker: one send, or a send at once and then one every interval.
#include "messaging/TimerLoop.h"

#include <windows.h>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "messaging/LogonExchange.h"
#include "messaging/ReplyRules.h"

static const DWORD kStopCheckPeriod = 1000;

// Used only when the timer event is missing (its creation failed): waits the interval
// without spinning, looking at the stop flag every second.
static void SleepInterval(DWORD interval)
{
    while (interval > 0 && !g_agent.m_shutDown) {
        DWORD step = interval < kStopCheckPeriod ? interval : kStopCheckPeriod;
        Sleep(step);
        interval -= step;
    }
}

unsigned __stdcall TimerLoop(void*)
{
    if (!g_agent.m_persistent) {
        SendLogonMessage();
        return 0;
    }
    // Made before this thread started and closed only after it ended.
    const HANDLE timerEvent = g_agent.m_eventHandle;
    bool firstSend = true;  // goes out at once, as the signalled event would let it
    DWORD retryDelay = 0;   // after a failed send: the wait before it is tried again
    for (;;) {
        // A stop that came during the last send was cleared by the reset; see it here.
        if (g_agent.m_shutDown)
            return 0;
        DWORD interval = retryDelay != 0 ? retryDelay : DWORD(g_agent.m_persistentTime);
        if (g_agent.m_trace)
            TRACE_LINE("Timer Loop:Begin wait: m_persistentTime=%u,m_eventHandle=%d", unsigned(interval),
                       int(intptr_t(timerEvent)));
        if (WaitForSingleObject(timerEvent, interval) == WAIT_FAILED && !firstSend)
            SleepInterval(interval);
        firstSend = false;
        if (g_agent.m_trace)
            TRACE_LINE("Timer Loop:End wait: m_shutDown=%d,m_eventHandle=%d", int(g_agent.m_shutDown.load()),
                       int(intptr_t(timerEvent)));
        if (g_agent.m_shutDown)
            return 0;
        ExchangeOutcome outcome = SendLogonMessage();
        ResetEvent(timerEvent);
        retryDelay = outcome.failed ? RetryDelay(outcome.retryAfterSeconds, g_agent.m_persistentTime, GetTickCount()) : 0;
        if (!g_agent.m_trace)
            continue;
        if (outcome.failed)
            TRACE_LINE("Timer Loop:After failure: code=%u, retry in %u ms", unsigned(outcome.code), unsigned(retryDelay));
        else
            TRACE_LINE("Timer Loop:After authentication: m_persistentTime=%d,m_eventHandle=%d",
                       int(g_agent.m_persistentTime.load()), int(intptr_t(timerEvent)));
    }
}
