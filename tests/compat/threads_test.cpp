// Threads: handles, exit codes, ids, priorities and the per-thread last-error code.
#include "support.h"

#include <set>

namespace compat_test {
namespace {

using ThreadTest = CompatTest;

TEST_F(ThreadTest, HandleIsSignalledWhenTheThreadEndsAndGivesItsExitCode) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([go] {
        WaitForSingleObject(go, INFINITE);
        return 1234u;
    });
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(WaitForSingleObject(thread, 0), kWaitTimeout);
    ASSERT_TRUE(SetEvent(go));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), kWaitObject0);
    // A thread handle stays signalled: a second wait succeeds too.
    EXPECT_EQ(WaitForSingleObject(thread, 0), kWaitObject0);
    EXPECT_EQ(JoinThread(thread), 1234u);
    EXPECT_TRUE(CloseHandle(go));
}

TEST_F(ThreadTest, ClosingItsHandleDoesNotStopTheThread) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([go, done] {
        WaitForSingleObject(go, INFINITE);
        SetEvent(done);
        return 0u;
    });
    ASSERT_TRUE(CloseHandle(thread));
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForSingleObject(done, kGenerousMs), kWaitObject0);
    EXPECT_TRUE(CloseHandle(go));
    EXPECT_TRUE(CloseHandle(done));
}

TEST_F(ThreadTest, IdsAreNonzeroDistinctAndMatchWhatBeginthreadexReturned) {
    constexpr int kThreads = 4;
    DWORD reported[kThreads] = {};
    DWORD seen[kThreads] = {};
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        DWORD* slot = &seen[i];
        threads[i] = StartThread(
            [slot] {
                *slot = GetCurrentThreadId();
                // Stable for the life of the thread.
                return GetCurrentThreadId() == *slot ? 1u : 0u;
            },
            &reported[i]);
    }
    std::set<DWORD> ids{GetCurrentThreadId()};
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(JoinThread(threads[i]), 1u);
        EXPECT_NE(seen[i], 0u);
        EXPECT_EQ(seen[i], reported[i]);
        ids.insert(seen[i]);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads + 1));
    EXPECT_NE(GetCurrentThreadId(), 0u);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

class PriorityTest : public CompatTest, public ::testing::WithParamInterface<int> {};

TEST_P(PriorityTest, SetThreadPriorityIsReadBackByGetThreadPriority) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([go] { return WaitForSingleObject(go, INFINITE); });
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(thread, GetParam()));
    EXPECT_EQ(GetThreadPriority(thread), GetParam());
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(JoinThread(thread), kWaitObject0);
    EXPECT_TRUE(CloseHandle(go));
}

INSTANTIATE_TEST_SUITE_P(Levels, PriorityTest,
                         ::testing::Values(THREAD_PRIORITY_BELOW_NORMAL,
                                           THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST));

TEST_F(ThreadTest, SetThreadPriorityRefusesAnUnknownLevel) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([go] { return WaitForSingleObject(go, INFINITE); });
    SetLastError(kUntouched);
    EXPECT_FALSE(SetThreadPriority(thread, 7));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(JoinThread(thread), kWaitObject0);
    EXPECT_TRUE(CloseHandle(go));
}

TEST_F(ThreadTest, LastErrorBelongsToEachThread) {
    SetLastError(111);
    HANDLE thread = StartThread([] {
        DWORD initial = GetLastError();
        SetLastError(222);
        return initial == 0 && GetLastError() == 222 ? 1u : 0u;
    });
    EXPECT_EQ(JoinThread(thread), 1u);
    EXPECT_EQ(GetLastError(), 111u);
}

}  // namespace
}  // namespace compat_test
