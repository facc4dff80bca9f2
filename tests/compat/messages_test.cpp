// Message queues: posting, retrieving, filtering, WM_QUIT, timers, sent messages and
// MsgWaitForMultipleObjects.
#include "support.h"

#include <atomic>

namespace compat_test {
namespace {

using MessageTest = CompatTest;

TEST_F(MessageTest, PostingToAThreadFailsUntilItsFirstPeekMessage) {
    HANDLE mayPeek = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hasQueue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = StartThread(
        [mayPeek, hasQueue] {
            WaitForSingleObject(mayPeek, INFINITE);
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            SetEvent(hasQueue);
            if (GetMessageA(&msg, nullptr, 0, 0) <= 0 || msg.message != kApp + 5) {
                return 0u;
            }
            return static_cast<unsigned>(msg.wParam);
        },
        &id);
    SetLastError(kUntouched);
    EXPECT_FALSE(PostThreadMessageA(id, kApp + 5, 77, 0));
    EXPECT_LAST_ERROR(ERROR_INVALID_THREAD_ID);
    ASSERT_TRUE(SetEvent(mayPeek));
    ASSERT_EQ(WaitForSingleObject(hasQueue, kGenerousMs), kWaitObject0);
    EXPECT_TRUE(PostThreadMessageA(id, kApp + 5, 77, 0));
    EXPECT_EQ(JoinThread(thread), 77u);
    EXPECT_TRUE(CloseHandle(mayPeek));
    EXPECT_TRUE(CloseHandle(hasQueue));
    // The thread has ended, and with it its queue.
    SetLastError(kUntouched);
    EXPECT_FALSE(PostThreadMessageA(id, kApp + 5, 77, 0));
    WINE_DIFFERS("PostThreadMessageA to an ended thread sets ERROR_INVALID_PARAMETER");
    EXPECT_LAST_ERROR(ERROR_INVALID_THREAD_ID);
}

TEST_F(MessageTest, PostedMessagesArriveInOrder) {
    for (UINT i = 0; i < 10; ++i) {
        // PostMessageA with no window is PostThreadMessageA to the calling thread.
        if (i % 2 == 0) {
            ASSERT_TRUE(
                PostThreadMessageA(GetCurrentThreadId(), kApp + i, i, -static_cast<LPARAM>(i)));
        } else {
            ASSERT_TRUE(PostMessageA(nullptr, kApp + i, i, -static_cast<LPARAM>(i)));
        }
    }
    for (UINT i = 0; i < 10; ++i) {
        MSG msg;
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.message, kApp + i);
        EXPECT_EQ(msg.wParam, static_cast<WPARAM>(i));
        EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(i));
    }
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, PeekWithNoRemoveLeavesTheMessageQueued) {
    ASSERT_TRUE(PostMessageA(nullptr, kApp, 1, 2));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, kApp);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kApp);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, MessageRangeFilterSkipsOtherMessagesWithoutReorderingThem) {
    for (UINT offset : {1u, 2u, 3u}) {
        ASSERT_TRUE(PostMessageA(nullptr, kApp + offset, 0, 0));
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, kApp + 2, kApp + 2, PM_REMOVE));
    EXPECT_EQ(msg.message, kApp + 2);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, kApp + 2, kApp + 2, PM_REMOVE));
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kApp + 1);
    ASSERT_GT(GetMessageA(&msg, nullptr, kApp, kApp + 10), 0);
    EXPECT_EQ(msg.message, kApp + 3);
}

TEST_F(MessageTest, QuitComesAfterEveryPostedMessageAndGetMessageReturnsZeroForIt) {
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageA(nullptr, kApp, 0, 0));
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kApp);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kQuit);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, QuitIgnoresTheMessageRange) {
    PostQuitMessage(3);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, kApp, kApp, PM_REMOVE));
    EXPECT_EQ(msg.message, kQuit);
    EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(MessageTest, TimerWaitsWhilePostedMessagesAreQueued) {
    UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, nullptr);
    ASSERT_NE(timer, 0u);
    ASSERT_TRUE(PostMessageA(nullptr, kApp, 0, 0));
    PassTime(2 * USER_TIMER_MINIMUM);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kApp);
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kTimer);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, timer);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_TRUE(KillTimer(nullptr, timer));
}

TEST_F(MessageTest, TimersHaveDistinctIdsAndKillTimerStopsThem) {
    UINT_PTR first = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, nullptr);
    UINT_PTR second = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, nullptr);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_TRUE(KillTimer(nullptr, first));
    SetLastError(kUntouched);
    EXPECT_FALSE(KillTimer(nullptr, first));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    PassTime(2 * USER_TIMER_MINIMUM);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kTimer);
    EXPECT_EQ(msg.wParam, second);
    EXPECT_TRUE(KillTimer(nullptr, second));
    PassTime(2 * USER_TIMER_MINIMUM);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

std::atomic<UINT_PTR> g_timerProcId{0};

void CALLBACK CountingTimerProc(HWND, UINT message, UINT_PTR id, DWORD) {
    if (message == WM_TIMER) {
        g_timerProcId = id;
    }
}

TEST_F(MessageTest, DispatchMessageCallsTheTimerProc) {
    g_timerProcId = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, &CountingTimerProc);
    ASSERT_NE(timer, 0u);
    PassTime(2 * USER_TIMER_MINIMUM);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kTimer);
    DispatchMessageA(&msg);
    EXPECT_EQ(g_timerProcId.load(), timer);
    EXPECT_TRUE(KillTimer(nullptr, timer));
    WINE_DIFFERS("WM_TIMER carries a handle of its own in lParam instead of the TIMERPROC");
    EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(&CountingTimerProc));
}

TEST_F(MessageTest, MsgWaitReportsOnlyInputThatArrivedSinceTheLastLook) {
    ASSERT_TRUE(PostMessageA(nullptr, kApp, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), kWaitObject0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    // The message is still queued, but it is no longer news.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), kWaitTimeout);
    ASSERT_TRUE(PostMessageA(nullptr, kApp + 1, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), kWaitObject0);
}

TEST_F(MessageTest, MsgWaitWakesForADueTimer) {
    HANDLE idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &idle, FALSE, 0, QS_TIMER), kWaitTimeout);
    PassTime(2 * USER_TIMER_MINIMUM);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &idle, FALSE, kGenerousMs, QS_TIMER), kWaitObject0 + 1);
    EXPECT_TRUE(KillTimer(nullptr, timer));
    EXPECT_TRUE(CloseHandle(idle));
}

// Messages between threads, with a window owned by the test thread.
using CrossThreadTest = WindowTest;

TEST_F(CrossThreadTest, WindowFilterSelectsWindowOrThreadMessages) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, kApp + 1, 0, 0));
    ASSERT_TRUE(PostMessageA(nullptr, kApp + 2, 0, 0));
    struct {
        HWND filter;
        UINT expected;
    } cases[] = {{nullptr, kApp + 1}, {window, kApp + 1}, {ThreadMessagesOnly(), kApp + 2}};
    for (const auto& c : cases) {
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, c.filter, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, c.expected);
        EXPECT_EQ(msg.hwnd, c.expected == kApp + 1 ? window : nullptr);
    }
    DrainQueue();
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(CrossThreadTest, GetAndPeekWithADestroyedWindowAsFilterFail) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));
    MSG msg;
    SetLastError(kUntouched);
    EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(kUntouched);
    EXPECT_FALSE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(CrossThreadTest, DispatchMessageCallsTheProcedureOfTheMessagesWindow) {
    Recorder recorder;
    recorder.Answer(kApp + 1, 42);
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, kApp + 1, 5, 6));
    ASSERT_TRUE(PostMessageA(nullptr, kApp + 2, 0, 0));
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(DispatchMessageA(&msg), 42);
    // A thread message has no procedure to go to.
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_FALSE(TranslateMessage(&msg));
    auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 3u);  // WM_NCCREATE, WM_CREATE and the posted message.
    EXPECT_EQ(calls[2].message, kApp + 1);
    EXPECT_EQ(calls[2].wParam, 5u);
    EXPECT_EQ(calls[2].lParam, 6);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(CrossThreadTest, AMessagePostedToAWindowDestroyedBeforeDispatchNeverReachesIt) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, kApp + 3, 0, 0));
    MSG stale{};
    stale.hwnd = window;
    stale.message = kApp + 3;
    ASSERT_TRUE(DestroyWindow(window));
    DrainQueue();
    SetLastError(kUntouched);
    EXPECT_EQ(DispatchMessageA(&stale), 0);
    EXPECT_FALSE(recorder.Saw(kApp + 3));
    EXPECT_TRUE(recorder.Saw(WM_NCDESTROY));
    SetLastError(kUntouched);
    EXPECT_FALSE(PostMessageA(window, kApp + 3, 0, 0));
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(CrossThreadTest, WindowTimerGoesToItsWindowWithTheGivenId) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_NE(SetTimer(window, 42, USER_TIMER_MINIMUM, nullptr), 0u);
    PassTime(2 * USER_TIMER_MINIMUM);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kTimer);
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.wParam, 42u);
    DispatchMessageA(&msg);
    EXPECT_TRUE(recorder.Saw(WM_TIMER));
    EXPECT_TRUE(KillTimer(window, 42));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(CrossThreadTest, SendMessageInTheOwnerThreadCallsTheProcedureDirectly) {
    Recorder recorder;
    recorder.Answer(kApp + 1, 42);
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, kApp + 1, 7, 0), 42);
    EXPECT_TRUE(recorder.Saw(kApp + 1));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(DestroyWindow(window));
    SetLastError(kUntouched);
    EXPECT_EQ(SendMessageA(window, kApp + 1, 7, 0), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

// How the owner thread takes a message sent from another thread once MsgWaitForMultipleObjects
// has reported it: with PeekMessageA, which processes it and finds nothing to return, or with
// GetMessageA, which processes it before it returns a posted message.
enum class Retrieval { kPeek, kGetAfterPost };

class SentMessageTest : public WindowTest, public ::testing::WithParamInterface<Retrieval> {};

TEST_P(SentMessageTest, MsgWaitWakesForItAndTheNextMessageCallProcessesIt) {
    Recorder recorder;
    recorder.Answer(kApp + 1, 42);
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    HANDLE idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD senderId = 0;
    HANDLE sender = StartThread(
        [window] { return static_cast<unsigned>(SendMessageA(window, kApp + 1, 7, 0)); },
        &senderId);
    ASSERT_EQ(MsgWaitForMultipleObjects(1, &idle, FALSE, kGenerousMs, QS_SENDMESSAGE),
              kWaitObject0 + 1);
    EXPECT_FALSE(recorder.Saw(kApp + 1)) << "MsgWaitForMultipleObjects must not process it";
    MSG msg;
    if (GetParam() == Retrieval::kPeek) {
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    } else {
        ASSERT_TRUE(PostMessageA(nullptr, kApp + 2, 0, 0));
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, kApp + 2);
    }
    auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].message, kApp + 1);
    EXPECT_EQ(calls[2].wParam, 7u);
    // The procedure runs in the window's thread, not the sender's.
    EXPECT_EQ(calls[2].threadId, GetCurrentThreadId());
    EXPECT_NE(calls[2].threadId, senderId);
    EXPECT_EQ(JoinThread(sender), 42u);
    EXPECT_TRUE(CloseHandle(idle));
    EXPECT_TRUE(DestroyWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Retrievals, SentMessageTest,
                         ::testing::Values(Retrieval::kPeek, Retrieval::kGetAfterPost));

TEST_F(CrossThreadTest, AThreadsEndDestroysItsWindowsAndQueue) {
    Recorder recorder;
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HWND window = nullptr;
    DWORD id = 0;
    HANDLE thread = StartThread(
        [&] {
            window = Create(&recorder);
            SetEvent(created);
            WaitForSingleObject(finish, INFINITE);
            return 0u;
        },
        &id);
    ASSERT_EQ(WaitForSingleObject(created, kGenerousMs), kWaitObject0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), id);
    // Only the owner may destroy a window.
    SetLastError(kUntouched);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(window));
    // Posted to the owner's queue; the owner never reads it, and its end discards it.
    EXPECT_TRUE(PostMessageA(window, kApp, 0, 0));
    ASSERT_TRUE(SetEvent(finish));
    EXPECT_EQ(JoinThread(thread), 0u);
    EXPECT_FALSE(IsWindow(window));
    SetLastError(kUntouched);
    EXPECT_FALSE(PostMessageA(window, kApp, 0, 0));
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(recorder.Saw(kApp));
    EXPECT_TRUE(CloseHandle(created));
    EXPECT_TRUE(CloseHandle(finish));
    SetLastError(kUntouched);
    EXPECT_FALSE(PostThreadMessageA(id, kApp, 0, 0));
    WINE_DIFFERS("PostThreadMessageA to an ended thread sets ERROR_INVALID_PARAMETER");
    EXPECT_LAST_ERROR(ERROR_INVALID_THREAD_ID);
}

// Two threads trading posted and sent messages as fast as they can: the sanitizer builds check
// the layer's locking with it, and every message must arrive exactly once.
TEST_F(CrossThreadTest, PostedAndSentMessagesSurviveAHammering) {
    constexpr UINT kRounds = 500;
    Recorder recorder;
    recorder.Answer(kApp + 1, 1);
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    HANDLE peer = StartThread([window] {
        unsigned answered = 0;
        for (UINT i = 0; i < kRounds; ++i) {
            if (!PostMessageA(window, kApp + 2, i, 0)) {
                return 0u;
            }
            answered += static_cast<unsigned>(SendMessageA(window, kApp + 1, i, 0));
        }
        PostMessageA(window, kApp + 3, 0, 0);
        return answered;
    });
    UINT posted = 0;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kApp + 3) {
            break;
        }
        EXPECT_EQ(msg.message, kApp + 2);
        EXPECT_EQ(msg.wParam, static_cast<WPARAM>(posted));
        ++posted;
    }
    EXPECT_EQ(posted, kRounds);
    EXPECT_EQ(JoinThread(peer), kRounds);
    std::size_t sent = 0;
    for (const Call& call : recorder.Calls()) {
        sent += call.message == kApp + 1 ? 1 : 0;
    }
    EXPECT_EQ(sent, static_cast<std::size_t>(kRounds));
    EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
}  // namespace compat_test
