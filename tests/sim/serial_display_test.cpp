// The simulated display's serial side, driven through its pseudo-terminal's slave with plain POSIX
// reads and writes, as a driver's serial port would drive it. The frame helpers here are the
// test's own reading of the wire; the literal frames are the protocol's worked examples.
#include <gtest/gtest.h>
#include <zel_compat/seams.h>
#include <zel_sim/serial_display.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using zelsim::SerialCells;
using zelsim::SerialDisplay;
using zelsim::SerialDisplayOptions;
using zelsim::SerialWireFrame;
using Bytes = std::vector<std::uint8_t>;

const Bytes kAck = {0x01, 0x02, 0x7F, 0x00, 0x03, 0xD1, 0xAA};
const Bytes kIdentify = {0x01, 0x02, 0x24, 0x00, 0x03, 0x7C, 0xAA};
const Bytes kIdentifyDone = {0x01, 0x02, 0x26, 0x01, 0x03, 0x00, 0x79, 0xAA};

constexpr std::uint8_t kDisplayType = 0x00;
constexpr std::uint8_t kFunctionType = 0x10;
constexpr std::uint8_t kRoutingType = 0x11;
constexpr std::uint8_t kCharacterType = 0x13;
constexpr std::uint8_t kScanCodeType = 0x14;
constexpr std::uint8_t kIdentifyType = 0x24;
constexpr std::uint8_t kReplyType = 0x25;
constexpr std::uint8_t kDoneType = 0x26;
constexpr std::uint8_t kAckType = 0x7F;

// The checksum as it travels: 02 + type + N + 03 + the payload, in 16 bits, XOR AA55.
std::uint16_t Checksum(std::uint8_t type, const Bytes& payload) {
    unsigned sum = 0x02 + type + static_cast<unsigned>(payload.size()) + 0x03;
    for (std::uint8_t b : payload) sum += b;
    return static_cast<std::uint16_t>((sum & 0xFFFF) ^ 0xAA55);
}

Bytes Frame(std::uint8_t type, const Bytes& payload) {
    Bytes bytes = {0x01, 0x02, type, static_cast<std::uint8_t>(payload.size()), 0x03};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    const std::uint16_t sum = Checksum(type, payload);
    bytes.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(sum >> 8));
    return bytes;
}

Bytes DisplayFrame(const SerialCells& cells) {
    return Frame(kDisplayType, Bytes(cells.begin(), cells.end()));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct ReadFrame {
    std::uint8_t type;
    Bytes payload;
    bool checksumOk;
};

// Frames as the wire record names them, for comparing whole sequences.
struct WireEntry {
    bool fromDriver;
    std::uint8_t type;
    bool operator==(const WireEntry& o) const {
        return fromDriver == o.fromDriver && type == o.type;
    }
};

std::ostream& operator<<(std::ostream& os, const WireEntry& e) {
    return os << (e.fromDriver ? "driver:" : "display:") << std::hex << int(e.type);
}

std::vector<WireEntry> Entries(const std::vector<SerialWireFrame>& wire) {
    std::vector<WireEntry> entries;
    for (const SerialWireFrame& f : wire) entries.push_back({f.fromDriver, f.type});
    return entries;
}

// The driver's end of the line: the pseudo-terminal's slave, opened as a serial port is.
class Line {
  public:
    explicit Line(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Line() {
        if (m_fd >= 0) close(m_fd);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool Open() const { return m_fd >= 0; }

    void Write(const Bytes& bytes) {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to `count` bytes, waiting at most `timeoutMs` (real time) for all of them.
    Bytes Read(std::size_t count, int timeoutMs = 3000) {
        Bytes bytes;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd = {m_fd, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buffer[512];
            const std::size_t want = std::min(sizeof(buffer), count - bytes.size());
            const ssize_t got = read(m_fd, buffer, want);
            if (got <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }

    // The next frame, if a whole one arrives in time.
    std::optional<ReadFrame> Next(int timeoutMs = 3000) {
        const Bytes head = Read(5, timeoutMs);
        if (head.size() < 5) return std::nullopt;
        EXPECT_EQ(head[0], 0x01);
        EXPECT_EQ(head[1], 0x02);
        EXPECT_EQ(head[4], 0x03);
        const Bytes rest = Read(head[3] + 2u, timeoutMs);
        if (rest.size() < head[3] + 2u) return std::nullopt;
        ReadFrame frame{head[2], Bytes(rest.begin(), rest.end() - 2), false};
        const std::uint16_t sum =
            static_cast<std::uint16_t>(rest[rest.size() - 2] | (rest[rest.size() - 1] << 8));
        frame.checksumOk = sum == Checksum(frame.type, frame.payload);
        return frame;
    }

    // Types of the next `count` frames (each with a good checksum).
    std::vector<std::uint8_t> NextTypes(int count) {
        std::vector<std::uint8_t> types;
        for (int i = 0; i < count; ++i) {
            std::optional<ReadFrame> frame = Next();
            if (!frame) break;
            EXPECT_TRUE(frame->checksumOk);
            types.push_back(frame->type);
        }
        return types;
    }

    // True when nothing arrives for `ms` of real time.
    bool Quiet(int ms = 60) {
        pollfd fd = {m_fd, POLLIN, 0};
        return poll(&fd, 1, ms) == 0;
    }

  private:
    int m_fd = -1;
};

// Every case runs on the manual clock, so acknowledgement delays move only when a case moves them.
class SerialDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override { zelcompat::UseManualClock(1000); }
    void TearDown() override { zelcompat::UseRealClock(); }
};

// ---- Identification ----

TEST_F(SerialDisplayTest, HandshakeAcksIdentifyThenRepliesAndAcksDone) {
    SerialDisplayOptions custom;
    custom.textCells = 80;
    custom.deviceId1 = 0x56;
    custom.deviceId2 = 0x78;
    struct Case {
        SerialDisplayOptions options;
        Bytes reply;
    };
    const Case cases[] = {
        {SerialDisplayOptions{}, {40, 0, 0, 0, 0x12, 0x34}},
        {custom, {80, 0, 0, 0, 0x56, 0x78}},
    };
    for (const Case& c : cases) {
        SerialDisplay display(c.options);
        Line line(display.SlavePath());
        ASSERT_TRUE(line.Open());

        line.Write(kIdentify);
        EXPECT_EQ(line.Read(kAck.size()), kAck);
        std::optional<ReadFrame> reply = line.Next();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->type, kReplyType);
        EXPECT_EQ(reply->payload, c.reply);
        EXPECT_TRUE(reply->checksumOk);

        // The driver's ack of the reply is counted and not answered; the done is acknowledged.
        line.Write(kAck);
        line.Write(kIdentifyDone);
        EXPECT_EQ(line.Read(kAck.size()), kAck);
        EXPECT_TRUE(line.Quiet());

        EXPECT_EQ(display.IdentifyRequests(), 1);
        EXPECT_EQ(display.IdentifyDonesReceived(), 1);
        EXPECT_EQ(display.AcksReceived(), 1);
        EXPECT_EQ(display.AcksSent(), 2);
        EXPECT_EQ(display.BadFramesReceived(), 0);
        const std::vector<WireEntry> expected = {
            {true, kIdentifyType}, {false, kAckType}, {false, kReplyType},
            {true, kAckType},      {true, kDoneType}, {false, kAckType},
        };
        EXPECT_EQ(Entries(display.Wire()), expected);
        EXPECT_EQ(display.Wire()[2].payload, c.reply);
        EXPECT_EQ(display.Wire()[4].payload, Bytes{0x00});
    }
}

TEST_F(SerialDisplayTest, IdentifyKnobs) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    display.SetAnswerIdentify(false);
    line.Write(kIdentify);
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_TRUE(line.Quiet()) << "no reply while answering is off";

    display.SetAnswerIdentify(true);
    display.SetCellCount(20);
    line.Write(kIdentify);
    EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
    EXPECT_EQ(display.IdentifyRequests(), 2);
    EXPECT_EQ(display.Wire().back().payload, (Bytes{20, 0, 0, 0, 0x12, 0x34}));
}

// ---- Display frames ----

TEST_F(SerialDisplayTest, DisplayFrameIsAckedAndShownInHostDotOrder) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    // The worked example: 42 blank cells.
    Bytes blank = {0x01, 0x02, 0x00, 0x2A, 0x03};
    blank.insert(blank.end(), 42, 0x00);
    blank.insert(blank.end(), {0x7A, 0xAA});
    line.Write(blank);
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_EQ(display.DisplayFramesReceived(), 1);

    // Each device bit alone in a cell of its own: the left column bottom up (dots 7, 3, 2, 1),
    // then the right column bottom up (dots 8, 6, 5, 4).
    struct Dot {
        std::uint8_t device;
        std::uint8_t host;
    };
    const Dot dots[] = {
        {0x01, 0x40}, {0x02, 0x04}, {0x04, 0x02}, {0x08, 0x01},
        {0x10, 0x80}, {0x20, 0x20}, {0x40, 0x10}, {0x80, 0x08},
    };
    SerialCells sent{};
    SerialCells expected{};
    for (std::size_t i = 0; i < std::size(dots); ++i) {
        sent[2 + i] = dots[i].device;  // text cells; 0 and 1 are status cells
        expected[2 + i] = dots[i].host;
    }
    sent[0] = 0x0F;  // left column: dots 1, 2, 3, 7
    expected[0] = 0x47;
    sent[41] = 0xFF;
    expected[41] = 0xFF;
    line.Write(DisplayFrame(sent));
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    ASSERT_TRUE(
        display.WaitUntil([](const SerialDisplay& d) { return d.DisplayFramesReceived() == 2; }));
    EXPECT_EQ(display.ShownDeviceCells(), sent);
    EXPECT_EQ(display.ShownCells(), expected);
    // U+2847, U+2800, U+2840 (dot 7) ... U+28FF.
    const std::string braille = display.ShownBraille();
    EXPECT_EQ(braille.size(), 42u * 3);
    EXPECT_EQ(braille.substr(0, 9), "\u2847\u2800\u2840");
    EXPECT_EQ(braille.substr(41 * 3), "\u28FF");

    // A watcher takes the lines and frames that came after those it has seen.
    ASSERT_EQ(display.ShownLinesFrom(1).size(), 1u);
    EXPECT_EQ(display.ShownLinesFrom(1)[0], expected);
    EXPECT_TRUE(display.ShownLinesFrom(2).empty());
    const std::size_t frames = display.Wire().size();
    ASSERT_GE(frames, 2u);
    const std::vector<SerialWireFrame> last = display.WireFrom(frames - 2);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_TRUE(last[0].fromDriver);
    EXPECT_EQ(last[0].payload, Bytes(sent.begin(), sent.end()));
    EXPECT_EQ(last[1].type, kAckType);
    EXPECT_TRUE(display.WireFrom(frames + 5).empty());
}

TEST_F(SerialDisplayTest, APacedLineTakesBytesInAndSendsThemOutAtItsRate) {
    SerialDisplayOptions options;
    options.lineRate = zelsim::kLineRate;
    SerialDisplay display(options);
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    constexpr std::int64_t kByteNs = 10 * 1000000000LL / zelsim::kLineRate;  // 8N1

    const auto start = std::chrono::steady_clock::now();
    line.Write(DisplayFrame(SerialCells{}));  // 49 bytes at once
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count(),
              (49 + 7) * kByteNs)
        << "the frame in and its acknowledgement out each take their wire time";

    // The acknowledgement's end is noted just after its last byte is written.
    ASSERT_TRUE(display.WaitUntil(
        [](const SerialDisplay& d) { return d.Wire().size() == 2 && d.Wire()[1].endNs != 0; }));
    const std::vector<SerialWireFrame> wire = display.Wire();
    const std::int64_t frameNs = wire[0].endNs - wire[0].startNs;
    EXPECT_GE(frameNs, 49 * kByteNs);
    EXPECT_LT(frameNs, 49 * kByteNs + 5000000) << "taken in as soon as its bytes were on the line";
    EXPECT_GE(wire[1].endNs - wire[1].startNs, 7 * kByteNs);
    EXPECT_GE(wire[1].startNs, wire[0].endNs) << "answered once the frame was in";
}

// Once the writer is done, one wait makes the display's state final: on a paced line the frames
// written take their wire time to be taken in, and the wait covers that too.
TEST_F(SerialDisplayTest, WaitTakenInReturnsOnceEveryWrittenByteIsTakenIn) {
    SerialDisplayOptions options;
    options.lineRate = zelsim::kLineRate;
    SerialDisplay display(options);
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    EXPECT_TRUE(display.WaitTakenIn()) << "nothing written: nothing to wait for";

    SerialCells cells{};
    Bytes written;
    for (int frame = 0; frame < 3; ++frame) {
        cells[2] = static_cast<std::uint8_t>(frame + 1);
        const Bytes bytes = DisplayFrame(cells);
        written.insert(written.end(), bytes.begin(), bytes.end());
    }
    line.Write(written);  // about 38 ms of line
    ASSERT_TRUE(display.WaitTakenIn());
    EXPECT_EQ(display.BytesReceived(), static_cast<int>(written.size()));
    EXPECT_EQ(display.DisplayFramesReceived(), 3);
    EXPECT_EQ(display.ShownLines().size(), 3u);
}

// The sum runs over 16 bits: 42 cells of FF take it past a byte, 255 bytes of FF past 16 bits.
TEST_F(SerialDisplayTest, ChecksumIsSixteenBitsAndWraps) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    Bytes full = {0x01, 0x02, 0x00, 0x2A, 0x03};
    full.insert(full.end(), 42, 0xFF);
    full.insert(full.end(), {0x50, 0x80});  // 0x2F + 42 * 0xFF = 0x2A05, XOR AA55
    line.Write(full);
    EXPECT_EQ(line.Read(kAck.size()), kAck);

    Bytes wrapping = {0x01, 0x02, 0xFF, 0xFF, 0x03};
    wrapping.insert(wrapping.end(), 255, 0xFF);
    wrapping.insert(wrapping.end(), {0x51, 0xAA});  // 0x10004 wraps to 0x0004, XOR AA55
    line.Write(wrapping);
    EXPECT_EQ(line.Read(kAck.size()), kAck);

    EXPECT_EQ(display.BadFramesReceived(), 0);
    SerialCells all;
    all.fill(0xFF);
    EXPECT_EQ(display.ShownCells(), all);
}

TEST_F(SerialDisplayTest, FramesArriveByteByByte) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    for (std::uint8_t byte : kIdentify) {
        line.Write({byte});
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
}

// A display frame of another length is a good frame: acknowledged, but it shows nothing.
TEST_F(SerialDisplayTest, DisplayFrameOfOtherLengthIsAckedButNotShown) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    line.Write(Frame(kDisplayType, Bytes(40, 0xFF)));
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_EQ(display.DisplayFramesReceived(), 0);
    EXPECT_EQ(display.ShownCells(), SerialCells{});
}

// ---- Broken frames ----

TEST_F(SerialDisplayTest, BrokenFramesAreCountedIgnoredAndTheNextFrameIsTaken) {
    struct Case {
        const char* name;
        Bytes bytes;
        int bad;
        int stray;
    };
    const Case cases[] = {
        // The second 01 breaks the frame and is consumed: the rest is stray.
        {"01 01 02 ...", Concat({{0x01}, kIdentify}), 1, 6},
        {"no 03 after the length", {0x01, 0x02, 0x24, 0x00, 0x04, 0x7C, 0xAA}, 1, 2},
        {"checksum off by one", {0x01, 0x02, 0x24, 0x00, 0x03, 0x7D, 0xAA}, 1, 0},
        {"checksum bytes swapped", {0x01, 0x02, 0x24, 0x00, 0x03, 0xAA, 0x7C}, 1, 0},
        {"checksum of another type", {0x01, 0x02, 0x26, 0x00, 0x03, 0x7C, 0xAA}, 1, 0},
        {"garbage", {0xFF, 0x00, 0x7F, 0x02, 0x03, 0xAA}, 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SerialDisplay display;
        Line line(display.SlavePath());
        ASSERT_TRUE(line.Open());
        line.Write(c.bytes);
        EXPECT_TRUE(line.Quiet()) << "nothing answers a broken frame";
        line.Write(kIdentify);
        EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
        EXPECT_EQ(display.BadFramesReceived(), c.bad);
        EXPECT_EQ(display.StrayBytesReceived(), c.stray);
        EXPECT_EQ(display.BytesReceived(), static_cast<int>(c.bytes.size() + kIdentify.size()));
        EXPECT_EQ(display.IdentifyRequests(), 1);
        EXPECT_EQ(display.AcksSent(), 1);
        EXPECT_EQ(Entries(display.Wire()),
                  (std::vector<WireEntry>{
                      {true, kIdentifyType}, {false, kAckType}, {false, kReplyType}}));
    }
}

TEST_F(SerialDisplayTest, DisplayFrameWithBadChecksumChangesNothing) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    SerialCells cells;
    cells.fill(0x3C);
    Bytes bad = DisplayFrame(cells);
    bad.back() ^= 0x01;
    line.Write(bad);
    EXPECT_TRUE(line.Quiet());
    EXPECT_EQ(display.BadFramesReceived(), 1);
    EXPECT_EQ(display.DisplayFramesReceived(), 0);
    EXPECT_EQ(display.ShownDeviceCells(), SerialCells{});
}

// ---- Acknowledgement knobs ----

TEST_F(SerialDisplayTest, DroppedAcksStillShowTheFrames) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    SerialCells cells{};

    display.DropNextAcks(2);
    for (std::uint8_t i = 1; i <= 3; ++i) {
        cells[0] = i;
        line.Write(DisplayFrame(cells));
    }
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_TRUE(line.Quiet()) << "only the third frame is acknowledged";
    EXPECT_EQ(display.DisplayFramesReceived(), 3);
    EXPECT_EQ(display.ShownDeviceCells()[0], 3);

    // Dropping all: no ack, but an identification is still answered.
    display.SetDropAllAcks(true);
    line.Write(DisplayFrame(cells));
    line.Write(kIdentify);
    EXPECT_EQ(line.NextTypes(1), std::vector<std::uint8_t>{kReplyType});
    EXPECT_TRUE(line.Quiet());
    display.SetDropAllAcks(false);
    line.Write(DisplayFrame(cells));
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_EQ(display.AcksSent(), 2);
}

// A delay counts from each frame's arrival, on GetTickCount.
TEST_F(SerialDisplayTest, DelayedAcksLeaveWhenTheClockReachesThem) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    display.SetAckDelay(200);

    line.Write(Frame(kDisplayType, Bytes(42, 0x01)));  // arrives at 1000: due at 1200
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.PendingAnswers() == 1; }));
    zelcompat::AdvanceTicks(150);
    line.Write(kIdentify);  // arrives at 1150: its ack due at 1350, the reply behind it
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.PendingAnswers() == 3; }));
    EXPECT_TRUE(line.Quiet());

    zelcompat::AdvanceTicks(49);  // 1199
    EXPECT_TRUE(line.Quiet());
    zelcompat::AdvanceTicks(1);  // 1200
    EXPECT_EQ(line.Read(kAck.size()), kAck);
    EXPECT_TRUE(line.Quiet());

    zelcompat::AdvanceTicks(149);  // 1349
    EXPECT_TRUE(line.Quiet());
    zelcompat::AdvanceTicks(1);  // 1350
    EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
    EXPECT_EQ(display.PendingAnswers(), 0);
}

TEST_F(SerialDisplayTest, HeldAcksLeaveInOrderOnRelease) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    display.SetHoldAcks(true);

    line.Write(Frame(kDisplayType, Bytes(42, 0x01)));
    line.Write(kIdentify);
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.PendingAnswers() == 3; }));
    // The display's own messages do not wait behind held answers.
    display.PressRouting(7);
    EXPECT_EQ(line.NextTypes(1), std::vector<std::uint8_t>{kRoutingType});
    EXPECT_TRUE(line.Quiet());

    display.ReleaseHeldAcks();
    EXPECT_EQ(line.NextTypes(3), (std::vector<std::uint8_t>{kAckType, kAckType, kReplyType}));

    // Holding stays on after a release; turning it off releases.
    line.Write(kIdentifyDone);
    EXPECT_TRUE(line.Quiet());
    display.SetHoldAcks(false);
    EXPECT_EQ(line.Read(kAck.size()), kAck);

    EXPECT_EQ(Entries(display.Wire()), (std::vector<WireEntry>{{true, kDisplayType},
                                                               {true, kIdentifyType},
                                                               {false, kRoutingType},
                                                               {false, kAckType},
                                                               {false, kAckType},
                                                               {false, kReplyType},
                                                               {true, kDoneType},
                                                               {false, kAckType}}));
}

// ---- What the display sends ----

TEST_F(SerialDisplayTest, KeysAndCharactersGoOutAsFrames) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    // The function key 5, worked out by hand: 02 + 10 + 01 + 03 + 05 = 1B, XOR AA55.
    display.PressFunction(0x05);
    EXPECT_EQ(line.Read(8), (Bytes{0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4E, 0xAA}));

    // The display sends without waiting for the driver's acknowledgements.
    display.PressRouting(0x27);
    display.TypeCharacter(0x20AC);
    display.SendScanCode(0xE04B);
    display.SendFrame(0x42, {1, 2, 3});
    struct Expected {
        std::uint8_t type;
        Bytes payload;
    };
    const Expected expected[] = {
        {kRoutingType, {0x27}},
        {kCharacterType, {0xAC, 0x20}},
        {kScanCodeType, {0x4B, 0xE0}},
        {0x42, {1, 2, 3}},
    };
    for (const Expected& e : expected) {
        std::optional<ReadFrame> frame = line.Next();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->type, e.type);
        EXPECT_EQ(frame->payload, e.payload);
        EXPECT_TRUE(frame->checksumOk);
    }
    line.Write(kAck);
    line.Write(kAck);
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.AcksReceived() == 2; }));
    EXPECT_TRUE(line.Quiet()) << "acks are not acknowledged";
    EXPECT_EQ(display.Wire().size(), 7u);
}

TEST_F(SerialDisplayTest, BadChecksumFramesAndRawBytesAreSentAsAsked) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    display.SendBadChecksumFrame(kFunctionType, {0x05});
    EXPECT_EQ(line.Read(8), (Bytes{0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4F, 0xAA}));
    display.SendBytes({0xDE, 0xAD, 0x01});
    EXPECT_EQ(line.Read(3), (Bytes{0xDE, 0xAD, 0x01}));
    EXPECT_TRUE(display.Wire().empty()) << "only good frames are recorded";
}

// Keys pressed on another thread while the display acknowledges frames: no frame is cut into
// another, and each side's frames keep their order.
TEST_F(SerialDisplayTest, FramesFromTwoThreadsDoNotInterleave) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());
    constexpr int kKeys = 200;
    constexpr int kFrames = 50;

    std::thread presser([&display] {
        for (int i = 0; i < kKeys; ++i) display.PressFunction(static_cast<std::uint8_t>(i));
    });
    for (int i = 0; i < kFrames; ++i) line.Write(Frame(kDisplayType, Bytes(42, 0x11)));
    presser.join();

    int acks = 0;
    int keys = 0;
    for (int i = 0; i < kKeys + kFrames; ++i) {
        std::optional<ReadFrame> frame = line.Next();
        ASSERT_TRUE(frame) << "after " << acks << " acks and " << keys << " keys";
        ASSERT_TRUE(frame->checksumOk);
        if (frame->type == kAckType) {
            ++acks;
        } else {
            ASSERT_EQ(frame->type, kFunctionType);
            ASSERT_EQ(frame->payload, Bytes{static_cast<std::uint8_t>(keys)});
            ++keys;
        }
    }
    EXPECT_EQ(acks, kFrames);
    EXPECT_EQ(keys, kKeys);
    EXPECT_EQ(display.DisplayFramesReceived(), kFrames);
}

// ---- Silence and the line itself ----

TEST_F(SerialDisplayTest, SilentDisplayReadsAndDiscardsEverything) {
    SerialDisplay display;
    Line line(display.SlavePath());
    ASSERT_TRUE(line.Open());

    // Half a frame before the display goes silent is forgotten with it.
    line.Write({0x01, 0x02, 0x24});
    ASSERT_TRUE(display.WaitUntil([](const SerialDisplay& d) { return d.BytesReceived() == 3; }));
    display.SetSilent(true);
    line.Write(kIdentify);
    line.Write(Frame(kDisplayType, Bytes(42, 0xFF)));
    display.PressFunction(1);
    const int all = 3 + static_cast<int>(kIdentify.size()) + 49;
    ASSERT_TRUE(
        display.WaitUntil([all](const SerialDisplay& d) { return d.BytesReceived() == all; }));
    EXPECT_TRUE(line.Quiet());
    EXPECT_EQ(display.IdentifyRequests(), 0);
    EXPECT_EQ(display.DisplayFramesReceived(), 0);
    EXPECT_EQ(display.StrayBytesReceived(), 0);

    display.SetSilent(false);
    line.Write({0x00, 0x03, 0x7C, 0xAA});  // the rest of the forgotten frame: stray bytes
    EXPECT_TRUE(line.Quiet());
    line.Write(kIdentify);
    EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
    EXPECT_EQ(display.StrayBytesReceived(), 4);
    EXPECT_EQ(display.Wire().size(), 3u);
}

// Before the driver opens the port and after it closes it, no slave of the driver's is open: the
// display must wait for it without spinning.
TEST_F(SerialDisplayTest, IdlesWithoutAPortOpen) {
    SerialDisplay display;
    {
        Line line(display.SlavePath());
        ASSERT_TRUE(line.Open());
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto micros = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
               r.ru_stime.tv_usec;
    };
    EXPECT_LT(micros(after) - micros(before), 60000L) << "processor time in 300 ms";
}

// A driver closes its port and opens it again: the display is still there.
TEST_F(SerialDisplayTest, ServesAgainAfterThePortIsReopened) {
    SerialDisplay display;
    for (int round = 0; round < 3; ++round) {
        Line line(display.SlavePath());
        ASSERT_TRUE(line.Open());
        line.Write(kIdentify);
        EXPECT_EQ(line.NextTypes(2), (std::vector<std::uint8_t>{kAckType, kReplyType}));
    }
    EXPECT_EQ(display.IdentifyRequests(), 3);
}

}  // namespace
