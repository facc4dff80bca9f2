// A host drives the real zel.dll over USB under Wine: the simulated display's firmware runs behind
// a device of the test HID minidriver, so every report goes through Wine's SetupAPI, HID class and
// hidclass.sys as it would on Windows. The program runs through zel-serial-sim-run with a serial
// display on the port the host names, which the driver must never open while the USB display is
// there; cases that expect no display name a port with nothing behind it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "handle_count.h"
#include "message_pump.h"
#include "wine_usb_display.h"
#include "zel_driver.h"

namespace {

using host::HostDriver;
using host::HostSink;
using zelsim::UsbDisplayOptions;
using zelusb::WineUsbDisplay;

constexpr int kTimeoutSeconds = 30;
constexpr const char* kEmptyPort = "COM198";

struct Key {
    std::string name;
    int value;
    DWORD thread;
};

class RecordingSink : public HostSink {
  public:
    int OnKey(HostDriver*, const char* name, int value) override {
        keys.push_back({name, value, GetCurrentThreadId()});
        return 0;
    }
    std::vector<Key> keys;
};

template <class Done>
bool PumpUntil(Done done, int seconds = kTimeoutSeconds) {
    return msgpump::PumpUntil(done, seconds);
}

// Pumps for `ms` milliseconds whatever happens: for checking that something does not happen.
void PumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    PumpUntil([&] { return GetTickCount() - start >= ms; });
}

std::vector<unsigned char> DistinctCells(int seed) {
    std::vector<unsigned char> cells(40);
    for (int i = 0; i < 40; ++i) cells[i] = static_cast<unsigned char>(seed * 41 + i * 7 + 1);
    return cells;
}

std::vector<unsigned char> Shown(const WineUsbDisplay& display, std::size_t count = 40) {
    const zelsim::UsbCells cells = display.ShownCells();
    return std::vector<unsigned char>(cells.begin(), cells.begin() + count);
}

class UsbHostCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_bench = new zelusb::Bench;
        s_driver = LoadZelDriver(&s_dll);
    }
    static void TearDownTestSuite() {
        if (s_dll) FreeLibrary(s_dll);
        delete s_bench;
    }
    void SetUp() override {
        ASSERT_NE(s_driver, nullptr) << "zel.dll or its export is missing";
        ASSERT_TRUE(s_bench->Error().empty()) << s_bench->Error();
        const char* port = std::getenv("ZEL_PTY_COM");
        ASSERT_NE(port, nullptr) << "run through zel-serial-sim-run";
        m_port = port;
    }
    void TearDown() override { s_driver->Close(); }

    std::unique_ptr<WineUsbDisplay> Display(const UsbDisplayOptions& options = {}) {
        auto display = std::make_unique<WineUsbDisplay>(*s_bench, options);
        EXPECT_GE(display->Slot(), 0) << s_bench->Error();
        return display;
    }

    bool ShowsAfterAWhile(const WineUsbDisplay& display, const std::vector<unsigned char>& cells) {
        return PumpUntil([&] { return Shown(display) == cells; });
    }
    // What the driver has written so far has reached the simulated displays: their cells and
    // counters can be looked at.
    static bool Delivered() {
        const bool delivered = s_bench->WaitDelivered();
        EXPECT_TRUE(delivered) << s_bench->Error();
        return delivered;
    }
    // The process's handles by type, counted while the bench's thread holds none of its own.
    static std::map<std::string, int> QuietHandleTypes() {
        const auto quiet = s_bench->Quiet();
        return ProcessHandleTypes();
    }

    static zelusb::Bench* s_bench;
    static HMODULE s_dll;
    static HostDriver* s_driver;
    std::string m_port;
};

zelusb::Bench* UsbHostCheck::s_bench = nullptr;
HMODULE UsbHostCheck::s_dll = nullptr;
HostDriver* UsbHostCheck::s_driver = nullptr;

TEST_F(UsbHostCheck, OpensTheUsbDisplayShowsTheHostsLinesAndEndsOnTheLastWrite) {
    auto display = Display();
    ASSERT_GE(display->Slot(), 0);
    RecordingSink sink;
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    EXPECT_EQ(s_driver->GetTextCellCount(), 40);
    EXPECT_EQ(s_driver->GetStatusCellCount(), 0);
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(display->HellosReceived(), 1);

    // One write: six reports, header and trailer in place, the cells in the host's dot order.
    const std::vector<unsigned char> first = DistinctCells(1);
    EXPECT_EQ(s_driver->WriteMain(first.data(), 40), 1);
    EXPECT_TRUE(PumpUntil([&] { return display->FramesReceived() == 1; }));
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(Shown(*display), first);
    EXPECT_EQ(display->ShownCells()[40], 0);
    EXPECT_EQ(display->ShownCells()[41], 0);
    EXPECT_EQ(display->ReportsReceived(), 1 + 6);
    EXPECT_EQ(display->MalformedReports(), 0);

    // Writes while the acknowledgement is held wait in the driver's queue; once it comes, the
    // display ends on the host's last write.
    ASSERT_TRUE(PumpUntil([&] { return display->PendingAcks() == 0; }));
    display->SetHoldAcks(true);
    const std::vector<unsigned char> held = DistinctCells(2);
    EXPECT_EQ(s_driver->WriteMain(held.data(), 40), 1);
    ASSERT_TRUE(PumpUntil([&] { return display->FramesReceived() == 2; }));
    std::vector<unsigned char> last;
    for (int seed = 3; seed < 8; ++seed) {
        last = DistinctCells(seed);
        EXPECT_EQ(s_driver->WriteMain(last.data(), 40), 1);
    }
    PumpFor(300);
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(display->FramesReceived(), 2) << "nothing leaves while an acknowledgement is awaited";
    display->SetHoldAcks(false);
    EXPECT_TRUE(ShowsAfterAWhile(*display, last));
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(Shown(*display), last);
    EXPECT_EQ(display->MalformedReports(), 0);
    EXPECT_EQ(display->HellosReceived(), 1);
}

TEST_F(UsbHostCheck, KeysOfBothRowsReachOnKeyOnTheHostsThread) {
    auto display = Display();
    ASSERT_GE(display->Slot(), 0);
    RecordingSink sink;
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    display->PressRouting(5);
    display->PressRouting(0x80);  // not a key: dropped
    display->PressFunction(1);
    display->PressFunction(63);  // the second row, posted to nobody
    display->PressRouting(7);
    display->PressRouting(0xFF);
    display->PressFunction(64);  // back to the first row
    display->PressRouting(0);
    EXPECT_TRUE(PumpUntil([&] { return sink.keys.size() >= 4; }));
    PumpFor(300);
    ASSERT_EQ(sink.keys.size(), 4u);
    const Key expected[] = {{"Routing", 5, 0}, {"F1", 0, 0}, {"Routing2", 7, 0}, {"Routing", 0, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sink.keys[i].name, expected[i].name) << i;
        EXPECT_EQ(sink.keys[i].value, expected[i].value) << i;
        EXPECT_EQ(sink.keys[i].thread, GetCurrentThreadId()) << i;
    }
}

TEST_F(UsbHostCheck, ALostAcknowledgementRecoversTheLinkAndResendsTheImage) {
    auto display = Display();
    ASSERT_GE(display->Slot(), 0);
    RecordingSink sink;
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    const std::vector<unsigned char> cells = DistinctCells(9);
    display->DropNextAcks(1);
    const DWORD sent = GetTickCount();
    EXPECT_EQ(s_driver->WriteMain(cells.data(), 40), 1);
    ASSERT_TRUE(PumpUntil([&] { return display->FramesReceived() == 2; }));
    EXPECT_GT(GetTickCount() - sent, 1000u) << "resent only after the time-out";
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(display->HellosReceived(), 1) << "a recovery sends no hello";
    EXPECT_EQ(Shown(*display), cells);
}

TEST_F(UsbHostCheck, AnUnpluggedDisplayIsLookedForAndUsedAgainOnceReplugged) {
    auto display = Display();
    ASSERT_GE(display->Slot(), 0);
    RecordingSink sink;
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    display->Unplug();
    const std::vector<unsigned char> lost = DistinctCells(10);
    EXPECT_EQ(s_driver->WriteMain(lost.data(), 40), 1);
    // The acknowledgement time-out closes the link; the display is gone, and the ticks that look
    // for it find nothing.
    PumpFor(1500);

    // Replugged, it is found on a tick (writes while the link is closed are dropped).
    display->Replug();
    EXPECT_TRUE(PumpUntil([&] { return display->OpenHandles() == 2; }));
    const std::vector<unsigned char> after = DistinctCells(11);
    EXPECT_EQ(s_driver->WriteMain(after.data(), 40), 1);
    EXPECT_TRUE(ShowsAfterAWhile(*display, after))
        << "frames " << display->FramesReceived() << ", reports " << display->ReportsReceived()
        << ", malformed " << display->MalformedReports() << ", handles " << display->OpenHandles()
        << "; " << s_bench->Error();
    EXPECT_EQ(display->OpenHandles(), 2);
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(display->HellosReceived(), 1) << "found again on a tick, without a hello";
    display->PressRouting(3);
    EXPECT_TRUE(PumpUntil([&] { return !sink.keys.empty(); }));
}

TEST_F(UsbHostCheck, DevicesThatAreNotTheDisplayAreLeftAndOpenFails) {
    struct Case {
        const char* what;
        UsbDisplayOptions options;
        int hellos;
    };
    UsbDisplayOptions silent;
    silent.answerHello = false;
    UsbDisplayOptions otherVendor;
    otherVendor.vendorId = 0x04D9;
    UsbDisplayOptions otherVersion;
    otherVersion.versionNumber = 0xF101;
    UsbDisplayOptions longReports;
    longReports.inputReportByteLength = 64;
    longReports.outputReportByteLength = 64;
    const Case cases[] = {
        {"a display that never answers the hello", silent, 1},
        {"another vendor's device", otherVendor, 0},
        {"another version number", otherVersion, 0},
        {"reports longer than the display's", longReports, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto display = Display(c.options);
        ASSERT_GE(display->Slot(), 0);
        RecordingSink sink;
        const DWORD start = GetTickCount();
        EXPECT_EQ(s_driver->Open(kEmptyPort, &sink, "", ""), 0);
        ASSERT_TRUE(Delivered());
        EXPECT_EQ(display->HellosReceived(), c.hellos);
        EXPECT_EQ(display->FramesReceived(), 0);
        if (c.hellos) {
            EXPECT_GE(GetTickCount() - start, 500u) << "ten waits for the reply";
        }
        EXPECT_EQ(display->OpenHandles(), 0) << "the device was let go";
    }
}

TEST_F(UsbHostCheck, OfTwoMatchingDisplaysTheFirstIsOpenedAndTheOtherNeverTouched) {
    auto first = Display();
    auto second = Display();
    ASSERT_GE(first->Slot(), 0);
    ASSERT_GE(second->Slot(), 0);
    RecordingSink sink;
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    EXPECT_EQ(first->OpenHandles(), 2);
    const std::vector<unsigned char> cells = DistinctCells(12);
    EXPECT_EQ(s_driver->WriteMain(cells.data(), 40), 1);
    EXPECT_TRUE(ShowsAfterAWhile(*first, cells));
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(first->HellosReceived(), 1);
    EXPECT_EQ(second->ReportsReceived(), 0);
    EXPECT_EQ(second->OpenHandles(), 0) << "the second display was never opened";
}

TEST_F(UsbHostCheck, SuspendAndCloseLetTheDeviceGoAndCloseBlanksIt) {
    auto display = Display();
    ASSERT_GE(display->Slot(), 0);
    RecordingSink sink;
    // The first session makes what lives as long as the driver (its read event); from the second
    // on, a session gives back every handle it took.
    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    s_driver->Close();
    ASSERT_TRUE(Delivered());
    const std::map<std::string, int> handlesBefore = QuietHandleTypes();

    ASSERT_EQ(s_driver->Open(m_port.c_str(), &sink, "", ""), 1);
    EXPECT_EQ(display->OpenHandles(), 2) << "a write side and a read side";
    const std::vector<unsigned char> cells = DistinctCells(13);
    EXPECT_EQ(s_driver->WriteMain(cells.data(), 40), 1);
    ASSERT_TRUE(ShowsAfterAWhile(*display, cells));

    EXPECT_NE(s_driver->Suspend(1), 0);
    EXPECT_EQ(display->OpenHandles(), 0) << "a suspended driver holds nothing";
    EXPECT_NE(s_driver->Suspend(0), 0);
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(display->HellosReceived(), 3);
    const std::vector<unsigned char> resumed = DistinctCells(14);
    EXPECT_EQ(s_driver->WriteMain(resumed.data(), 40), 1);
    EXPECT_TRUE(ShowsAfterAWhile(*display, resumed));
    display->PressFunction(2);
    EXPECT_TRUE(PumpUntil([&] { return !sink.keys.empty(); }));

    s_driver->Close();
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(Shown(*display, 42), std::vector<unsigned char>(42, 0)) << "blank after Close";
    EXPECT_EQ(display->OpenHandles(), 0) << "Close let the device go";
    const std::map<std::string, int> handlesAfter = QuietHandleTypes();
    EXPECT_EQ(handlesAfter, handlesBefore) << HandleTypeDifference(handlesBefore, handlesAfter);
}

}  // namespace
