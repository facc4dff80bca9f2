// Key events from the worker thread to the host's OnKey, through the hidden key window.
#include <chrono>
#include <thread>

#include "driver_fixture.h"

namespace {

using KeyWindowTest = DriverTest;

// Posts one key event to `window` from another thread, as the worker does.
void PostKeyFromAnotherThread(HWND window, const char* name, int value) {
    std::thread poster([=] {
        PostMessageA(window, WM_DRIVER_KEY, reinterpret_cast<WPARAM>(name),
                     static_cast<LPARAM>(value));
    });
    poster.join();
}

TEST_F(KeyWindowTest, KeysReachOnKeyOnTheOpeningThreadWithNameAndValue) {
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    const HWND window = g_driver.m_keyWindow;
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());

    PostKeyFromAnotherThread(window, "Routing", 39);
    PostKeyFromAnotherThread(window, "F1", -1);
    PumpMessages();

    const auto keys = sink.Keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].name, "Routing");
    EXPECT_EQ(keys[0].value, 39);
    EXPECT_EQ(keys[1].name, "F1");
    EXPECT_EQ(keys[1].value, -1);
    for (const auto& key : keys) EXPECT_EQ(key.threadId, GetCurrentThreadId());
    EXPECT_EQ(sink.LastDriver(), static_cast<IBrailleDriver*>(&g_driver));
}

TEST_F(KeyWindowTest, EventsWithoutANameOrSinkOrFromAnotherWindowAreDropped) {
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    const HWND window = g_driver.m_keyWindow;

    PostKeyFromAnotherThread(window, nullptr, 1);
    PostKeyFromAnotherThread(window, "", 2);
    // Another window of the same class is not the key window.
    const HWND other = g_driver.CreateKeyWindow(g_moduleInstance);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(SendMessageA(other, WM_DRIVER_KEY, reinterpret_cast<WPARAM>("F2"), 3), 0);
    DestroyWindow(other);
    // With no sink the event is consumed; a sink installed later does not see it again.
    g_driver.m_sink = nullptr;
    PostKeyFromAnotherThread(window, "F3", 4);
    PumpMessages();
    g_driver.m_sink = &sink;
    PumpMessages();
    EXPECT_TRUE(sink.Keys().empty());

    // The sink is read at delivery: an event posted before SetSink reaches the new sink.
    RecordingSink later;
    PostKeyFromAnotherThread(window, "F4", 5);
    EXPECT_EQ(g_driver.SetSink(&later), &sink);
    PumpMessages();
    EXPECT_TRUE(sink.Keys().empty());
    ASSERT_EQ(later.Keys().size(), 1u);
    EXPECT_EQ(later.Keys()[0].name, "F4");
}

TEST_F(KeyWindowTest, SuspendDropsPendingEventsAndResumeMakesANewWindow) {
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    const HWND before = g_driver.m_keyWindow;

    PostKeyFromAnotherThread(before, "F1", 1);
    ASSERT_EQ(g_driver.Suspend(1), 1);
    EXPECT_EQ(g_driver.m_keyWindow, nullptr);
    EXPECT_FALSE(IsWindow(before));
    PostKeyFromAnotherThread(before, "F2", 2);
    PumpMessages();
    EXPECT_TRUE(sink.Keys().empty()) << "no key reaches the host while suspended";

    ASSERT_EQ(g_driver.Suspend(0), 1);
    const HWND after = g_driver.m_keyWindow;
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    PostKeyFromAnotherThread(after, "F3", 3);
    PumpMessages();
    ASSERT_EQ(sink.Keys().size(), 1u);
    EXPECT_EQ(sink.Keys()[0].name, "F3");
}

TEST_F(KeyWindowTest, AWaitingSlotRunsQueuedKeysWhenAnotherThreadSendsItAMessage) {
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    // Close's wait is held open by a stand-in worker until the key has arrived (or 2 s passed).
    g_driver.PostCommand(CmdStop, nullptr, 0, 0);
    WaitForSingleObject(g_driver.m_thread, INFINITE);
    CloseHandle(g_driver.m_thread);
    CloseHandle(g_driver.m_commandDone);
    StandInWorker worker;
    worker.Attach();
    worker.HandOverThread();
    const HWND window = g_driver.m_keyWindow;
    PostKeyFromAnotherThread(window, "F5", 5);

    std::atomic<bool> arrivedDuringWait{false};
    std::thread controller([&] {
        const MSG close = worker.Take();  // the host is waiting for this command now
        SendMessageA(window, WM_NULL, 0, 0);
        for (int i = 0; i < 2000 && sink.Keys().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        arrivedDuringWait = !sink.Keys().empty();
        g_driver.HandleCommand(CodeOf(close), nullptr, 0);
    });
    g_driver.Close();
    controller.join();

    EXPECT_TRUE(arrivedDuringWait.load());
    const auto keys = sink.Keys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].threadId, GetCurrentThreadId()) << "OnKey ran inside Close, on its thread";
}

TEST_F(KeyWindowTest, ANewSessionFindsTheClassRegisteredAndStillGetsAWindow) {
    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    g_driver.Close();
    EXPECT_EQ(g_driver.RegisterKeyWindowClass(g_moduleInstance), 0) << "already registered";
    StartSessionWithoutDisplay(&sink);
    PostKeyFromAnotherThread(g_driver.m_keyWindow, "F6", 6);
    PumpMessages();
    EXPECT_EQ(sink.Keys().size(), 1u);
}

}  // namespace
