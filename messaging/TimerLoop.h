// The sending worker: one send, or a send at once and then one every interval.
#pragma once

// Thread body; returns 0 when the single send is done or a stop was requested.
unsigned __stdcall TimerLoop(void* parameter);
