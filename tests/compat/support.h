// Helpers shared by the conformance cases. The same cases run natively against our layer and as
// Windows programs under Wine, so everything here compiles against both <windows.h> headers.
#pragma once

#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <zel_compat/seams.h>
#endif

// Windows' headers define many constants as int or long where our layer uses unsigned; comparing
// through these keeps -Wsign-compare quiet in both builds.
#define EXPECT_LAST_ERROR(code) EXPECT_EQ(GetLastError(), static_cast<DWORD>(code))
#define ASSERT_LAST_ERROR(code) ASSERT_EQ(GetLastError(), static_cast<DWORD>(code))

// Ends the rest of a case, as skipped, where Wine 8 differs from Windows; our layer follows
// Windows, so natively the case goes on. Put it after the case's clean-up, before the checks that
// Wine fails.
#ifdef _WIN32
#define WINE_DIFFERS(reason) GTEST_SKIP() << "Wine 8 differs: " << reason
#else
#define WINE_DIFFERS(reason) static_cast<void>(0)
#endif

namespace compat_test {

constexpr DWORD kWaitObject0 = WAIT_OBJECT_0;
constexpr DWORD kWaitTimeout = WAIT_TIMEOUT;
constexpr DWORD kWaitFailed = WAIT_FAILED;
constexpr DWORD kStillActive = STILL_ACTIVE;
constexpr UINT kApp = WM_APP;
constexpr UINT kTimer = WM_TIMER;
constexpr UINT kQuit = WM_QUIT;
// A value no call sets, stored before a failing call to prove that the call set its own code.
constexpr DWORD kUntouched = 0xdeadbeef;
// A bound on waits that must end long before it; natively, with the manual clock, it never runs
// out unless the test moves the clock.
constexpr DWORD kGenerousMs = 5000;

// The handle of (HWND)-1: the GetMessageA/PeekMessageA filter for thread messages only.
inline HWND ThreadMessagesOnly() { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)); }

// Starts a thread with _beginthreadex running `body`; its return value is the exit code.
HANDLE StartThread(std::function<unsigned()> body, DWORD* threadId = nullptr);

// Waits for the thread to end, closes its handle and returns its exit code.
DWORD JoinThread(HANDLE thread);

// Lets `milliseconds` of tick count pass: natively by moving the manual clock, under Windows by
// sleeping (so cases that use it keep their intervals short).
void PassTime(DWORD milliseconds);

// Removes (and dispatches) everything in the calling thread's queue, including a pending WM_QUIT.
void DrainQueue();

// Every case runs with an empty queue on the test thread; natively also on the manual clock and
// with a check that it leaked no handles and no windows.
class CompatTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

  private:
#ifndef _WIN32
    std::size_t handles_ = 0;
    std::size_t windows_ = 0;
#endif
};

// One call of a window procedure, as a Recorder saw it.
struct Call {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD threadId = 0;
    // Copied from the CREATESTRUCTA of WM_NCCREATE and WM_CREATE, which lives only during the call.
    LPVOID createParams = nullptr;
    std::string createName;
};

// Records the messages of interest that reach RecordingProc (creation and destruction, WM_TIMER,
// WM_CLOSE and WM_APP and above; Windows sends many others that these cases do not care about)
// and answers with configured results.
class Recorder {
  public:
    // The result RecordingProc returns for `message` instead of DefWindowProcA's.
    void Answer(UINT message, LRESULT result);
    std::vector<Call> Calls() const;
    std::vector<UINT> Messages() const;
    bool Saw(UINT message) const;

    // Used by RecordingProc.
    void Record(const Call& call);
    bool Answers(UINT message, LRESULT* result) const;

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<std::pair<UINT, LRESULT>> answers_;
};

// The window procedure of the test class: finds its Recorder through the lpCreateParams of
// CreateWindowExA, which it stores as a window property.
LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The class that the window cases register, under this name, with RecordingProc.
constexpr const char* kClassName = "ZelCompatTestClass";

// Registers kClassName and creates message-only windows of it; unregisters it at the end.
class WindowTest : public CompatTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A message-only window of the test class reporting to `recorder`.
    HWND Create(Recorder* recorder, LPCSTR className = kClassName);

    ATOM atom_ = 0;
};

}  // namespace compat_test
