// The shared state's wait machinery, events, WaitForSingleObject and Sleep.
#include <windows.h>
#include <zel_compat/seams.h>

#include <chrono>
#include <thread>

#include "state.h"

namespace zelcompat::detail {

State& GlobalState() {
    // Deliberately never freed: threads and static destructors may still call in at exit.
    static State* const state = new State;
    return *state;
}

void NotifyAll(State& state) {
    ++state.epoch;
    state.settledWaiters = 0;
    state.changed.notify_all();
}

void WaitForChange(Lock& lock, DWORD atMostMs) {
    State& state = GlobalState();
    std::uint64_t epoch = state.epoch;
    ++state.settledWaiters;
    if (atMostMs == INFINITE || ManualClockActive()) {
        state.changed.wait(lock);
    } else {
        state.changed.wait_for(lock, std::chrono::milliseconds(atMostMs));
    }
    // A notification has already reset the count; a time-out or a spurious wake-up has not.
    if (state.epoch == epoch) {
        --state.settledWaiters;
    }
}

bool TryAcquire(KernelObject& object) {
    if (object.kind == KernelObject::Kind::kThread) {
        return !object.thread->running;
    }
    if (!object.signalled) {
        return false;
    }
    if (!object.manualReset) {
        object.signalled = false;
    }
    return true;
}

namespace {

// The event behind `handle`, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> FindEvent(State& state, HANDLE handle) {
    auto object = FindObject(state, handle);
    if (!object || object->kind != KernelObject::Kind::kEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

BOOL SetEventState(HANDLE handle, bool signalled) {
    State& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto event = FindEvent(state, handle);
    if (!event) {
        return FALSE;
    }
    event->signalled = signalled;
    if (signalled) {
        NotifyAll(state);
    }
    return TRUE;
}

}  // namespace
}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;
using zelcompat::detail::KernelObject;
using zelcompat::detail::Lock;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    // Named events are shared between processes on Windows; nothing here needs that. An empty
    // name makes an unnamed event there too.
    if (name != nullptr && name[0] != '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto event = std::make_shared<KernelObject>();
    event->kind = KernelObject::Kind::kEvent;
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return zelcompat::detail::InsertObject(state, std::move(event));
}

BOOL WINAPI SetEvent(HANDLE event) { return zelcompat::detail::SetEventState(event, true); }

BOOL WINAPI ResetEvent(HANDLE event) { return zelcompat::detail::SetEventState(event, false); }

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto& state = GlobalState();
    Lock lock(state.mutex);
    DWORD start = GetTickCount();
    // The wait holds its own reference, so a CloseHandle from another thread cannot pull the
    // object away underneath it.
    auto object = zelcompat::detail::FindObject(state, handle);
    // A section is no object to wait for.
    if (!object || object->kind == zelcompat::detail::KernelObject::Kind::kMapping) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    for (;;) {
        if (zelcompat::detail::TryAcquire(*object)) {
            return WAIT_OBJECT_0;
        }
        DWORD remaining = zelcompat::detail::RemainingMs(start, milliseconds);
        if (remaining == 0) {
            return WAIT_TIMEOUT;
        }
        zelcompat::detail::WaitForChange(lock, remaining);
    }
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    auto& state = GlobalState();
    Lock lock(state.mutex);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD remaining = zelcompat::detail::RemainingMs(start, milliseconds);
        if (remaining == 0) {
            return;
        }
        zelcompat::detail::WaitForChange(lock, remaining);
    }
}

namespace zelcompat {

std::size_t BlockedWaiterCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.settledWaiters;
}

}  // namespace zelcompat
