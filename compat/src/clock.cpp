// GetTickCount and the manual clock that tests put in its place.
#include <windows.h>
#include <zel_compat/seams.h>

#include <atomic>
#include <chrono>

#include "state.h"

namespace {

// Read without the mutex by GetTickCount; written with the mutex held, so that a waiter that
// checks the count under the mutex cannot miss a change and its notification.
std::atomic<bool> g_manual{false};
std::atomic<DWORD> g_manualTicks{0};

DWORD RealTicks() {
    auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count();
    // A DWORD count wraps after 49.7 days, as Windows' does.
    return static_cast<DWORD>(static_cast<std::uint64_t>(ms));
}

void Change(bool manual, DWORD ticks) {
    auto& state = zelcompat::detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    g_manualTicks.store(ticks);
    g_manual.store(manual);
    zelcompat::detail::NotifyAll(state);
    zelcompat::detail::WakeSerialPorts(state);
}

}  // namespace

DWORD WINAPI GetTickCount() { return g_manual.load() ? g_manualTicks.load() : RealTicks(); }

namespace zelcompat {

void UseManualClock(DWORD start) { Change(true, start); }

void UseRealClock() { Change(false, 0); }

bool ManualClockActive() { return g_manual.load(); }

void SetTicks(DWORD now) { Change(g_manual.load(), now); }

void AdvanceTicks(DWORD milliseconds) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    // Unsigned arithmetic wraps modulo 2^32, as the tick count does.
    g_manualTicks.store(g_manualTicks.load() + milliseconds);
    detail::NotifyAll(state);
    detail::WakeSerialPorts(state);
}

namespace detail {

DWORD RemainingMs(DWORD start, DWORD timeout) {
    if (timeout == INFINITE) {
        return INFINITE;
    }
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeout ? 0 : timeout - elapsed;
}

}  // namespace detail
}  // namespace zelcompat
