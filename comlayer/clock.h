// The one clock of the add-in and the simulation.
//
// Every "now", tick count, wait and timer period goes through here. In
// production the clock is the system's. For the test bench (only in the
// build with the test seams, see TALLOWBY_TEST_SEAMS) the environment
// variable TALLOWBY_CLOCK_SCALE (read once per module) makes it run faster by
// that factor: time is anchored at the process's creation time, so every
// module of one process reads the same "now", and waits and timer periods are
// divided by the factor. Nothing but speed depends on the factor.
//
// Local time is the system's zone's; in the build with the test seams the
// environment variable TALLOWBY_TIME_ZONE may name another zone (a time
// zone's key name, "Pacific Standard Time"). It is read at every local
// conversion, as Windows gives a running process a new zone at once, so
// that a test moves every module of the process to another zone while it
// runs.
#pragma once
#include <windows.h>
#include <cstdint>

namespace clk {

// Speed factor, 1 in production.
double Scale();

// Current time as a UTC FILETIME value (100 ns units).
uint64_t NowUtc();
// Current local time as an OLE Automation date.
double NowLocalDate();
// Current local time as SYSTEMTIME.
SYSTEMTIME NowLocalSystemTime();
// The rules of the local zone when TALLOWBY_TIME_ZONE names one (see
// above); false: the system's own zone, which a null zone stands for in
// SystemTimeToTzSpecificLocalTime and back.
bool LocalZone(TIME_ZONE_INFORMATION* zone);
// Milliseconds of clock time since the process started.
uint64_t TickMs();

// Real milliseconds for a clock-time span (at least 1 when ms > 0).
DWORD RealMs(DWORD ms);
// Window timer period for a clock-time period (Windows' 10 ms floor applies).
UINT TimerPeriod(UINT ms);

void Sleep(DWORD ms);
// Clock milliseconds of all pauses this module's Sleep was asked for.
uint64_t PausedClockMs();
// Benchmarks only: Sleep counts its pause and returns at once, so that a
// benchmark times the work alone (a thread that really sleeps between short
// pieces of work wakes each time with cold caches and a slowed processor).
void SkipSleeps(bool skip);
// WaitForSingleObject with a clock-time timeout (INFINITE stays infinite).
DWORD Wait(HANDLE h, DWORD ms);
// Waits for `h` while dispatching window messages and COM calls, so that a
// waiting user-interface thread stays responsive. Returns WAIT_OBJECT_0 or
// WAIT_TIMEOUT. A WM_QUIT met on the way is posted again for the thread's
// own loop, and the rest of the wait does not pump.
DWORD WaitPumping(HANDLE h, DWORD ms);

}  // namespace clk
