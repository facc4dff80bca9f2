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
// Non-zero: GetTickCount reads move the manual count and show it in steps of this size.
std::atomic<DWORD> g_resolution{0};

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
    g_resolution.store(0);
    zelcompat::detail::NotifyAll(state);
    zelcompat::detail::WakeSerialPorts(state);
}

}  // namespace

DWORD WINAPI GetTickCount() {
    if (!g_manual.load()) return RealTicks();
    const DWORD step = g_resolution.load();
    if (step == 0) return g_manualTicks.load();
    // Each read is a millisecond of spinning; the count shows only whole steps.
    const DWORD now = g_manualTicks.fetch_add(1) + 1;
    return now - now % step;
}

namespace zelcompat {

void UseManualClock(DWORD start) { Change(true, start); }

void UseRealClock() { Change(false, 0); }

bool ManualClockActive() { return g_manual.load(); }

void SetTicks(DWORD now) { Change(g_manual.load(), now); }

void SetTickResolution(DWORD stepMs) { g_resolution.store(stepMs); }

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
