// Clocks, sleeping and the process stop request.
#pragma once

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

// Wall-clock milliseconds since the Unix epoch, kept to 32 bits (wraps; compare by
// unsigned subtraction).
u32 VexoGetSystemTime();
// Milliseconds since the program-start time.
u64 VexoGetElapsedTimeMillis();
// Seconds since the program-start time.
float VexoGetElapsedTimef();
// Sets the program-start time to now.
void VexoResetElapsedTimeCounter();
void VexoSleep(u32 ms);

// Process stop request. VexoInstallStopSignals makes SIGTERM and SIGINT request a stop;
// the main loop polls VexoStopRequested or sleeps in VexoWaitStop, then shuts down.
void VexoInstallStopSignals();
void VexoRequestStop();
bool VexoStopRequested();
// Sleeps until a stop is requested or `ms` have passed; true when a stop is requested.
bool VexoWaitStop(u32 ms);

}  // namespace VexoSource
