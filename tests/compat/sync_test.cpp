// Handles, events and waits.
#include "support.h"

#include <string>

namespace compat_test {
namespace {

using SyncTest = CompatTest;

TEST_F(SyncTest, ClosingAHandleTwiceFailsWithInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(kUntouched);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

// Every handle-taking call refuses a null handle and a closed one with ERROR_INVALID_HANDLE.
struct InvalidHandleCase {
    const char* name;
    std::function<bool(HANDLE)> failsOn;  // Makes the call; true if it reported failure.
};

class InvalidHandleTest : public CompatTest,
                          public ::testing::WithParamInterface<InvalidHandleCase> {};

TEST_P(InvalidHandleTest, FailsWithInvalidHandle) {
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), closed}) {
        SetLastError(kUntouched);
        EXPECT_TRUE(GetParam().failsOn(handle)) << (handle ? "closed handle" : "null handle");
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InvalidHandleTest,
    ::testing::Values(
        InvalidHandleCase{"CloseHandle", [](HANDLE h) { return !CloseHandle(h); }},
        InvalidHandleCase{"SetEvent", [](HANDLE h) { return !SetEvent(h); }},
        InvalidHandleCase{"ResetEvent", [](HANDLE h) { return !ResetEvent(h); }},
        InvalidHandleCase{"WaitForSingleObject",
                          [](HANDLE h) { return WaitForSingleObject(h, 0) == kWaitFailed; }},
        InvalidHandleCase{"MsgWaitForMultipleObjects",
                          [](HANDLE h) {
                              return MsgWaitForMultipleObjects(1, &h, FALSE, 0, QS_ALLINPUT) ==
                                     kWaitFailed;
                          }},
        InvalidHandleCase{"GetExitCodeThread",
                          [](HANDLE h) {
                              DWORD code;
                              return !GetExitCodeThread(h, &code);
                          }},
        InvalidHandleCase{"SetThreadPriority",
                          [](HANDLE h) { return !SetThreadPriority(h, THREAD_PRIORITY_NORMAL); }},
        InvalidHandleCase{
            "GetThreadPriority",
            [](HANDLE h) { return GetThreadPriority(h) == THREAD_PRIORITY_ERROR_RETURN; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncTest, EventCallsRefuseAThreadHandleAndThreadCallsAnEvent) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([event] { return WaitForSingleObject(event, INFINITE); });
    SetLastError(kUntouched);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    DWORD code;
    SetLastError(kUntouched);
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(JoinThread(thread), kWaitObject0);
    EXPECT_TRUE(CloseHandle(event));
}

// An event's first and second zero-time-out waits, by reset mode and initial state.
struct EventCase {
    const char* name;
    BOOL manualReset;
    BOOL initialState;
    DWORD firstWait;
    DWORD secondWait;
};

class EventStateTest : public CompatTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(EventStateTest, SatisfiedWaitResetsOnlyAnAutoResetEvent) {
    const EventCase& c = GetParam();
    HANDLE event = CreateEventA(nullptr, c.manualReset, c.initialState, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait);
    EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait);
    // SetEvent signals it again; ResetEvent takes the signal away in both modes.
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(event, 0), c.manualReset ? kWaitObject0 : kWaitTimeout);
    EXPECT_TRUE(CloseHandle(event));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EventStateTest,
    ::testing::Values(EventCase{"ManualSignalled", TRUE, TRUE, kWaitObject0, kWaitObject0},
                      EventCase{"AutoSignalled", FALSE, TRUE, kWaitObject0, kWaitTimeout},
                      EventCase{"ManualUnsignalled", TRUE, FALSE, kWaitTimeout, kWaitTimeout},
                      EventCase{"AutoUnsignalled", FALSE, FALSE, kWaitTimeout, kWaitTimeout}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncTest, AnEmptyNameMakesAnUnnamedEvent) {
    // Two of them are separate events, not one object opened twice.
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "");
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, "");
    ASSERT_NE(first, nullptr) << "error " << GetLastError();
    ASSERT_NE(second, nullptr) << "error " << GetLastError();
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
}

TEST_F(SyncTest, SetEventWakesAWaiterInAnotherThread) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = StartThread([event] { return WaitForSingleObject(event, INFINITE); });
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(JoinThread(thread), kWaitObject0);
    // The waiter consumed the auto-reset signal.
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(SyncTest, MsgWaitReturnsTheLowestSignalledIndexAndResetsOnlyThatEvent) {
    HANDLE events[] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                       CreateEventA(nullptr, FALSE, FALSE, nullptr),
                       CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    EXPECT_EQ(MsgWaitForMultipleObjects(3, events, FALSE, 0, QS_ALLINPUT), kWaitTimeout);
    ASSERT_TRUE(SetEvent(events[2]));
    ASSERT_TRUE(SetEvent(events[1]));
    EXPECT_EQ(MsgWaitForMultipleObjects(3, events, FALSE, 0, QS_ALLINPUT), kWaitObject0 + 1);
    EXPECT_EQ(MsgWaitForMultipleObjects(3, events, FALSE, 0, QS_ALLINPUT), kWaitObject0 + 2);
    EXPECT_EQ(MsgWaitForMultipleObjects(3, events, FALSE, 0, QS_ALLINPUT), kWaitTimeout);
    for (HANDLE event : events) {
        EXPECT_TRUE(CloseHandle(event));
    }
}

}  // namespace
}  // namespace compat_test
