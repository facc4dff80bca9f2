// Threads: _beginthreadex, thread ids, priorities and exit codes.
#include <process.h>
#include <pthread.h>
#include <windows.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "state.h"

namespace zelcompat::detail {
namespace {

// The calling thread's record. A raw pointer, so that it has no destructor to run at thread exit
// and stays usable from other thread-exit and process-exit code; the threads table owns it.
thread_local ThreadRecord* t_current = nullptr;

DWORD NextThreadId(State& state) {
    // Nonzero multiples of four, as Windows ids are, never reused while the process lives.
    DWORD id = state.nextThreadId;
    state.nextThreadId += 4;
    return id;
}

// Marks the thread as ended: releases its windows, timers and queue, signals its handle and
// forgets its id, so that posting to the id fails as it does for an ended thread on Windows.
void EndThread(ThreadRecord& thread, DWORD exitCode) {
    State& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    ReleaseThreadResources(state, thread);
    thread.exitCode = exitCode;
    thread.running = false;
    state.threads.erase(thread.id);
    NotifyAll(state);
}

// Threads that the layer did not start (the process's main thread, test-framework threads,
// std::thread) are registered on their first call and ended by this key's destructor when they
// exit. The main thread never runs it; its record stays until the process ends.
pthread_key_t g_foreignThreadKey;

void EndForeignThread(void* record) {
    auto* thread = static_cast<ThreadRecord*>(record);
    t_current = nullptr;
    EndThread(*thread, 0);
}

void CreateForeignThreadKey() { pthread_key_create(&g_foreignThreadKey, &EndForeignThread); }

struct StartInfo {
    std::shared_ptr<ThreadRecord> record;
    ZelThreadStart start;
    void* argument;
};

void RunThread(StartInfo info) {
    t_current = info.record.get();
    unsigned exitCode = info.start(info.argument);
    t_current = nullptr;
    EndThread(*info.record, exitCode);
}

// The thread object behind `handle`, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> FindThread(State& state, HANDLE handle) {
    auto object = FindObject(state, handle);
    if (!object || object->kind != KernelObject::Kind::kThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

}  // namespace

ThreadRecord& CurrentThread() {
    if (t_current != nullptr) {
        return *t_current;
    }
    static std::once_flag keyOnce;
    std::call_once(keyOnce, &CreateForeignThreadKey);
    auto record = std::make_shared<ThreadRecord>();
    {
        State& state = GlobalState();
        std::lock_guard<std::mutex> guard(state.mutex);
        record->id = NextThreadId(state);
        state.threads.emplace(record->id, record);
    }
    t_current = record.get();
    pthread_setspecific(g_foreignThreadKey, record.get());
    return *record;
}

}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;
using zelcompat::detail::KernelObject;
using zelcompat::detail::ThreadRecord;

std::uintptr_t _beginthreadex(void* security, unsigned stackSize, ZelThreadStart start,
                              void* argument, unsigned initFlag, unsigned* threadId) {
    if (security != nullptr || stackSize != 0 || start == nullptr || initFlag != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& state = GlobalState();
    auto record = std::make_shared<ThreadRecord>();
    auto object = std::make_shared<KernelObject>();
    object->kind = KernelObject::Kind::kThread;
    object->thread = record;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        record->id = zelcompat::detail::NextThreadId(state);
        state.threads.emplace(record->id, record);
        handle = zelcompat::detail::InsertObject(state, object);
    }
    // The id is known before the thread runs, so that the caller can post to it (and see
    // ERROR_INVALID_THREAD_ID until the thread has a queue) without racing its start.
    DWORD id = record->id;
    try {
        std::thread(&zelcompat::detail::RunThread,
                    zelcompat::detail::StartInfo{record, start, argument})
            .detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> guard(state.mutex);
        state.threads.erase(id);
        state.handles.erase(zelcompat::detail::HandleValue(handle));
        errno = EAGAIN;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<std::uintptr_t>(handle);
}

DWORD WINAPI GetCurrentThreadId() { return zelcompat::detail::CurrentThread().id; }

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    bool known = priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
                 (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = zelcompat::detail::FindThread(state, thread);
    if (!object) {
        return FALSE;
    }
    if (!known) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only recorded: raising a thread's real scheduling priority needs privileges that a driver
    // loaded into an ordinary process does not have on these hosts.
    object->thread->priority = priority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = zelcompat::detail::FindThread(state, thread);
    return object ? object->thread->priority : THREAD_PRIORITY_ERROR_RETURN;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = zelcompat::detail::FindThread(state, thread);
    if (!object) {
        return FALSE;
    }
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->thread->exitCode;
    return TRUE;
}
