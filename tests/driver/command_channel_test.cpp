// The command channel between the host's slots and the worker thread.
#include <cstring>
#include <chrono>
#include <thread>

#include "driver_fixture.h"

namespace {

using CommandChannelTest = DriverTest;

TEST_F(CommandChannelTest, CommandsArriveInOrderWithTheirOwnZeroTerminatedCopies) {
    StandInWorker worker;
    worker.Attach();
    unsigned char cells[3] = {'a', 'b', 'c'};

    EXPECT_NE(g_driver.PostCommand(CmdWriteMain, cells, 3, 0), 0);
    cells[0] = 'z';  // the caller's buffer is free for reuse once the post returned
    EXPECT_NE(g_driver.PostCommand(CmdWriteAll, cells, 0, 0), 0);
    EXPECT_NE(g_driver.PostCommand(CmdSuspend, nullptr, 7, 0), 0);
    EXPECT_NE(g_driver.PostCommand(CmdClear, nullptr, 0, 0), 0);

    const MSG write = worker.Take();
    EXPECT_EQ(write.hwnd, nullptr);
    EXPECT_EQ(CodeOf(write), CmdWriteMain);
    ASSERT_NE(write.wParam, 0u);
    EXPECT_NE(reinterpret_cast<unsigned char*>(write.wParam), cells);
    EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(write.wParam), "abc", 4), 0)
        << "three bytes and a trailing zero";
    EXPECT_EQ(write.lParam, 3);

    const MSG empty = worker.Take();
    EXPECT_EQ(CodeOf(empty), CmdWriteAll);
    EXPECT_EQ(empty.wParam, 0u) << "data with a count of 0 carries no payload";
    EXPECT_EQ(empty.lParam, 0);

    const MSG flag = worker.Take();
    EXPECT_EQ(CodeOf(flag), CmdSuspend);
    EXPECT_EQ(flag.wParam, 0u);
    EXPECT_EQ(flag.lParam, 7) << "no data: the count passes unchanged";

    EXPECT_EQ(CodeOf(worker.Take()), CmdClear);

    // The handler releases the payload (a leak or a double release fails the sanitizer build).
    EXPECT_EQ(g_driver.HandleCommand(CodeOf(write), reinterpret_cast<std::uint8_t*>(write.wParam),
                                     static_cast<std::uint32_t>(write.lParam)),
              1);
    StandInWorker::Detach();
}

TEST_F(CommandChannelTest, HandlerReleasesPayloadsAndOnlyStopEndsTheLoop) {
    g_driver.m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Case {
        std::uint32_t code;
        int result;
    };
    const Case cases[] = {{CmdNone, 1}, {CmdStop, 0}, {9, 1}, {0xFFFF, 1}};
    for (const Case& c : cases) {
        ResetEvent(g_driver.m_commandDone);
        EXPECT_EQ(g_driver.HandleCommand(c.code, new std::uint8_t[4](), 3), c.result)
            << "code " << c.code;
        EXPECT_EQ(WaitForSingleObject(g_driver.m_commandDone, 0), WAIT_OBJECT_0)
            << "completion is signalled after every command";
    }
    CloseHandle(g_driver.m_commandDone);
    g_driver.m_commandDone = nullptr;
}

TEST_F(CommandChannelTest, FailedPostReleasesThePayloadAndDoesNotWait) {
    StandInWorker worker;
    worker.Attach();
    g_driver.m_threadId = 0xFFFFFFF0u;  // no such thread: every post fails
    const std::uint32_t drawnBefore = g_driver.m_waitsPosted;
    const unsigned char cells[4] = {1, 2, 3, 4};
    EXPECT_EQ(g_driver.PostCommand(CmdWriteMain, cells, 4, 0), 0);
    EXPECT_EQ(g_driver.PostCommand(CmdOpenPort, "COM1", 4, 1), 0) << "returns without waiting";
    EXPECT_EQ(g_driver.m_waitsPosted, drawnBefore) << "a failed post draws no completion number";
    StandInWorker::Detach();
}

TEST_F(CommandChannelTest, WaitingSlotWaitsForItsOwnCommandPastTicksAndTimeOuts) {
    zelcompat::UseManualClock(1000);
    StandInWorker worker;
    worker.Attach();
    g_driver.m_suspended = 0;

    std::atomic<int> result{-1};
    std::thread host([&] { result = g_driver.Suspend(1); });

    const MSG suspend = worker.Take();
    ASSERT_EQ(CodeOf(suspend), CmdSuspend);
    // A tick completes first and sets the shared event; then the command takes longer than the
    // slot's 5 s wait period, twice over.
    EXPECT_EQ(g_driver.HandleCommand(CmdPoll, nullptr, 0), 1);
    for (int i = 0; i < 3; ++i) {
        zelcompat::AdvanceTicks(kWorkerWaitMs + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // real time: let it run
    }
    EXPECT_EQ(result.load(), -1) << "the slot returned before its command was handled";

    EXPECT_EQ(g_driver.HandleCommand(CodeOf(suspend), nullptr,
                                     static_cast<std::uint32_t>(suspend.lParam)),
              1);
    host.join();
    EXPECT_EQ(result.load(), 1);
    StandInWorker::Detach();
    g_driver.m_suspended = 0;
}

// The worker's loop, run on a thread that owns a window of its own, so that a message posted to
// that window can be seen to reach its procedure rather than the command handler.
class WorkerWithWindow {
  public:
    static constexpr char kClassName[] = "ZelWorkerTestWindow";

    WorkerWithWindow() {
        WNDCLASSEXA windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Procedure;
        windowClass.lpszClassName = kClassName;
        RegisterClassExA(&windowClass);
        g_driver.m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        unsigned id = 0;
        g_driver.m_thread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Run, this, 0, &id));
        g_driver.m_threadId = id;
        WaitForSingleObject(g_driver.m_commandDone, INFINITE);
    }

    HWND Window() const { return m_window; }
    static std::atomic<int> s_received;

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == kCommandMessageBase + CmdClosePort) ++s_received;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    static unsigned __stdcall Run(void* self) {
        auto* worker = static_cast<WorkerWithWindow*>(self);
        worker->m_window = CreateWindowExA(0, kClassName, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                           nullptr, nullptr);
        CBrailleSampleDriver::WorkerThreadProc(&g_driver);
        DestroyWindow(worker->m_window);
        return 0;
    }

    HWND m_window = nullptr;
};
std::atomic<int> WorkerWithWindow::s_received{0};

TEST_F(CommandChannelTest, WorkerDispatchesWindowMessagesAndSurvivesQuit) {
    WorkerWithWindow::s_received = 0;
    WorkerWithWindow worker;
    ASSERT_NE(worker.Window(), nullptr);
    const std::uint32_t handledBefore = g_driver.m_waitsHandled;

    ASSERT_TRUE(PostMessageA(worker.Window(), kCommandMessageBase + CmdClosePort, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(g_driver.m_threadId, WM_QUIT, 0, 0));
    // A waiting command that completes proves the loop is still running after both messages.
    EXPECT_EQ(g_driver.PostCommand(CmdClosePort, nullptr, 0, 1), 1);

    EXPECT_EQ(WorkerWithWindow::s_received.load(), 1) << "the window's procedure got its message";
    EXPECT_EQ(g_driver.m_waitsHandled - handledBefore, 1u) << "only the real command was handled";
    EXPECT_NE(g_driver.m_timerId, 0u);

    g_driver.PostCommand(CmdStop, nullptr, 0, 0);
    EXPECT_EQ(WaitForSingleObject(g_driver.m_thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(g_driver.m_timerId, 0u) << "the timer dies with the loop";
    CloseHandle(g_driver.m_thread);
    g_driver.m_thread = nullptr;
    CloseHandle(g_driver.m_commandDone);
    g_driver.m_commandDone = nullptr;
    UnregisterClassA(WorkerWithWindow::kClassName, nullptr);
}

TEST_F(CommandChannelTest, TicksBecomePollsOnlyWhileTheWorkerRuns) {
    zelcompat::UseManualClock(0);
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    // The worker signals ready before it starts its timer; the clock may move only once the timer
    // exists, or its first tick would be measured from the moved clock.
    while (g_driver.m_timerId == 0) std::this_thread::yield();
    // Each due timer tick is handled as a command and sets the completion event.
    for (int tick = 0; tick < 3; ++tick) {
        ResetEvent(g_driver.m_commandDone);
        zelcompat::AdvanceTicks(kPollPeriodMs);
        EXPECT_EQ(WaitForSingleObject(g_driver.m_commandDone, INFINITE), WAIT_OBJECT_0);
    }
}

}  // namespace
