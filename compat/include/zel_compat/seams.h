// Test seams of the compatibility layer: what a test controls that Windows gives it no hold on.
//
// Only tests, the simulator and tools include this header; the driver never does.
#pragma once

#include <windows.h>

namespace zelcompat {

// Puts GetTickCount under the caller's control, starting at `start`. From then on the count moves
// only through SetTicks and AdvanceTicks, and every time-out of a wait and every thread timer is
// measured against it, so that a test covers seconds of driver time without sleeping.
void UseManualClock(DWORD start);

// Returns GetTickCount to the system's monotonic millisecond clock.
void UseRealClock();

// True while the manual clock is in use.
bool ManualClockActive();

// Sets the manual count (wrapping as a DWORD does) and wakes every wait and timer that is due.
void SetTicks(DWORD now);

// Moves the manual count on by `milliseconds` (wrapping) and wakes every wait and timer that is
// due.
void AdvanceTicks(DWORD milliseconds);

// Makes the manual clock as coarse as Windows' system timer: with `stepMs` non-zero, every
// GetTickCount call lets one millisecond pass, and the count it returns moves only in whole steps
// of `stepMs` (about 16 on Windows). A loop that spins on the count then lasts whole steps, as it
// does there, while nothing else moves the clock. Reads do not wake waits or timers; SetTicks and
// AdvanceTicks still do. 0 (the default, and after UseManualClock, UseRealClock or SetTicks)
// returns to the plain manual count.
void SetTickResolution(DWORD stepMs);

// The number of live handles (events and threads) in the handle table; lets a test prove that a
// sequence of calls leaks none.
std::size_t LiveHandleCount();

// The number of live windows of all threads.
std::size_t LiveWindowCount();

// The number of threads blocked in a wait of the layer (a wait for an object, a message, a timer,
// a SendMessageA reply, or Sleep) that have already re-checked their condition after the latest
// change. A test that moves the manual clock waits until this count settles before it checks
// that a waiter has not returned, instead of sleeping and hoping.
std::size_t BlockedWaiterCount();

}  // namespace zelcompat
