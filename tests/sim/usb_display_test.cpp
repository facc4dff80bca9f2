// The simulated display's USB side, driven through the layer's Win32 calls as the driver drives a
// real display: reports written with WriteFile on the device's path, replies taken with
// overlapped ReadFile. The report helpers here are the test's own reading of the wire.
#include <gtest/gtest.h>
#include <windows.h>
#include <zel_compat/hid.h>
#include <zel_compat/seams.h>
#include <hidsdi.h>
#include <zel_sim/usb_display.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using zelsim::UsbCells;
using zelsim::UsbDisplay;
using zelsim::UsbDisplayOptions;
using Data = std::array<std::uint8_t, 8>;

const Data kHello = {0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0};
const Data kAck = {0xFF, 0, 0, 0, 0, 0, 0, 0};

// The six reports of a frame showing `cells` (device dot order).
std::vector<Data> FrameReports(const UsbCells& cells,
                               const std::array<std::uint8_t, 3>& trailer = {0x55, 0xAA, 0xFF}) {
    std::vector<std::uint8_t> stream = {0xFF, 0xAA, 0x55};
    stream.insert(stream.end(), cells.begin(), cells.end());
    stream.insert(stream.end(), trailer.begin(), trailer.end());
    std::vector<Data> reports(6);
    for (std::size_t i = 0; i < stream.size(); ++i) reports[i / 8][i % 8] = stream[i];
    return reports;
}

UsbCells Filled(std::uint8_t value) {
    UsbCells cells;
    cells.fill(value);
    return cells;
}

// Every cell different, and none zero.
UsbCells Distinct() {
    UsbCells cells;
    for (std::size_t i = 0; i < cells.size(); ++i)
        cells[i] = static_cast<std::uint8_t>(0x11 + i * 5);
    return cells;
}

// What a blank display shows as braille.
std::string Blank() {
    std::string text;
    for (std::size_t i = 0; i < zelsim::kUsbCells; ++i) text += "\u2800";
    return text;
}

// One handle on the display, opened as the driver opens it.
class Link {
  public:
    explicit Link(zelcompat::HidDeviceId device) {
        const std::string path = zelcompat::HidDevicePath(device);
        m_handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        m_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Link() {
        CloseHandle(m_event);
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool Open() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return m_handle; }

    // Writes one output report (report ID 0 first); true when all of it was written.
    bool Write(const Data& data) {
        std::vector<std::uint8_t> report(9, 0);
        std::copy(data.begin(), data.end(), report.begin() + 1);
        return WriteRaw(report);
    }

    // Writes exactly these bytes as one report.
    bool WriteRaw(const std::vector<std::uint8_t>& report) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_event;
        ResetEvent(m_event);
        DWORD written = 0;
        if (!WriteFile(m_handle, report.data(), static_cast<DWORD>(report.size()), &written,
                       &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return false;
            if (!GetOverlappedResult(m_handle, &overlapped, &written, TRUE)) return false;
        }
        return written == report.size();
    }

    void WriteAll(const std::vector<Data>& reports) {
        for (const Data& data : reports) ASSERT_TRUE(Write(data));
    }

    // Issues one read and takes the input report it completes with at once, if any; a read that
    // would have to wait is cancelled. The firmware pushes its replies while the write or the
    // read is being issued, so a reply that is due is there without waiting.
    std::optional<Data> Read() {
        std::array<std::uint8_t, 9> report{};
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_event;
        ResetEvent(m_event);
        DWORD got = 0;
        if (!ReadFile(m_handle, report.data(), static_cast<DWORD>(report.size()), &got,
                      &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return std::nullopt;
            if (WaitForSingleObject(m_event, 0) != WAIT_OBJECT_0) {
                CancelIo(m_handle);
                GetOverlappedResult(m_handle, &overlapped, &got, TRUE);
                return std::nullopt;
            }
            if (!GetOverlappedResult(m_handle, &overlapped, &got, FALSE)) return std::nullopt;
        }
        EXPECT_EQ(got, report.size());
        EXPECT_EQ(report[0], 0) << "report ID";
        Data data;
        std::copy(report.begin() + 1, report.end(), data.begin());
        return data;
    }

    // Reads until nothing more is waiting.
    std::vector<Data> ReadAll() {
        std::vector<Data> reports;
        while (std::optional<Data> data = Read()) reports.push_back(*data);
        return reports;
    }

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    HANDLE m_event = nullptr;
};

// Every case runs on the manual clock, so delays move only when a case moves them.
class UsbDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override { zelcompat::UseManualClock(1000); }
    void TearDown() override { zelcompat::UseRealClock(); }
};

// ---- Identity ----

// What the driver learns before it writes anything: the numbers that pick the display out, and
// the report lengths.
TEST_F(UsbDisplayTest, IdentityReachesTheHidClassCalls) {
    UsbDisplayOptions custom;
    custom.vendorId = 0x1234;
    custom.productId = 0x5678;
    custom.versionNumber = 0x0100;  // a firmware version the driver may refuse
    custom.inputReportByteLength = 17;
    custom.outputReportByteLength = 33;
    struct Case {
        UsbDisplayOptions options;
        std::array<USHORT, 5> expected;  // vendor, product, version, input, output
    };
    const Case cases[] = {
        {UsbDisplayOptions{}, {0x04D8, 0xABD7, 0xF100, 9, 9}},
        {custom, {0x1234, 0x5678, 0x0100, 17, 33}},
    };
    for (const Case& c : cases) {
        UsbDisplay display(c.options);
        Link link(display.DeviceId());
        ASSERT_TRUE(link.Open());
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        ASSERT_TRUE(HidD_GetAttributes(link.Handle(), &attributes));
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(link.Handle(), &preparsed));
        HIDP_CAPS caps{};
        EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
        HidD_FreePreparsedData(preparsed);
        EXPECT_EQ((std::array<USHORT, 5>{attributes.VendorID, attributes.ProductID,
                                         attributes.VersionNumber, caps.InputReportByteLength,
                                         caps.OutputReportByteLength}),
                  c.expected);
    }
}

// ---- Hello ----

TEST_F(UsbDisplayTest, HelloIsAnsweredWithTheDeviceValues) {
    UsbDisplayOptions options;
    options.helloValue1 = 0x50;
    options.helloValue2 = 0x07;
    UsbDisplay display(options);
    Link link(display.DeviceId());
    ASSERT_TRUE(link.Open());

    ASSERT_TRUE(link.Write(kHello));
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{{0xFB, 0xAA, 0x55, 0x50, 0x07, 0, 0, 0}}));
    EXPECT_EQ(display.HellosReceived(), 1);
    EXPECT_EQ(display.MalformedReports(), 0);
}

TEST_F(UsbDisplayTest, HelloIsNotAnsweredWhenTurnedOff) {
    for (bool byOption : {true, false}) {
        SCOPED_TRACE(byOption ? "by option" : "by knob");
        UsbDisplayOptions options;
        options.answerHello = !byOption;
        UsbDisplay display(options);
        if (!byOption) display.SetAnswerHello(false);
        Link link(display.DeviceId());

        ASSERT_TRUE(link.Write(kHello));
        EXPECT_TRUE(link.ReadAll().empty());
        EXPECT_EQ(display.HellosReceived(), 1);

        display.SetAnswerHello(true);
        ASSERT_TRUE(link.Write(kHello));
        EXPECT_EQ(link.ReadAll().size(), 1u);
    }
}

// ---- Frames ----

TEST_F(UsbDisplayTest, FrameIsShownAndAcknowledged) {
    UsbDisplay display;
    Link link(display.DeviceId());
    EXPECT_EQ(display.ShownDeviceCells(), UsbCells{});

    link.WriteAll(FrameReports(Distinct()));
    EXPECT_EQ(display.ShownDeviceCells(), Distinct());
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    EXPECT_EQ(display.FramesReceived(), 1);
    EXPECT_EQ(display.ReportsReceived(), 6);
    EXPECT_EQ(display.AcksSent(), 1);
    EXPECT_EQ(display.MalformedReports(), 0);

    // A second frame replaces the first and is acknowledged on its own.
    link.WriteAll(FrameReports(Filled(0x81)));
    EXPECT_EQ(display.ShownDeviceCells(), Filled(0x81));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

TEST_F(UsbDisplayTest, NothingIsShownOrAcknowledgedBeforeTheLastReport) {
    UsbDisplay display;
    Link link(display.DeviceId());
    std::vector<Data> reports = FrameReports(Distinct());
    for (std::size_t i = 0; i < 5; ++i) ASSERT_TRUE(link.Write(reports[i]));
    EXPECT_EQ(display.ShownDeviceCells(), UsbCells{});
    EXPECT_TRUE(link.ReadAll().empty());
    ASSERT_TRUE(link.Write(reports[5]));
    EXPECT_EQ(display.ShownDeviceCells(), Distinct());
}

// Each device bit alone, decoded to the host's dot order (bit i = dot i+1) and to braille.
TEST_F(UsbDisplayTest, CellsAreDecodedToHostDotOrder) {
    struct Case {
        std::uint8_t device;
        std::uint8_t host;
        const char* braille;
    };
    const Case cases[] = {
        {0x01, 0x40, "\u2840"},  // dot 7: left column, bottom
        {0x02, 0x04, "\u2804"},  // dot 3
        {0x04, 0x02, "\u2802"},  // dot 2
        {0x08, 0x01, "\u2801"},  // dot 1: left column, top
        {0x10, 0x80, "\u2880"},  // dot 8: right column, bottom
        {0x20, 0x20, "\u2820"},  // dot 6
        {0x40, 0x10, "\u2810"},  // dot 5
        {0x80, 0x08, "\u2808"},  // dot 4: right column, top
        {0xFF, 0xFF, "\u28FF"},  // every dot
        {0x0F, 0x47, "\u2847"},  // the left column: dots 1, 2, 3, 7
        {0x00, 0x00, "\u2800"},
    };
    UsbCells device{};
    UsbCells host{};
    std::string braille;
    for (std::size_t i = 0; i < zelsim::kUsbCells; ++i) {
        const Case& c = cases[i % std::size(cases)];
        device[i] = c.device;
        host[i] = c.host;
        braille += c.braille;
    }
    UsbDisplay display;
    Link link(display.DeviceId());
    link.WriteAll(FrameReports(device));
    EXPECT_EQ(display.ShownDeviceCells(), device);
    EXPECT_EQ(display.ShownCells(), host);
    EXPECT_EQ(display.ShownBraille(), braille);
}

// Reports 2 to 6 are cells by position, whatever their first bytes look like.
TEST_F(UsbDisplayTest, DataReportsThatLookLikeMessagesAreCells) {
    UsbCells cells = Distinct();
    const std::uint8_t header[] = {0xFF, 0xAA, 0x55};
    for (std::size_t i = 0; i < 3; ++i) {
        cells[5 + i] = header[i];   // report 2: a frame header
        cells[13 + i] = kHello[i];  // report 3: a whole hello
        cells[37 + i] = header[i];  // report 6: a frame header before the trailer
    }
    for (std::size_t i = 16; i < 21; ++i) cells[i] = 0;
    cells[21] = 0xFD;  // report 4: a routing key
    cells[29] = 0xFE;  // report 5: a function key
    UsbDisplay display;
    Link link(display.DeviceId());
    link.WriteAll(FrameReports(cells));

    EXPECT_EQ(display.ShownDeviceCells(), cells);
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    EXPECT_EQ(display.HellosReceived(), 0);
    EXPECT_EQ(display.MalformedReports(), 0);
}

TEST_F(UsbDisplayTest, FrameWithABadTrailerIsNeitherShownNorAcknowledged) {
    const std::array<std::uint8_t, 3> trailers[] = {
        {0x00, 0xAA, 0xFF}, {0x55, 0x00, 0xFF}, {0x55, 0xAA, 0x00}, {0xFF, 0xAA, 0x55}};
    for (const auto& trailer : trailers) {
        SCOPED_TRACE(::testing::PrintToString(trailer));
        UsbDisplay display;
        Link link(display.DeviceId());
        link.WriteAll(FrameReports(Filled(0x11)));
        ASSERT_EQ(link.ReadAll().size(), 1u);

        link.WriteAll(FrameReports(Distinct(), trailer));
        EXPECT_EQ(display.ShownDeviceCells(), Filled(0x11));
        EXPECT_TRUE(link.ReadAll().empty());
        EXPECT_EQ(display.MalformedReports(), 1);
        EXPECT_EQ(display.FramesReceived(), 1);

        // The display is in step again for the next frame.
        link.WriteAll(FrameReports(Distinct()));
        EXPECT_EQ(display.ShownDeviceCells(), Distinct());
        EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    }
}

// Reports outside a frame that are no message: ignored, counted, unanswered.
TEST_F(UsbDisplayTest, StrayReportsAreCountedAndIgnored) {
    const Data strays[] = {
        {0x00, 0, 0, 0, 0, 0, 0, 0},
        {0x12, 0xAA, 0x55, 0, 0, 0, 0, 0},
        {0xFF, 0xAA, 0x00, 0, 0, 0, 0, 0},  // half a frame header
        {0xFF, 0x00, 0x55, 0, 0, 0, 0, 0},
        {0xFB, 0xAA, 0x55, 0, 0, 0, 0, 1},  // a hello with a stray byte
        {0xFB, 0xAA, 0x00, 0, 0, 0, 0, 0},
        {0xFD, 0x03, 0, 0, 0, 0, 0, 0},  // key reports travel the other way
        {0xFF, 0, 0, 0, 0, 0, 0, 0},     // so do acknowledgements
    };
    for (const Data& stray : strays) {
        SCOPED_TRACE(::testing::PrintToString(stray));
        UsbDisplay display;
        Link link(display.DeviceId());
        ASSERT_TRUE(link.Write(stray));
        EXPECT_TRUE(link.ReadAll().empty());
        EXPECT_EQ(display.MalformedReports(), 1);
        EXPECT_EQ(display.HellosReceived(), 0);

        // It did not open a frame: a whole frame right after it is shown.
        link.WriteAll(FrameReports(Distinct()));
        EXPECT_EQ(display.ShownDeviceCells(), Distinct());
    }
}

// A report too short for a message, or with a report ID other than 0, is none; in the middle
// of a frame it cuts the frame short.
TEST_F(UsbDisplayTest, ReportsThatCarryNoMessageCutAFrameShort) {
    struct Case {
        const char* name;
        USHORT declaredLength;
        std::vector<std::uint8_t> report;
    };
    const Case cases[] = {
        {"report ID 1", 9, {0x01, 0xFF, 0xAA, 0x55, 0, 0, 0, 0, 0}},
        {"short", 5, {0x00, 0xFB, 0xAA, 0x55, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UsbDisplayOptions options;
        options.outputReportByteLength = c.declaredLength;
        UsbDisplay display(options);
        Link link(display.DeviceId());
        ASSERT_TRUE(link.WriteRaw(c.report));
        EXPECT_EQ(display.MalformedReports(), 1);
        EXPECT_EQ(display.HellosReceived(), 0);
        EXPECT_TRUE(link.ReadAll().empty());
    }

    UsbDisplay display;
    Link link(display.DeviceId());
    const std::vector<Data> reports = FrameReports(Filled(0x44));
    link.WriteAll({reports[0], reports[1], reports[2]});
    ASSERT_TRUE(link.WriteRaw({0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(display.MalformedReports(), 2);  // the report and the frame it cut short
    // The next header starts a frame of its own.
    link.WriteAll(FrameReports(Distinct()));
    EXPECT_EQ(display.ShownDeviceCells(), Distinct());
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

// A sender that starts over in the middle of a frame loses both: the display takes the new
// header as cells, rejects the frame at its trailer and then counts the leftovers as strays. The
// next whole frame is shown.
TEST_F(UsbDisplayTest, FrameRestartedHalfwayCostsBothFrames) {
    UsbDisplay display;
    Link link(display.DeviceId());
    std::vector<Data> first = FrameReports(Filled(0x22));
    std::vector<Data> second = FrameReports(Filled(0x33));
    link.WriteAll({first[0], first[1], first[2]});
    link.WriteAll(second);

    EXPECT_EQ(display.ShownDeviceCells(), UsbCells{});
    EXPECT_TRUE(link.ReadAll().empty());
    EXPECT_EQ(display.FramesReceived(), 0);
    EXPECT_EQ(display.MalformedReports(), 1 + 3);  // the frame, then second[3..5]

    link.WriteAll(second);
    EXPECT_EQ(display.ShownDeviceCells(), Filled(0x33));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

// ---- Acknowledgement knobs ----

TEST_F(UsbDisplayTest, DroppedAcksStillShowTheirFrames) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.DropNextAcks(2);
    for (std::uint8_t value : {0x01, 0x02, 0x03}) {
        link.WriteAll(FrameReports(Filled(value)));
        EXPECT_EQ(display.ShownDeviceCells(), Filled(value));
    }
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});  // the third frame's only
    EXPECT_EQ(display.AcksSent(), 1);

    display.SetDropAllAcks(true);
    for (int i = 0; i < 3; ++i) link.WriteAll(FrameReports(Distinct()));
    EXPECT_TRUE(link.ReadAll().empty());
    EXPECT_EQ(display.FramesReceived(), 6);
    display.SetDropAllAcks(false);
    link.WriteAll(FrameReports(Distinct()));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

TEST_F(UsbDisplayTest, DelayedAcksArriveOnTheFirstReadOnceDue) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.SetAckDelay(50);
    link.WriteAll(FrameReports(Filled(0x01)));
    EXPECT_EQ(display.ShownDeviceCells(), Filled(0x01));  // shown at once, acknowledged later
    EXPECT_TRUE(link.ReadAll().empty());

    zelcompat::AdvanceTicks(30);
    link.WriteAll(FrameReports(Filled(0x02)));
    zelcompat::AdvanceTicks(19);
    EXPECT_TRUE(link.ReadAll().empty());
    EXPECT_EQ(display.PendingAcks(), 2);

    zelcompat::AdvanceTicks(1);  // 50 ms after the first frame
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    zelcompat::AdvanceTicks(29);
    EXPECT_TRUE(link.ReadAll().empty());
    zelcompat::AdvanceTicks(1);  // 50 ms after the second
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    EXPECT_EQ(display.AcksSent(), 2);

    display.SetAckDelay(0);
    link.WriteAll(FrameReports(Filled(0x03)));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

TEST_F(UsbDisplayTest, DelayIsMeasuredAcrossTheTickCountWrap) {
    zelcompat::SetTicks(0xFFFFFFF0u);
    UsbDisplay display;
    Link link(display.DeviceId());
    display.SetAckDelay(0x20);
    link.WriteAll(FrameReports(Distinct()));
    zelcompat::AdvanceTicks(0x1F);
    EXPECT_TRUE(link.ReadAll().empty());
    zelcompat::AdvanceTicks(1);
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

TEST_F(UsbDisplayTest, HeldAcksWaitForRelease) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.SetHoldAcks(true);
    link.WriteAll(FrameReports(Filled(0x01)));
    link.WriteAll(FrameReports(Filled(0x02)));
    zelcompat::AdvanceTicks(10000);
    EXPECT_TRUE(link.ReadAll().empty());
    EXPECT_EQ(display.ShownDeviceCells(), Filled(0x02));
    EXPECT_EQ(display.PendingAcks(), 2);

    display.ReleaseHeldAcks();
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{kAck, kAck}));

    // Still holding after a release.
    link.WriteAll(FrameReports(Filled(0x03)));
    EXPECT_TRUE(link.ReadAll().empty());
    display.SetHoldAcks(false);  // lets the held one go
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    link.WriteAll(FrameReports(Filled(0x04)));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    EXPECT_EQ(display.AcksSent(), 4);
}

TEST_F(UsbDisplayTest, ReleasedAckStillWaitsOutItsDelay) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.SetHoldAcks(true);
    display.SetAckDelay(40);
    link.WriteAll(FrameReports(Distinct()));
    zelcompat::AdvanceTicks(10);
    display.ReleaseHeldAcks();
    EXPECT_TRUE(link.ReadAll().empty());
    zelcompat::AdvanceTicks(30);
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

// ---- Keys ----

TEST_F(UsbDisplayTest, KeysAreSentAsReportsInOrder) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.PressRouting(0);
    display.PressRouting(41);
    display.PressFunction(1);
    display.PressFunction(64);
    display.SendReport({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{
                                  {0xFD, 0, 0, 0, 0, 0, 0, 0},
                                  {0xFD, 41, 0, 0, 0, 0, 0, 0},
                                  {0xFE, 1, 0, 0, 0, 0, 0, 0},
                                  {0xFE, 64, 0, 0, 0, 0, 0, 0},
                                  {1, 2, 3, 4, 5, 6, 7, 8},
                              }));
    EXPECT_EQ(display.ReportsReceived(), 0);  // nothing sent counts as received
}

TEST_F(UsbDisplayTest, PacedReportsLeaveOnePerMillisecondInOrder) {
    UsbDisplay display;
    Link link(display.DeviceId());
    display.SetPaceReports(true);
    display.PressRouting(1);
    display.PressRouting(2);
    display.PressFunction(3);
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{{0xFD, 1, 0, 0, 0, 0, 0, 0}}));
    EXPECT_TRUE(link.ReadAll().empty()) << "the same millisecond";
    zelcompat::AdvanceTicks(1);
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{{0xFD, 2, 0, 0, 0, 0, 0, 0}}));
    zelcompat::AdvanceTicks(5);
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{{0xFE, 3, 0, 0, 0, 0, 0, 0}}));

    // An acknowledgement waits behind a key pressed in its millisecond; turning pacing off sends
    // what waits at once.
    display.PressRouting(4);
    link.WriteAll(FrameReports(Filled(0x01)));
    EXPECT_TRUE(link.ReadAll().empty()) << "still the millisecond of the last report";
    zelcompat::AdvanceTicks(1);
    EXPECT_EQ(link.ReadAll(), (std::vector<Data>{{0xFD, 4, 0, 0, 0, 0, 0, 0}}));
    EXPECT_TRUE(link.ReadAll().empty());
    display.SetPaceReports(false);
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
}

// ---- Unplug and replug ----

TEST_F(UsbDisplayTest, UnplugBlanksTheDisplayAndLosesPendingAcks) {
    UsbDisplay display;
    {
        Link link(display.DeviceId());
        link.WriteAll(FrameReports(Filled(0x01)));
        ASSERT_EQ(link.ReadAll().size(), 1u);
        display.SetHoldAcks(true);
        link.WriteAll(FrameReports(Distinct()));
        display.SetHoldAcks(false);
        display.SetAckDelay(100);
        link.WriteAll(FrameReports(Distinct()));
        ASSERT_EQ(link.ReadAll().size(), 1u);  // the held one
        display.SetHoldAcks(true);
        link.WriteAll(FrameReports(Distinct()));
        ASSERT_EQ(display.PendingAcks(), 2);  // one delayed, one held
        // Half a frame in flight when the cable goes.
        const std::vector<Data> half = FrameReports(Filled(0x05));
        link.WriteAll({half[0], half[1]});

        display.Unplug();
        EXPECT_FALSE(display.Plugged());
        EXPECT_EQ(display.ShownDeviceCells(), UsbCells{});
        EXPECT_EQ(display.ShownBraille(), Blank());
        EXPECT_EQ(display.PendingAcks(), 0);
        display.PressRouting(3);  // nobody to send it to
    }
    display.Replug();
    EXPECT_TRUE(display.Plugged());
    zelcompat::AdvanceTicks(1000);
    display.ReleaseHeldAcks();

    // A new handle, no hello: the first whole frame is shown, and only its own ack arrives. Had
    // the half frame survived, this header would have been taken as its cells.
    display.SetHoldAcks(false);
    display.SetAckDelay(0);
    Link link(display.DeviceId());
    ASSERT_TRUE(link.Open());
    EXPECT_TRUE(link.ReadAll().empty());
    link.WriteAll(FrameReports(Filled(0x66)));
    EXPECT_EQ(display.ShownDeviceCells(), Filled(0x66));
    EXPECT_EQ(link.ReadAll(), std::vector<Data>{kAck});
    EXPECT_EQ(display.HellosReceived(), 0);
}

// ---- Threads ----

// The worker thread writes frames while the test thread looks: every look sees one whole frame,
// never cells of two.
TEST_F(UsbDisplayTest, ShownCellsChangeOneWholeFrameAtATime) {
    UsbDisplay display;
    display.SetDropAllAcks(true);
    constexpr int kFrames = 250;  // one cell value each
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        Link link(display.DeviceId());
        for (int i = 1; i <= kFrames; ++i)
            link.WriteAll(FrameReports(Filled(static_cast<std::uint8_t>(i))));
        writing = false;
    });
    UsbCells torn{};
    bool seenTorn = false;
    while (writing && !seenTorn) {
        const UsbCells cells = display.ShownDeviceCells();
        if (cells != Filled(cells[0])) {
            torn = cells;
            seenTorn = true;
        }
        display.PressFunction(2);
    }
    writer.join();
    EXPECT_FALSE(seenTorn) << ::testing::PrintToString(torn);
    EXPECT_EQ(display.FramesReceived(), kFrames);
    EXPECT_EQ(display.ShownDeviceCells(), Filled(static_cast<std::uint8_t>(kFrames)));
}

}  // namespace
