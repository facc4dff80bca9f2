// The driver against the simulated serial display, end to end on a pseudo-terminal: the
// identification, writes, keys, keyboard input, lost acknowledgements and the way back.
#include <zel_sim/serial_display.h>

#include <algorithm>

#include "serial_fixture.h"

namespace {

using zelsim::SerialDisplay;
using zelsim::SerialDisplayOptions;

class SerialSessionTest : public SerialTest {
  protected:
    int OpenOn(SerialDisplay& display, const char* port = "com3", int number = 3) {
        LinkPort(number, display.SlavePath());
        RunningClock clock;
        return OpenDriver(port);
    }

    // Waits until the display has shown `frames` display frames and acknowledged them, then runs
    // a tick so that the driver reads the acknowledgement.
    static void Shown(SerialDisplay& display, int frames) {
        ASSERT_TRUE(display.WaitUntil(
            [frames](const SerialDisplay& d) { return d.DisplayFramesReceived() >= frames; }));
        const int acks = display.AcksSent();
        display.WaitUntil([acks](const SerialDisplay& d) { return d.AcksSent() >= acks; });
        Tick();
    }

    // Runs ticks until `count` keys have reached the host (or a bounded number of ticks passed).
    std::vector<RecordingSink::Key> KeysAfterTicks(std::size_t count) {
        for (int tick = 0; tick < 20 && DeliveredKeys().size() < count; ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            Tick();
        }
        return DeliveredKeys();
    }
};

TEST_F(SerialSessionTest, OneAnsweredRequestOpensTheDisplayWithItsCellsAndTwoStatusCells) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display, "com3"), 1);
    EXPECT_EQ(g_driver.GetTextCellCount(), 40);
    EXPECT_EQ(g_driver.GetStatusCellCount(), 2);
    EXPECT_EQ(g_driver.m_portNumber, 3);
    EXPECT_EQ(g_driver.m_deviceId1, 0x12);
    EXPECT_EQ(g_driver.m_deviceId2, 0x34);
    EXPECT_EQ(g_driver.m_useHid, 0);

    ASSERT_TRUE(
        display.WaitUntil([](const SerialDisplay& d) { return d.IdentifyDonesReceived(); }));
    EXPECT_EQ(display.IdentifyRequests(), 1);
    // The driver's frames: the request, the acknowledgement of the reply, then done.
    std::vector<std::uint8_t> fromDriver;
    bool replyBeforeAck = false;
    for (const zelsim::SerialWireFrame& frame : display.Wire()) {
        if (frame.fromDriver) {
            fromDriver.push_back(frame.type);
        } else if (frame.type == 0x25) {
            replyBeforeAck = std::count(fromDriver.begin(), fromDriver.end(), 0x7F) == 0;
        }
    }
    EXPECT_EQ(fromDriver, (std::vector<std::uint8_t>{0x24, 0x7F, 0x26}));
    EXPECT_TRUE(replyBeforeAck);
}

TEST_F(SerialSessionTest, ADisplayThatNeverAnswersIsAskedFourTimesForThreeSecondsAndLeftClosed) {
    SerialDisplayOptions options;
    options.answerIdentify = false;
    SerialDisplay display(options);
    const DWORD start = GetTickCount();
    EXPECT_EQ(OpenOn(display), 0);
    EXPECT_GE(GetTickCount() - start, 3000u);
    EXPECT_EQ(g_driver.m_serial, nullptr);
    ASSERT_TRUE(
        display.WaitUntil([](const SerialDisplay& d) { return d.IdentifyRequests() >= 4; }));
    EXPECT_EQ(display.IdentifyRequests(), 4);
}

TEST_F(SerialSessionTest, AReplyOfNoTextCellsIsTakenInAndFailsTheOpenAfterOneRequest) {
    SerialDisplayOptions none;
    none.textCells = 0;
    none.deviceId1 = 0x56;
    none.deviceId2 = 0x78;
    SerialDisplay display(none);
    EXPECT_EQ(OpenOn(display, "COM4", 4), 0) << "a display of no cells cannot be written to";
    EXPECT_EQ(g_driver.m_serial, nullptr);
    EXPECT_EQ(g_driver.GetTextCellCount(), 0);
    EXPECT_EQ(g_driver.GetStatusCellCount(), 2);
    EXPECT_EQ(g_driver.m_deviceId1, 0x56);
    EXPECT_EQ(g_driver.m_deviceId2, 0x78);

    // One request, and nothing after the driver's answers to the reply (its acknowledgement and
    // done). Closing the port purges it, so those answers may be cut off on their way.
    std::vector<std::uint8_t> fromDriver;
    for (const zelsim::SerialWireFrame& frame : display.Wire()) {
        if (frame.fromDriver) fromDriver.push_back(frame.type);
    }
    const std::vector<std::uint8_t> answered = {0x24, 0x7F, 0x26};
    ASSERT_FALSE(fromDriver.empty());
    ASSERT_LE(fromDriver.size(), answered.size());
    EXPECT_TRUE(std::equal(fromDriver.begin(), fromDriver.end(), answered.begin()))
        << "frames after the request: " << fromDriver.size() - 1;
    EXPECT_EQ(display.IdentifyRequests(), 1);

    const HANDLE port = CreateFileA("\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the port was released";
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

TEST_F(SerialSessionTest, AReplyOfMoreCellsThanTheImageHoldsIsUsedForForty) {
    SerialDisplayOptions wide;
    wide.textCells = 80;
    SerialDisplay display(wide);
    ASSERT_EQ(OpenOn(display, "COM5", 5), 1);
    EXPECT_EQ(g_driver.GetTextCellCount(), 40);
    const std::vector<unsigned char> cells = DistinctCells(80, 9);
    ASSERT_EQ(g_driver.WriteMain(cells.data(), 80), 1);
    Settle();
    Shown(display, 1);
    const zelsim::SerialCells shown = display.ShownCells();
    EXPECT_TRUE(std::equal(shown.begin() + 2, shown.end(), cells.begin()));
}

TEST_F(SerialSessionTest, WritesFillTheMainOrTheStatusCellsAndAlwaysSendAllFortyTwo) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    const std::vector<unsigned char> main = DistinctCells(40, 1);
    ASSERT_EQ(g_driver.WriteMain(main.data(), 40), 1);
    Settle();
    Shown(display, 1);
    zelsim::SerialCells shown = display.ShownCells();
    EXPECT_TRUE(std::equal(shown.begin() + 2, shown.end(), main.begin()));

    const unsigned char status[2] = {0x01, 0x80};
    ASSERT_EQ(g_driver.WriteAll(status, 2), 1);
    Settle();
    Shown(display, 2);
    shown = display.ShownCells();
    EXPECT_EQ(shown[0], 0x01);
    EXPECT_EQ(shown[1], 0x80);
    EXPECT_TRUE(std::equal(shown.begin() + 2, shown.end(), main.begin())) << "main cells kept";
}

TEST_F(SerialSessionTest, KeysReachTheHostByRowAndBitSevenAndShortMessagesAreIgnored) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    display.PressRouting(5);
    display.PressRouting(1);
    display.SendFrame(0x11, {});  // too short for a routing key
    display.PressFunction(3);
    display.PressFunction(63);  // second row: not reported
    display.PressRouting(5);
    display.PressRouting(2);
    display.PressFunction(64);
    display.PressRouting(0x81);
    display.PressRouting(0x85);
    const std::vector<std::pair<std::string, int>> expected = {
        {"Routing", 3}, {"STATUS1", 0}, {"F3", 0},       {"Routing2", 3},
        {"STATUS4", 0}, {"STATUS3", 0}, {"Routing2", 3},
    };
    const std::vector<RecordingSink::Key> keys = KeysAfterTicks(expected.size());
    std::vector<std::pair<std::string, int>> got;
    for (const auto& key : keys) got.emplace_back(key.name, key.value);
    EXPECT_EQ(got, expected);
}

TEST_F(SerialSessionTest, TheDisplaysKeyboardTypesIntoTheDesktop) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    zelcompat::TakeInjectedKeys();
    display.TypeCharacter(0x61);
    display.SendScanCode(0xE0);
    display.SendScanCode(0x75);
    std::vector<zelcompat::InjectedKey> keys;
    for (int tick = 0; tick < 20 && keys.size() < 3; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Tick();
        for (const auto& key : zelcompat::TakeInjectedKeys()) keys.push_back(key);
    }
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].virtualKey, 'A');
    EXPECT_EQ(keys[1].flags, static_cast<DWORD>(KEYEVENTF_KEYUP));
    EXPECT_EQ(keys[2].scanCode, 0x48);
    EXPECT_EQ(keys[2].flags, static_cast<DWORD>(KEYEVENTF_EXTENDEDKEY | KEYEVENTF_SCANCODE));
}

TEST_F(SerialSessionTest, AfterTheFourthLostAcknowledgementAResumeBringsTheDisplayBack) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    // The acknowledgements of the identification are read first: acknowledgements name no frame,
    // so a late one would be taken for the first display frame's.
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.AcksSent() >= 2; }));
    Tick();
    display.SetDropAllAcks(true);
    const std::vector<unsigned char> cells = DistinctCells(40, 2);
    for (int lost = 1; lost <= 4; ++lost) {
        ASSERT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
        Settle();
        ASSERT_TRUE(display.WaitUntil(
            [lost](const SerialDisplay& d) { return d.DisplayFramesReceived() >= lost; }));
        Tick(5);
    }
    EXPECT_EQ(g_driver.m_suspended, 1) << "the fourth time-out suspends";
    EXPECT_EQ(g_driver.m_serial, nullptr);
    EXPECT_EQ(g_driver.WriteMain(cells.data(), 40), 0);

    display.SetDropAllAcks(false);
    {
        RunningClock clock;
        EXPECT_NE(g_driver.Suspend(0), 0);
    }
    ASSERT_NE(g_driver.m_serial, nullptr) << "the identification went out again";
    const std::vector<unsigned char> back = DistinctCells(40, 3);
    ASSERT_EQ(g_driver.WriteMain(back.data(), 40), 1);
    Settle();
    Shown(display, 5);
    const zelsim::SerialCells shown = display.ShownCells();
    EXPECT_TRUE(std::equal(shown.begin() + 2, shown.end(), back.begin()));
}

TEST_F(SerialSessionTest, CloseWaitsForTheBlankFrameAtMostTheAcknowledgementTimeOutOfTicks) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.AcksSent() >= 2; }));
    Tick();
    display.SetDropAllAcks(true);
    // As on Windows, the tick count moves in steps of 16 ms however fast the driver spins.
    zelcompat::SetTickResolution(16);
    const DWORD start = GetTickCount();
    g_driver.Close();
    const DWORD elapsed = GetTickCount() - start;
    zelcompat::SetTickResolution(0);
    EXPECT_GT(elapsed, 400u) << "Close waited for the acknowledgement";
    EXPECT_LT(elapsed, 500u) << "but no longer than its time-out, in ticks";
}

TEST_F(SerialSessionTest, WithAUsbDisplayPresentTheNamedSerialPortIsNeverOpened) {
    SerialDisplay serial;
    LinkPort(3, serial.SlavePath());
    zelsim::UsbDisplay usb;
    ASSERT_EQ(OpenDriver("COM3"), 1);
    EXPECT_EQ(g_driver.m_useHid, 1);
    EXPECT_EQ(g_driver.GetTextCellCount(), 40);
    EXPECT_EQ(g_driver.GetStatusCellCount(), 0);
    EXPECT_EQ(zelcompat::OpenSerialPortCount(), 0u);
    EXPECT_EQ(serial.BytesReceived(), 0) << "nothing was sent on the serial line";
    g_driver.Close();
}

TEST_F(SerialSessionTest, SuspendThenCloseThenOpenBringsTheDisplayUpAndCloseReleasesThePort) {
    SerialDisplay display;
    ASSERT_EQ(OpenOn(display), 1);
    EXPECT_NE(g_driver.Suspend(1), 0);
    EXPECT_EQ(g_driver.m_serial, nullptr);
    g_driver.Close();
    {
        RunningClock clock;
        ASSERT_EQ(OpenDriver("COM3"), 1);
        g_driver.Close();
    }
    // The port is free again: this process can open it exclusively.
    const HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

}  // namespace
