// The manual clock of the test seams (native build only): every time-out and timer of the layer
// is measured on GetTickCount, so moving the count by hand decides when they expire.
#ifndef _WIN32  // The native build alone compiles this file; Windows has no test seams.
#include "support.h"

#include <chrono>
#include <thread>
#include <tuple>

namespace compat_test {
namespace {

// Waits (in real time, briefly) until `count` threads are blocked in layer waits and have seen
// every change so far, so that a check that a waiter is still waiting cannot pass by racing it.
void AwaitBlocked(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (zelcompat::BlockedWaiterCount() != count) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "waiters: " << zelcompat::BlockedWaiterCount() << ", expected " << count;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

bool StillRunning(HANDLE thread) {
    DWORD code = 0;
    return GetExitCodeThread(thread, &code) && code == kStillActive;
}

using ClockTest = CompatTest;

TEST_F(ClockTest, TickCountFollowsTheManualClockAndWraps) {
    EXPECT_TRUE(zelcompat::ManualClockActive());
    zelcompat::SetTicks(0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    zelcompat::AdvanceTicks(0x20);
    EXPECT_EQ(GetTickCount(), 0x10u);
    zelcompat::UseRealClock();
    EXPECT_FALSE(zelcompat::ManualClockActive());
    DWORD first = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - first), 1000u);
}

TEST_F(ClockTest, ACoarseClockMovesOneMillisecondARead) {
    zelcompat::SetTicks(1024);
    zelcompat::SetTickResolution(16);
    // Reads 1 to 15 show 1024 (1025..1039 rounded down); the sixteenth reaches 1040.
    for (int read = 1; read < 16; ++read) EXPECT_EQ(GetTickCount(), 1024u) << "read " << read;
    EXPECT_EQ(GetTickCount(), 1040u);
    const DWORD start = GetTickCount();
    DWORD now = start;
    int reads = 0;
    while (now == start && reads < 100) {
        now = GetTickCount();
        ++reads;
    }
    EXPECT_EQ(now - start, 16u) << "a spin on the count ends a whole step later";
    EXPECT_EQ(reads, 15) << "fifteen reads: one millisecond each";
    zelcompat::SetTicks(50);
    EXPECT_EQ(GetTickCount(), 50u) << "SetTicks returns to the plain manual count";
}

// The kinds of wait that take a time-out; each returns what the waiting call returned.
enum class WaitKind { kSingleObject, kMsgWait, kSleep };

DWORD WaitFor(WaitKind kind, HANDLE event, DWORD timeout) {
    switch (kind) {
        case WaitKind::kSingleObject:
            return WaitForSingleObject(event, timeout);
        case WaitKind::kMsgWait:
            return MsgWaitForMultipleObjects(1, &event, FALSE, timeout, QS_ALLINPUT);
        case WaitKind::kSleep:
            Sleep(timeout);
            return kWaitTimeout;
    }
    return kWaitFailed;
}

class TimeoutTest : public CompatTest,
                    public ::testing::WithParamInterface<std::tuple<WaitKind, DWORD>> {};

TEST_P(TimeoutTest, A5000MsWaitEndsExactlyWhenTheCountHasMoved5000) {
    WaitKind kind = std::get<0>(GetParam());
    zelcompat::SetTicks(std::get<1>(GetParam()));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([kind, event] { return WaitFor(kind, event, 5000); });
    AwaitBlocked(1);
    zelcompat::AdvanceTicks(4000);
    AwaitBlocked(1);
    zelcompat::AdvanceTicks(999);
    AwaitBlocked(1);
    EXPECT_TRUE(StillRunning(thread));
    zelcompat::AdvanceTicks(1);
    EXPECT_EQ(JoinThread(thread), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(event));
}

// Start counts chosen so that some waits run across the wrap from 0xFFFFFFFF to 0.
INSTANTIATE_TEST_SUITE_P(KindsAndStarts, TimeoutTest,
                         ::testing::Combine(::testing::Values(WaitKind::kSingleObject,
                                                              WaitKind::kMsgWait, WaitKind::kSleep),
                                            ::testing::Values(0u, 0x7FFFFFFFu, 0xFFFFF000u,
                                                              0xFFFFFFFFu)));

TEST_F(ClockTest, SetTicksPastTheTimeoutEndsAWait) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD start = GetTickCount();
    HANDLE thread = StartThread([event] { return WaitForSingleObject(event, 100); });
    AwaitBlocked(1);
    zelcompat::SetTicks(start + 1000);
    EXPECT_EQ(JoinThread(thread), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(ClockTest, AnEventSetBeforeTheTimeoutEndsTheWaitWithoutTheClockMoving) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = StartThread([event] { return WaitForSingleObject(event, 5000); });
    AwaitBlocked(1);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(JoinThread(thread), kWaitObject0);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(ClockTest, AThreadTimerWakesABlockedGetMessageWhenTheClockReachesIt) {
    HANDLE thread = StartThread([] {
        UINT_PTR timer = SetTimer(nullptr, 0, 100, nullptr);
        MSG msg;
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        KillTimer(nullptr, timer);
        return got > 0 && msg.message == kTimer && msg.wParam == timer ? 1u : 0u;
    });
    AwaitBlocked(1);
    zelcompat::AdvanceTicks(99);
    AwaitBlocked(1);
    EXPECT_TRUE(StillRunning(thread));
    zelcompat::AdvanceTicks(1);
    EXPECT_EQ(JoinThread(thread), 1u);
}

TEST_F(ClockTest, OneTimerMessageAtATimeAndTheNextIsDueAnIntervalAfterDelivery) {
    UINT_PTR timer = SetTimer(nullptr, 0, 100, nullptr);
    MSG msg;
    zelcompat::AdvanceTicks(99);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    // Three and a half intervals pass before the thread looks: still a single WM_TIMER.
    zelcompat::AdvanceTicks(251);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, kTimer);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kTimer);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    zelcompat::AdvanceTicks(99);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    zelcompat::AdvanceTicks(1);
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, timer));
}

TEST_F(ClockTest, ShortTimerIntervalsAreRaisedToTheMinimum) {
    UINT_PTR timer = SetTimer(nullptr, 0, 1, nullptr);
    MSG msg;
    zelcompat::AdvanceTicks(USER_TIMER_MINIMUM - 1);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    zelcompat::AdvanceTicks(1);
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, timer));
}

// With the real clock, time-outs and timers take real time: kept to a few milliseconds.
TEST_F(ClockTest, RealClockTimeoutsTakeRealTime) {
    zelcompat::UseRealClock();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 5), kWaitTimeout);
    EXPECT_GE(GetTickCount() - start, 5u);
    start = GetTickCount();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 5, QS_ALLINPUT), kWaitTimeout);
    EXPECT_GE(GetTickCount() - start, 5u);
    start = GetTickCount();
    UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, nullptr);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kTimer);
    EXPECT_GE(GetTickCount() - start, USER_TIMER_MINIMUM);
    EXPECT_TRUE(KillTimer(nullptr, timer));
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(ClockTest, LiveCountsFollowCreationAndRelease) {
    std::size_t handles = zelcompat::LiveHandleCount();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(zelcompat::LiveHandleCount(), handles + 1);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(zelcompat::LiveHandleCount(), handles);

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DefWindowProcA;
    windowClass.lpszClassName = "ZelCompatCountedClass";
    ASSERT_NE(RegisterClassExA(&windowClass), 0);
    std::size_t windows = zelcompat::LiveWindowCount();
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows + 1);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows);
    EXPECT_TRUE(UnregisterClassA(windowClass.lpszClassName, nullptr));
}

}  // namespace
}  // namespace compat_test

#endif  // _WIN32
