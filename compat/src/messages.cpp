// Message queues: posting, sending, retrieving and dispatching messages, thread and window timers,
// and MsgWaitForMultipleObjects.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "state.h"

namespace zelcompat::detail {

MessageQueue& EnsureQueue(ThreadRecord& thread) {
    if (!thread.queue) {
        thread.queue = std::make_unique<MessageQueue>();
    }
    return *thread.queue;
}

void ReleaseThreadResources(State& state, ThreadRecord& thread) {
    CancelThreadIo(state, thread.id);
    ReleaseThreadWindows(state, thread.id);
    if (!thread.queue) {
        return;
    }
    // No one will process these any more; release their senders as Windows does when the
    // receiving thread ends.
    for (auto& sent : thread.queue->sent) {
        sent->result = 0;
        sent->done = true;
    }
    thread.queue.reset();
}

void PurgeWindowFromQueue(MessageQueue& queue, HWND window) {
    auto& posted = queue.posted;
    posted.erase(std::remove_if(posted.begin(), posted.end(),
                                [window](const MSG& msg) { return msg.hwnd == window; }),
                 posted.end());
    auto& timers = queue.timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [window](const Timer& timer) { return timer.window == window; }),
                 timers.end());
}

bool ProcessSentMessages(Lock& lock, ThreadRecord& self) {
    bool processed = false;
    while (self.queue && !self.queue->sent.empty()) {
        std::shared_ptr<SentMessage> sent = std::move(self.queue->sent.front());
        self.queue->sent.pop_front();
        lock.unlock();
        // A window destroyed since the message was sent yields 0, as on Windows.
        LRESULT result =
            CallWindowProcedure(sent->window, sent->message, sent->wParam, sent->lParam);
        lock.lock();
        sent->result = result;
        sent->done = true;
        NotifyAll(GlobalState());
        processed = true;
    }
    return processed;
}

namespace {

// Windows refuses to queue more than this many posted messages for one thread.
constexpr std::size_t kPostedMessageLimit = 10000;

// What GetMessageA/PeekMessageA were asked for.
struct Filter {
    HWND window;
    UINT first;
    UINT last;

    bool All() const { return window == nullptr && first == 0 && last == 0; }
    // (HWND)-1 asks for thread messages only (hwnd NULL); NULL for every message of the thread.
    bool MatchesWindow(HWND hwnd) const {
        if (window == nullptr) {
            return true;
        }
        if (window == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) {
            return hwnd == nullptr;
        }
        return hwnd == window;
    }
    bool MatchesMessage(UINT message) const {
        return (first == 0 && last == 0) || (message >= first && message <= last);
    }
    bool Matches(HWND hwnd, UINT message) const {
        return MatchesWindow(hwnd) && MatchesMessage(message);
    }
    // WM_QUIT ignores the range but is a thread message, so a window filter never sees it.
    bool AllowsQuit() const { return MatchesWindow(nullptr); }
};

bool TimerDue(const Timer& timer, DWORD now) { return now - timer.last >= timer.elapse; }

// Milliseconds until the first timer that `filter` accepts is due: 0 if one is due now, INFINITE
// if there is none.
DWORD NextTimerMs(const MessageQueue& queue, const Filter& filter) {
    DWORD now = GetTickCount();
    DWORD next = INFINITE;
    for (const Timer& timer : queue.timers) {
        if (!filter.Matches(timer.window, WM_TIMER)) {
            continue;
        }
        DWORD elapsed = now - timer.last;
        next = std::min<DWORD>(next, elapsed >= timer.elapse ? 0 : timer.elapse - elapsed);
    }
    return next;
}

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    return msg;
}

// Queues a posted message and announces it to MsgWaitForMultipleObjects. Mutex held.
BOOL Post(State& state, MessageQueue& queue, const MSG& msg) {
    if (queue.posted.size() >= kPostedMessageLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue.posted.push_back(msg);
    queue.changedBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    NotifyAll(state);
    return TRUE;
}

// One look at the calling thread's queue in Windows' order: sent messages (processed here, never
// returned), then posted messages, then WM_QUIT, then due timers. Mutex held; true when `*msg`
// was filled.
bool TakeMessage(Lock& lock, ThreadRecord& self, const Filter& filter, bool remove, MSG* msg) {
    ProcessSentMessages(lock, self);
    MessageQueue& queue = *self.queue;
    // Whatever is in the queue now has been seen; MsgWaitForMultipleObjects waits for more.
    queue.changedBits &= ~(QS_POSTMESSAGE | QS_TIMER | QS_SENDMESSAGE);
    if (filter.All()) {
        queue.changedBits &= ~QS_ALLPOSTMESSAGE;
    }

    auto posted = std::find_if(queue.posted.begin(), queue.posted.end(),
                               [&](const MSG& m) { return filter.Matches(m.hwnd, m.message); });
    if (posted != queue.posted.end()) {
        *msg = *posted;
        if (remove) {
            queue.posted.erase(posted);
        }
        return true;
    }

    if (queue.quitPending && filter.AllowsQuit()) {
        *msg = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0);
        if (remove) {
            queue.quitPending = false;
        }
        return true;
    }

    DWORD now = GetTickCount();
    for (Timer& timer : queue.timers) {
        if (filter.Matches(timer.window, WM_TIMER) && TimerDue(timer, now)) {
            *msg = MakeMessage(timer.window, WM_TIMER, timer.id,
                               reinterpret_cast<LPARAM>(timer.callback));
            if (remove) {
                // The next one is due a full interval after this delivery.
                timer.last = now;
            }
            return true;
        }
    }
    return false;
}

// Checks the window filter of GetMessageA/PeekMessageA: NULL, (HWND)-1 or a live window.
bool ValidFilterWindow(State& state, HWND window) {
    if (window == nullptr || window == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) {
        return true;
    }
    return FindLiveWindow(state, window) != nullptr;
}

// True when MsgWaitForMultipleObjects' wake mask is satisfied by the queue. Mutex held.
bool InputReady(const MessageQueue& queue, DWORD wakeMask) {
    if ((wakeMask & QS_SENDMESSAGE) && !queue.sent.empty()) {
        return true;
    }
    if (queue.changedBits & wakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) {
        return true;
    }
    return (wakeMask & QS_TIMER) && NextTimerMs(queue, Filter{nullptr, 0, 0}) == 0;
}

Timer* FindTimer(MessageQueue& queue, HWND window, UINT_PTR id) {
    for (Timer& timer : queue.timers) {
        if (timer.window == window && timer.id == id) {
            return &timer;
        }
    }
    return nullptr;
}

}  // namespace
}  // namespace zelcompat::detail

using zelcompat::detail::Filter;
using zelcompat::detail::GlobalState;
using zelcompat::detail::Lock;
using zelcompat::detail::MessageQueue;
using zelcompat::detail::ThreadRecord;

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    Lock lock(state.mutex);
    zelcompat::detail::EnsureQueue(self);
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!zelcompat::detail::ValidFilterWindow(state, window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Filter filter{window, filterMin, filterMax};
    return zelcompat::detail::TakeMessage(lock, self, filter, (removeMsg & PM_REMOVE) != 0, msg)
               ? TRUE
               : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    Lock lock(state.mutex);
    zelcompat::detail::EnsureQueue(self);
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!zelcompat::detail::ValidFilterWindow(state, window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    Filter filter{window, filterMin, filterMax};
    for (;;) {
        if (zelcompat::detail::TakeMessage(lock, self, filter, true, msg)) {
            return msg->message == WM_QUIT ? 0 : 1;
        }
        // Sleep until something changes or, with the real clock, until the next timer is due.
        zelcompat::detail::WaitForChange(lock, zelcompat::detail::NextTimerMs(*self.queue, filter));
    }
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto thread = state.threads.find(threadId);
    // A thread that has not yet made a message call has no queue to post to, as on Windows.
    if (thread == state.threads.end() || !thread->second->queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return zelcompat::detail::Post(
        state, *thread->second->queue,
        zelcompat::detail::MakeMessage(nullptr, message, wParam, lParam));
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& state = GlobalState();
    if (window == nullptr) {
        ThreadRecord& self = zelcompat::detail::CurrentThread();
        std::lock_guard<std::mutex> guard(state.mutex);
        return zelcompat::detail::Post(
            state, zelcompat::detail::EnsureQueue(self),
            zelcompat::detail::MakeMessage(nullptr, message, wParam, lParam));
    }
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindLiveWindow(state, window);
    auto owner = target ? state.threads.find(target->owner) : state.threads.end();
    if (owner == state.threads.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return zelcompat::detail::Post(state, zelcompat::detail::EnsureQueue(*owner->second),
                                   zelcompat::detail::MakeMessage(window, message, wParam, lParam));
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    Lock lock(state.mutex);
    auto target = zelcompat::detail::FindLiveWindow(state, window);
    auto owner = target ? state.threads.find(target->owner) : state.threads.end();
    if (owner == state.threads.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (owner->second.get() == &self) {
        lock.unlock();
        return zelcompat::detail::CallWindowProcedure(window, message, wParam, lParam);
    }
    auto sent = std::make_shared<zelcompat::detail::SentMessage>();
    sent->window = window;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    MessageQueue& queue = zelcompat::detail::EnsureQueue(*owner->second);
    queue.sent.push_back(sent);
    queue.changedBits |= QS_SENDMESSAGE;
    zelcompat::detail::NotifyAll(state);
    // While it waits for the reply, the sender handles messages sent to it, as Windows does, so
    // that two threads sending to each other do not deadlock.
    while (!sent->done) {
        if (!zelcompat::detail::ProcessSentMessages(lock, self)) {
            zelcompat::detail::WaitForChange(lock, INFINITE);
        }
    }
    return sent->result;
}

void WINAPI PostQuitMessage(int exitCode) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    MessageQueue& queue = zelcompat::detail::EnsureQueue(self);
    // Not a posted message: WM_QUIT is produced once the posted messages are gone.
    queue.quitPending = true;
    queue.quitCode = exitCode;
    queue.changedBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    zelcompat::detail::NotifyAll(state);
}

BOOL WINAPI TranslateMessage(const MSG*) {
    // There is no keyboard input on these hosts, so there is never a key message to translate.
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
    if (msg == nullptr) {
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // Like Windows, call a TIMERPROC only if it belongs to a live timer of this thread,
        // rather than jumping to whatever address a message carries.
        ThreadRecord& self = zelcompat::detail::CurrentThread();
        TIMERPROC callback = nullptr;
        {
            auto& state = GlobalState();
            std::lock_guard<std::mutex> guard(state.mutex);
            if (self.queue) {
                auto* timer = zelcompat::detail::FindTimer(*self.queue, msg->hwnd, msg->wParam);
                if (timer != nullptr && reinterpret_cast<LPARAM>(timer->callback) == msg->lParam) {
                    callback = timer->callback;
                }
            }
        }
        if (callback != nullptr) {
            callback(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        }
        return 0;
    }
    if (msg->hwnd == nullptr) {
        return 0;
    }
    bool alive = true;
    LRESULT result = zelcompat::detail::CallWindowProcedure(msg->hwnd, msg->message, msg->wParam,
                                                            msg->lParam, &alive);
    if (!alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return result;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC callback) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    MessageQueue* queue;
    if (window != nullptr) {
        auto target = zelcompat::detail::FindLiveWindow(state, window);
        if (!target) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        // A window's timers belong to the thread that owns it, so only that thread sets them.
        if (target->owner != self.id) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    }
    queue = &zelcompat::detail::EnsureQueue(self);
    DWORD now = GetTickCount();
    // An existing timer with this window and id is restarted with the new settings; for thread
    // timers only an id that SetTimer returned earlier can match.
    zelcompat::detail::Timer* existing =
        (window != nullptr || id != 0) ? zelcompat::detail::FindTimer(*queue, window, id) : nullptr;
    if (existing != nullptr) {
        existing->elapse = elapse;
        existing->last = now;
        existing->callback = callback;
    } else {
        if (window == nullptr) {
            // A fresh id for a thread timer, unique within the process.
            do {
                id = state.nextTimerId++;
            } while (id == 0 || zelcompat::detail::FindTimer(*queue, nullptr, id) != nullptr);
        }
        queue->timers.push_back(zelcompat::detail::Timer{window, id, elapse, now, callback});
    }
    // A GetMessageA of this thread may be asleep with a deadline that no longer holds.
    zelcompat::detail::NotifyAll(state);
    return (window != nullptr && id == 0) ? 1 : id;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    ThreadRecord* owner = &self;
    if (window != nullptr) {
        auto target = zelcompat::detail::FindLiveWindow(state, window);
        auto thread = target ? state.threads.find(target->owner) : state.threads.end();
        if (thread == state.threads.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        owner = thread->second.get();
    }
    if (owner->queue) {
        auto& timers = owner->queue->timers;
        auto found = std::find_if(timers.begin(), timers.end(), [&](const auto& timer) {
            return timer.window == window && timer.id == id;
        });
        if (found != timers.end()) {
            timers.erase(found);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask) {
    // Waiting for all objects and input together is not supported; nothing here needs it.
    if (waitAll || count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ThreadRecord& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    Lock lock(state.mutex);
    DWORD start = GetTickCount();
    MessageQueue& queue = zelcompat::detail::EnsureQueue(self);
    std::vector<std::shared_ptr<zelcompat::detail::KernelObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        objects.push_back(zelcompat::detail::FindObject(state, handles[i]));
        // A section is no object to wait for.
        if (!objects.back() ||
            objects.back()->kind == zelcompat::detail::KernelObject::Kind::kMapping) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    for (;;) {
        // Objects come first: their indices are lower than the queue's.
        for (DWORD i = 0; i < count; ++i) {
            if (zelcompat::detail::TryAcquire(*objects[i])) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (zelcompat::detail::InputReady(queue, wakeMask)) {
            return WAIT_OBJECT_0 + count;
        }
        DWORD remaining = zelcompat::detail::RemainingMs(start, milliseconds);
        if (remaining == 0) {
            return WAIT_TIMEOUT;
        }
        if (wakeMask & QS_TIMER) {
            remaining = std::min(remaining, zelcompat::detail::NextTimerMs(queue, Filter{}));
        }
        zelcompat::detail::WaitForChange(lock, remaining);
    }
}
