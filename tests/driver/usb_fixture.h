// Shared pieces of the tests that run the driver against the simulated USB display.
#pragma once

#include <zel_compat/hid.h>
#include <zel_sim/usb_display.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "driver_fixture.h"

// The driver on the manual clock, with a host sink and helpers to drive the worker's ticks.
class UsbTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        zelcompat::UseManualClock(kStartTicks);
        m_hadReadEvent = g_driver.readEvent != nullptr;
    }

    void TearDown() override {
        // The USB link's read event is made at the first discovery and kept for the life of the
        // driver object: it is not a leak of the test that happened to make it.
        if (!m_hadReadEvent && g_driver.readEvent != nullptr) ++m_handlesBefore;
        DriverTest::TearDown();
    }

    int OpenDriver(const char* port = "COM9") { return g_driver.Open(port, &m_sink, "", ""); }

    // Waits until the worker has handled everything that is due and is blocked in its queue
    // again. The test thread is the only other thread, and it never waits here.
    static void Settle() {
        while (zelcompat::BlockedWaiterCount() < 1) std::this_thread::yield();
    }

    // Runs `count` ticks of the worker's timer, each to its end.
    static void Tick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            zelcompat::AdvanceTicks(kPollPeriodMs);
            Settle();
        }
    }

    // The keys that have reached the host, after its message loop ran.
    std::vector<RecordingSink::Key> DeliveredKeys() {
        PumpMessages();
        return m_sink.Keys();
    }

    static constexpr DWORD kStartTicks = 50000;
    RecordingSink m_sink;
    bool m_hadReadEvent = false;
};

// Host cells whose every cell differs from its neighbours and from those of other seeds.
inline std::vector<unsigned char> DistinctCells(std::size_t count, unsigned seed) {
    std::vector<unsigned char> cells(count);
    for (std::size_t i = 0; i < count; ++i) {
        cells[i] = static_cast<unsigned char>((seed * 37u + i * 11u + 1u) & 0xFFu);
    }
    return cells;
}

// The first `count` cells the display shows, in the host's dot order.
inline std::vector<unsigned char> Shown(const zelsim::UsbDisplay& display, std::size_t count) {
    const zelsim::UsbCells cells = display.ShownCells();
    return std::vector<unsigned char>(cells.begin(), cells.begin() + count);
}
