// The driver against the simulated USB display: opening and closing, the image on the display,
// the frame queue, lost acknowledgements and an unplugged display.
#include <cstring>
#include <future>

#include "usb_fixture.h"

namespace {

using zelcompat::HidOpenCount;
using zelcompat::HidOpenHandleCount;
using zelsim::UsbDisplay;
using zelsim::UsbDisplayOptions;

using UsbSessionTest = UsbTest;

TEST_F(UsbSessionTest, OpensTheUsbDisplayWithFortyTextCells) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver("com3"), 1);
    EXPECT_EQ(g_driver.GetTextCellCount(), 40);
    EXPECT_EQ(g_driver.GetStatusCellCount(), 0);
    EXPECT_EQ(g_driver.m_useHid, 1);
    EXPECT_STREQ(g_driver.m_portName, "COM3");
    EXPECT_EQ(display.HellosReceived(), 1);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 2u) << "one handle to write, one to read";
    EXPECT_FALSE(zelcompat::HidReadPending(display.DeviceId()))
        << "the hello exchange leaves no read outstanding";

    g_driver.Close();
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 0u);
}

// Every way an attempt can find no display that answers; none may leave a handle open.
TEST_F(UsbSessionTest, AnAttemptWithoutAnAnsweringDisplayFailsAndKeepsNothingOpen) {
    struct Case {
        const char* what;
        bool present;
        UsbDisplayOptions options;
    };
    UsbDisplayOptions silent;
    silent.answerHello = false;
    UsbDisplayOptions otherVersion;
    otherVersion.versionNumber = 0xF101;
    UsbDisplayOptions otherProduct;
    otherProduct.productId = 0xABD8;
    UsbDisplayOptions longReports;  // declares more than the display's 9-byte reports
    longReports.inputReportByteLength = 64;
    longReports.outputReportByteLength = 64;
    const Case cases[] = {
        {"no display", false, {}},
        {"a display that never answers the hello", true, silent},
        {"another version number", true, otherVersion},
        {"another product number", true, otherProduct},
        {"reports longer than the display's", true, longReports},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<UsbDisplay> display;
        if (c.present) display = std::make_unique<UsbDisplay>(c.options);
        // The read event made at the first discovery of a display stays for the driver's life.
        const bool hadReadEvent = g_driver.readEvent != nullptr;
        const std::size_t handlesBefore = zelcompat::LiveHandleCount();
        const DWORD start = GetTickCount();
        {
            RunningClock clock;
            EXPECT_EQ(OpenDriver(), 0);
        }
        const bool madeReadEvent = !hadReadEvent && g_driver.readEvent != nullptr;
        EXPECT_EQ(zelcompat::LiveHandleCount(), handlesBefore + (madeReadEvent ? 1 : 0));
        EXPECT_EQ(g_driver.deviceHandle, nullptr);
        EXPECT_EQ(g_driver.m_thread, nullptr);
        if (display) {
            EXPECT_EQ(HidOpenHandleCount(display->DeviceId()), 0u);
        }
        if (c.present && c.options.versionNumber == 0xF100 && c.options.productId == 0xABD7) {
            // The hello goes out once and is waited for ten times 50 ms, just over each time.
            EXPECT_LE(display->HellosReceived(), 1);
            EXPECT_GE(GetTickCount() - start, 10u * 51u);
        }
    }
}

TEST_F(UsbSessionTest, OfTwoMatchingDisplaysTheFirstIsOpenedAndTheOtherNeverTouched) {
    UsbDisplay first;
    UsbDisplay second;
    ASSERT_EQ(OpenDriver(), 1);
    EXPECT_EQ(first.HellosReceived(), 1);
    EXPECT_EQ(HidOpenCount(second.DeviceId()), 0u);
}

TEST_F(UsbSessionTest, TheDisplayShowsTheHostsCellsInEveryDotCombination) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    // 256 cell values over seven lines; the simulator decodes the display's dot order on its own.
    for (unsigned first = 0; first < 256; first += 40) {
        std::vector<unsigned char> cells(40);
        for (unsigned i = 0; i < 40; ++i) cells[i] = static_cast<unsigned char>((first + i) & 0xFF);
        ASSERT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
        Settle();
        EXPECT_EQ(Shown(display, 40), cells) << "line starting at " << first;
        Tick(2);  // the acknowledgement is read, then nothing is waiting
    }
}

// The bit permutation between the host's dot order and the display's.
TEST(EncodeCellTest, MovesEveryDotToTheDisplaysBit) {
    const std::pair<std::uint8_t, std::uint8_t> table[] = {
        {0x00, 0x00}, {0xFF, 0xFF}, {0x01, 0x08}, {0x02, 0x04}, {0x04, 0x02}, {0x08, 0x80},
        {0x10, 0x40}, {0x20, 0x20}, {0x40, 0x01}, {0x80, 0x10}, {0x0F, 0x8E}, {0xF0, 0x71},
    };
    for (const auto& [host, device] : table) {
        EXPECT_EQ(EncodeCell(host), device) << "host cell " << int(host);
    }
}

TEST_F(UsbSessionTest, AWriteBeyondTheImageIsCutAtItsLastCell) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    const std::vector<unsigned char> cells = DistinctCells(60, 3);
    ASSERT_EQ(g_driver.WriteAll(cells.data(), 60), 1);
    Settle();
    EXPECT_EQ(Shown(display, 42), std::vector<unsigned char>(cells.begin(), cells.begin() + 42));
}

TEST_F(UsbSessionTest, FramesWrittenWhileAnAcknowledgementIsAwaitedWaitInTheQueue) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    display.SetHoldAcks(true);
    // Nine writes: the first goes out, the next eight meet a queue that holds seven, so the ninth
    // replaces the eighth. Full 42-cell writes show that a queued frame carries no cells 40, 41.
    std::vector<std::vector<unsigned char>> writes;
    for (unsigned seed = 0; seed < 9; ++seed) {
        writes.push_back(DistinctCells(42, seed));
        ASSERT_EQ(g_driver.WriteAll(writes.back().data(), 42), 1);
    }
    Settle();
    EXPECT_EQ(display.FramesReceived(), 1);
    EXPECT_EQ(Shown(display, 42), writes[0]);

    const unsigned expectedOrder[] = {1, 2, 3, 4, 5, 6, 8};
    for (unsigned index : expectedOrder) {
        display.ReleaseHeldAcks();
        Tick();  // reads the acknowledgement
        Tick();  // sends the oldest queued frame
        std::vector<unsigned char> expected = writes[index];
        expected[40] = expected[41] = 0;
        EXPECT_EQ(Shown(display, 42), expected) << "queued write " << index;
    }
    display.ReleaseHeldAcks();
    Tick(3);
    EXPECT_EQ(display.FramesReceived(), 8) << "nothing more was queued";
}

TEST_F(UsbSessionTest, AWriteMeetingHeldBackFramesGoesBehindThemEvenOnceTheAckHasCome) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    display.SetHoldAcks(true);
    std::vector<std::vector<unsigned char>> writes;
    for (unsigned seed = 0; seed < 3; ++seed) {
        writes.push_back(DistinctCells(40, seed));
        ASSERT_EQ(g_driver.WriteMain(writes.back().data(), 40), 1);
    }
    Settle();
    display.ReleaseHeldAcks();
    Tick();  // the acknowledgement is read; two frames still wait for the next tick
    writes.push_back(DistinctCells(40, 3));
    ASSERT_EQ(g_driver.WriteMain(writes.back().data(), 40), 1);
    Settle();
    EXPECT_EQ(Shown(display, 40), writes[0]) << "the newest write did not jump the queue";
    for (int frame = 0; frame < 3; ++frame) {
        display.ReleaseHeldAcks();
        Tick(2);
    }
    EXPECT_EQ(display.FramesReceived(), 4);
    EXPECT_EQ(Shown(display, 40), writes[3]);
}

TEST_F(UsbSessionTest, AfterAStormOfWritesWithSlowAcknowledgementsTheLastWriteIsShown) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    display.SetAckDelay(250);
    std::vector<unsigned char> last;
    for (unsigned seed = 0; seed < 30; ++seed) {
        last = DistinctCells(40, seed);
        ASSERT_EQ(g_driver.WriteMain(last.data(), 40), 1);
        if (seed % 4 == 0) Tick();
    }
    Tick(60);
    EXPECT_EQ(Shown(display, 40), last);
}

TEST_F(UsbSessionTest, ALostAcknowledgementRecoversTheLinkJustAfterOneSecond) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    const std::vector<unsigned char> cells = DistinctCells(40, 7);
    display.DropNextAcks(1);
    ASSERT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
    Settle();
    ASSERT_EQ(display.FramesReceived(), 1);
    const std::size_t opens = HidOpenCount(display.DeviceId());

    Tick(10);  // exactly 1000 ms since the frame went out: not yet a time-out
    EXPECT_EQ(HidOpenCount(display.DeviceId()), opens);
    EXPECT_EQ(display.FramesReceived(), 1);

    Tick();  // 1100 ms: the link is closed, found again and the image resent
    EXPECT_EQ(HidOpenCount(display.DeviceId()), opens + 2);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 2u);
    EXPECT_EQ(display.FramesReceived(), 2);
    EXPECT_EQ(display.HellosReceived(), 1) << "a recovery sends no hello";
    EXPECT_EQ(Shown(display, 40), cells);
}

TEST_F(UsbSessionTest, AnUnpluggedDisplayIsLookedForOnEveryTickAndTakenBackAsItIs) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    const std::vector<unsigned char> before = DistinctCells(40, 1);
    display.Unplug();
    ASSERT_EQ(g_driver.WriteMain(before.data(), 40), 1);
    Settle();
    Tick(11);  // the frame went nowhere; its time-out closes the link, and the display is gone
    EXPECT_EQ(g_driver.deviceHandle, nullptr);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 0u);

    // Writes while the link is closed are dropped.
    const std::vector<unsigned char> lost = DistinctCells(40, 2);
    ASSERT_EQ(g_driver.WriteMain(lost.data(), 40), 1);
    Tick(5);

    display.Replug();
    Tick();
    EXPECT_NE(g_driver.deviceHandle, nullptr) << "found again on the next tick";
    EXPECT_EQ(display.FramesReceived(), 0) << "no resend when the display is found on a tick";
    EXPECT_EQ(display.HellosReceived(), 1) << "only the open's";

    const std::vector<unsigned char> after = DistinctCells(40, 3);
    ASSERT_EQ(g_driver.WriteMain(after.data(), 40), 1);
    Settle();
    EXPECT_EQ(Shown(display, 40), after);
}

TEST_F(UsbSessionTest, AKeyWindowMadeByAResumeWhileClosedServesTheNextOpen) {
    UsbDisplay display;
    const std::size_t windows = zelcompat::LiveWindowCount();
    ASSERT_EQ(OpenDriver(), 1);
    EXPECT_NE(g_driver.Suspend(1), 0);
    g_driver.Close();
    // A resume without a worker still makes the key window; the next Open must not lose it.
    EXPECT_EQ(g_driver.Suspend(0), 0) << "no worker to post to";
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows + 1);
    ASSERT_EQ(OpenDriver(), 1);
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows + 1) << "one key window, not two";
    ASSERT_NE(g_driver.m_keyWindow, nullptr);
    display.PressRouting(4);
    Tick();
    const std::vector<RecordingSink::Key> keys = DeliveredKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].name, "Routing");
    g_driver.Close();
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows);
}

TEST_F(UsbSessionTest, AWaitingCommandNeverHandledHoldsUpNeitherItsSlotNorTheNextSession) {
    // A worker takes a waiting command and ends without handling it: the slot stops waiting when
    // the thread ends, and the command's completion never comes.
    std::thread host;
    {
        StandInWorker worker;
        worker.Attach();
        worker.HandOverThread();
        host = std::thread([] { EXPECT_NE(g_driver.PostCommand(CmdSuspend, nullptr, 1, 1), 0); });
        EXPECT_EQ(CodeOf(worker.Take()), CmdSuspend);
    }
    host.join();
    CloseHandle(g_driver.m_thread);
    StandInWorker::Detach();

    UsbDisplay display;

    // The next session counts its own completions: its Open must not wait for the lost one.
    auto open = std::async(std::launch::async, [this] { return OpenDriver(); });
    if (open.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "Open waits for a completion of the last session";
        PostThreadMessageA(g_driver.m_threadId, kCommandMessageBase + CmdStop, 0, 0);
    }
    EXPECT_EQ(open.get(), 1);
}

TEST_F(UsbSessionTest, SuspendAndCloseReleaseTheDisplayAndResumeTakesItBack) {
    UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    const std::vector<unsigned char> cells = DistinctCells(40, 4);
    ASSERT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
    Tick(2);

    EXPECT_NE(g_driver.Suspend(1), 0);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 0u);
    const std::vector<unsigned char> ignored = DistinctCells(40, 5);
    EXPECT_EQ(g_driver.WriteMain(ignored.data(), 40), 0) << "a write while suspended is dropped";
    Tick(3);
    EXPECT_EQ(Shown(display, 40), cells) << "a suspended display keeps its cells";

    EXPECT_NE(g_driver.Suspend(0), 0);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 2u);
    EXPECT_EQ(display.HellosReceived(), 2);
    const std::vector<unsigned char> resumed = DistinctCells(40, 6);
    ASSERT_EQ(g_driver.WriteMain(resumed.data(), 40), 1);
    Settle();
    EXPECT_EQ(Shown(display, 40), resumed);

    // A resume without a suspension reopens the display without keeping the old handles.
    EXPECT_NE(g_driver.Suspend(0), 0);
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 2u);
    ASSERT_EQ(g_driver.WriteMain(resumed.data(), 40), 1);
    Settle();
    EXPECT_EQ(Shown(display, 40), resumed);

    // Close blanks the display before letting it go, even with an acknowledgement outstanding.
    g_driver.Close();
    EXPECT_EQ(HidOpenHandleCount(display.DeviceId()), 0u);
    EXPECT_EQ(Shown(display, 42), std::vector<unsigned char>(42, 0));

    ASSERT_EQ(OpenDriver(), 1);
    ASSERT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
    Settle();
    EXPECT_EQ(Shown(display, 40), cells) << "a new session sends at once";
}

TEST_F(UsbSessionTest, AFailedAttemptReportsFailureEvenWithCountsLeftFromAnEarlierSession) {
    {
        UsbDisplay display;
        ASSERT_EQ(OpenDriver(), 1);
        g_driver.Close();
    }
    ASSERT_EQ(g_driver.GetTextCellCount(), 40) << "the counts survive Close";
    EXPECT_EQ(OpenDriver(), 0);
    EXPECT_EQ(g_driver.m_thread, nullptr);
}

}  // namespace
