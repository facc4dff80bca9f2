// Shared pieces of the driver's native tests.
#pragma once

#include <gtest/gtest.h>
#include <process.h>
#include <unistd.h>
#include <zel_compat/mappings.h>
#include <zel_compat/seams.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "running_clock.h"

// A host callback object that records every call with the thread it arrived on.
class RecordingSink : public IBrailleSink {
  public:
    struct Key {
        std::string name;
        int value;
        DWORD threadId;
    };

    int OnKey(IBrailleDriver* driver, const char* keyName, int value) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keys.push_back({keyName, value, GetCurrentThreadId()});
        m_lastDriver = driver;
        return 0;
    }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }

    std::vector<Key> Keys() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys;
    }
    IBrailleDriver* LastDriver() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastDriver;
    }

  private:
    std::mutex m_mutex;
    std::vector<Key> m_keys;
    IBrailleDriver* m_lastDriver = nullptr;
};

// Runs every message now queued for the calling thread, as a host's message loop would.
inline void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

inline std::uint32_t CodeOf(const MSG& msg) { return msg.message - kCommandMessageBase; }

// A thread with a message queue that takes the driver's commands in place of the worker, so that a
// test decides when (and whether) each command is handled.
class StandInWorker {
  public:
    StandInWorker() {
        m_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        unsigned id = 0;
        m_thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Run, this, 0, &id));
        m_threadId = id;
        WaitForSingleObject(m_ready, INFINITE);
    }
    ~StandInWorker() {
        PostThreadMessageA(m_threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(m_thread, INFINITE);
        if (!m_handedOver) CloseHandle(m_thread);
        CloseHandle(m_ready);
        for (const MSG& msg : m_received) delete[] reinterpret_cast<std::uint8_t*>(msg.wParam);
    }

    // Makes g_driver post its commands here.
    void Attach() {
        g_driver.m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_driver.m_thread = m_thread;
        g_driver.m_threadId = m_threadId;
    }
    static void Detach() {
        CloseHandle(g_driver.m_commandDone);
        g_driver.m_commandDone = nullptr;
        g_driver.m_thread = nullptr;
        g_driver.m_threadId = 0;
    }

    // The next message that arrived, waiting for it if need be.
    MSG Take() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait(lock, [this] { return !m_received.empty(); });
        MSG msg = m_received.front();
        m_received.pop_front();
        return msg;
    }

    DWORD ThreadId() const { return m_threadId; }

    // The driver closes the thread handle itself (Close does); the stand-in must not close it too.
    void HandOverThread() { m_handedOver = true; }

  private:
    static unsigned __stdcall Run(void* self) {
        auto* worker = static_cast<StandInWorker*>(self);
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(worker->m_ready);
        // Like the worker, it ends on the stop command (which it keeps for the test to see).
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            std::lock_guard<std::mutex> lock(worker->m_mutex);
            worker->m_received.push_back(msg);
            worker->m_arrived.notify_all();
            if (msg.hwnd == nullptr && msg.message == kCommandMessageBase + CmdStop) break;
        }
        return 0;
    }

    bool m_handedOver = false;
    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<MSG> m_received;
};

// Puts g_driver back into the state of a freshly loaded library after each test, so that tests do
// not depend on one another's leftovers.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(g_driver.m_portName, 0, sizeof g_driver.m_portName);
        // Named sections of this test program are its own: a tool running on the machine at the
        // same time may have made the driver's shared control block in the default namespace.
        zelcompat::SetObjectNamespace("zel-driver-tests-" + std::to_string(getpid()));
        m_handlesBefore = zelcompat::LiveHandleCount();
        m_windowsBefore = zelcompat::LiveWindowCount();
    }

    void TearDown() override {
        {
            // A serial display gets a blank frame at Close, which waits for its acknowledgement.
            RunningClock clock;
            g_driver.Close();
        }
        g_driver.m_opened = 0;
        g_driver.m_suspended = 0;
        g_driver.m_sink = nullptr;
        g_driver.m_textCells = 0;
        g_driver.m_statusCells = 0;
        // The shared control block is held for the life of the driver object; each test starts
        // detached and unpaused.
        g_driver.DetachSharedBlock();
        g_driver.m_sharedPause = 0;
        g_driver.m_portNumber = 0;
        zelcompat::UseRealClock();
        EXPECT_EQ(g_driver.m_thread, nullptr);
        EXPECT_EQ(zelcompat::LiveHandleCount(), m_handlesBefore) << "a handle was leaked";
        EXPECT_EQ(zelcompat::LiveWindowCount(), m_windowsBefore) << "a window was leaked";
    }

    // Brings g_driver into the state that a successful Open leaves (worker running, sink kept, key
    // window on this thread) without a display, which this build cannot open yet.
    void StartSessionWithoutDisplay(IBrailleSink* sink) {
        g_driver.m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(g_driver.m_commandDone, nullptr);
        ASSERT_EQ(g_driver.StartWorker(), 1);
        ASSERT_EQ(WaitForSingleObject(g_driver.m_commandDone, kWorkerWaitMs), WAIT_OBJECT_0);
        g_driver.m_sink = sink;
        g_driver.RegisterKeyWindowClass(g_moduleInstance);
        g_driver.m_keyWindow = g_driver.CreateKeyWindow(g_moduleInstance);
        ASSERT_NE(g_driver.m_keyWindow, nullptr);
        g_driver.m_opened = 1;
        g_driver.m_suspended = 0;
        g_driver.m_textCells = 40;
    }

    std::size_t m_handlesBefore = 0;
    std::size_t m_windowsBefore = 0;
};
