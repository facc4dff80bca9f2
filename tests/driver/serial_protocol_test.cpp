// The serial frame protocol on a raw line: frames on the wire, the parser, acknowledgements and
// the held-back display frame. The driver's routines are called directly on this thread.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "serial_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kAckFrame = {0x01, 0x02, 0x7F, 0x00, 0x03, 0xD1, 0xAA};

class SerialProtocolTest : public SerialTest {
  protected:
    void SetUp() override {
        SerialTest::SetUp();
        LinkPort(5, m_line.SlavePath());
        std::strcpy(g_driver.m_portName, "COM5");
        ASSERT_EQ(g_driver.OpenSerialPort(), 1);
    }
    void TearDown() override {
        g_driver.CloseTransport();
        EXPECT_EQ(g_driver.m_serial, nullptr);
        SerialTest::TearDown();
    }

    void Feed(const Bytes& bytes) {
        for (std::uint8_t byte : bytes) g_driver.FeedByte(byte);
    }

    RawLine m_line;
};

TEST_F(SerialProtocolTest, TheWorkedFramesGoOnTheWireAndParseBack) {
    struct Case {
        const char* what;
        std::uint8_t type;
        Bytes payload;
        Bytes wire;
    };
    Bytes blankDisplay = {0x01, 0x02, 0x00, 0x2A, 0x03};
    blankDisplay.insert(blankDisplay.end(), 42, 0x00);
    blankDisplay.insert(blankDisplay.end(), {0x7A, 0xAA});
    const Case cases[] = {
        {"acknowledgement", 0x7F, {}, kAckFrame},
        {"identify", 0x24, {}, {0x01, 0x02, 0x24, 0x00, 0x03, 0x7C, 0xAA}},
        {"identify done", 0x26, {0x00}, {0x01, 0x02, 0x26, 0x01, 0x03, 0x00, 0x79, 0xAA}},
        {"blank display", 0x00, Bytes(42, 0x00), blankDisplay},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_driver.m_awaitingAck = 0;
        g_driver.SendFrame(c.type, static_cast<std::uint8_t>(c.payload.size()), c.payload.data());
        EXPECT_EQ(m_line.Take(), c.wire);
        EXPECT_EQ(g_driver.m_awaitingAck, c.type == 0x00 ? 1 : 0) << "only display frames wait";

        // The same bytes coming in: an acknowledgement ends the wait, anything else is answered.
        g_driver.m_awaitingAck = 1;
        Feed(c.wire);
        EXPECT_EQ(g_driver.m_parser.state, AwaitSoh);
        if (c.type == 0x7F) {
            EXPECT_EQ(g_driver.m_awaitingAck, 0);
            EXPECT_TRUE(m_line.Take(50).empty()) << "an acknowledgement is not answered";
        } else {
            EXPECT_EQ(m_line.Take(), kAckFrame);
        }
    }
}

// What the parser makes of byte runs: answered with an acknowledgement, or dropped.
TEST_F(SerialProtocolTest, TheParserAnswersGoodFramesOnlyWhateverComesBeforeThem) {
    Bytes wrapping = Frame(0x12, Bytes(255, 0xFF));  // the sum passes 0xFFFF
    Bytes offByOne = Frame(0x12, {0x05});
    offByOne[offByOne.size() - 2] ^= 0x01;
    Bytes doubledSoh = {0x01};
    const Bytes rest = Frame(0x12, {0x05});
    doubledSoh.insert(doubledSoh.end(), rest.begin(), rest.end());
    Bytes brokenEtx = Frame(0x12, {0x05});
    brokenEtx[4] = 0x04;
    Bytes garbageFirst = {0x00, 0xFF, 0x02, 0x03, 0x55};
    garbageFirst.insert(garbageFirst.end(), rest.begin(), rest.end());
    struct Case {
        const char* what;
        Bytes bytes;
        bool answered;
    };
    const Case cases[] = {
        {"empty payload", Frame(0x12, {}), true},
        {"sum wrapping at 16 bits", wrapping, true},
        {"garbage before a good frame", garbageFirst, true},
        {"checksum off by one", offByOne, false},
        {"01 01 02: the second 01 breaks the frame", doubledSoh, false},
        {"no 03 after the length", brokenEtx, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Feed(c.bytes);
        EXPECT_EQ(g_driver.m_parser.state, AwaitSoh);
        EXPECT_EQ(m_line.Take(c.answered ? 200 : 50), c.answered ? kAckFrame : Bytes{});
    }
}

TEST_F(SerialProtocolTest, OnlyTheNewestDisplayFrameWaitsAndOtherFramesGoOutAtOnce) {
    const Bytes first(42, 0x11), second(42, 0x22), third(42, 0x33);
    g_driver.SendFrame(MsgDisplay, 42, first.data());
    EXPECT_EQ(m_line.Take(), Frame(0x00, first));
    g_driver.SendFrame(MsgDisplay, 42, second.data());
    g_driver.SendFrame(MsgDisplay, 42, third.data());
    g_driver.SendFrame(MsgIdentify, 0, nullptr);
    EXPECT_EQ(m_line.Take(), Frame(0x24, {})) << "held back: both display frames";
    ASSERT_EQ(g_driver.m_deferredPending, 1);

    Feed(kAckFrame);
    EXPECT_EQ(g_driver.m_awaitingAck, 0);
    g_driver.Poll();
    EXPECT_EQ(m_line.Take(), Frame(0x00, third)) << "exactly the newest";
    EXPECT_EQ(g_driver.m_deferredPending, 0);
    EXPECT_EQ(g_driver.m_awaitingAck, 1);
}

TEST_F(SerialProtocolTest, AFrameLongerThanTheRecordsIsRefused) {
    const Bytes payload(255, 0x01);
    g_driver.SendFrame(0x12, 120, payload.data());  // 127 bytes: one more than a record holds
    EXPECT_TRUE(m_line.Take(50).empty());
    g_driver.SendFrame(0x12, 119, payload.data());
    EXPECT_EQ(m_line.Take().size(), 126u);
}

TEST_F(SerialProtocolTest, LostAcknowledgementsAreDroppedAndTheFourthInARowSuspends) {
    const Bytes cells(42, 0x44);
    for (int timeout = 1; timeout <= 4; ++timeout) {
        SCOPED_TRACE(timeout);
        g_driver.SendFrame(MsgDisplay, 42, cells.data());
        m_line.Take();
        zelcompat::AdvanceTicks(400);
        g_driver.Poll();
        EXPECT_EQ(g_driver.m_awaitingAck, 1) << "exactly 400 ms is not yet a time-out";
        zelcompat::AdvanceTicks(1);
        g_driver.Poll();
        EXPECT_EQ(g_driver.m_awaitingAck, 0);
        EXPECT_EQ(g_driver.m_serialTimeouts, timeout);
        EXPECT_TRUE(m_line.Take(20).empty()) << "the lost frame is not resent";
    }
    EXPECT_EQ(g_driver.m_suspended, 1);
    EXPECT_EQ(g_driver.m_serial, nullptr) << "the port is released";
    g_driver.m_suspended = 0;
}

TEST_F(SerialProtocolTest, AnAcknowledgementStartsTheCountOfTimeOutsAgain) {
    const Bytes cells(42, 0x44);
    for (int round = 0; round < 2; ++round) {
        g_driver.SendFrame(MsgDisplay, 42, cells.data());
        zelcompat::AdvanceTicks(401);
        g_driver.Poll();
    }
    ASSERT_EQ(g_driver.m_serialTimeouts, 2);
    Feed(kAckFrame);
    EXPECT_EQ(g_driver.m_serialTimeouts, 0);
    m_line.Take();
}

TEST_F(SerialProtocolTest, TheBlankFrameAtCloseReachesADisplayThatReadsLate) {
    // Closing purges the port, which throws away what the display has not read yet. The display
    // here reads 30 ms late and then acknowledges; the clock moves at about real speed, so the
    // acknowledgement time-out is 400 ms away.
    std::atomic<bool> stop{false};
    std::thread clock([&stop] {
        while (!stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            zelcompat::AdvanceTicks(1);
        }
    });
    Bytes received;
    std::thread display([this, &received] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        received = m_line.Take();
        m_line.Put(kAckFrame);
    });
    g_driver.BlankBeforeClose();
    g_driver.CloseTransport();
    display.join();
    stop.store(true);
    clock.join();
    Bytes blank = {0x01, 0x02, 0x00, 0x2A, 0x03};
    blank.insert(blank.end(), 42, 0x00);
    blank.insert(blank.end(), {0x7A, 0xAA});
    EXPECT_EQ(received, blank);
}

}  // namespace
