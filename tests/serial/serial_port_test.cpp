// The serial port class on a real line: tools/pty-com puts a pseudo-terminal behind the COM port
// named in ZEL_PTY_COM and plays a loopback plug on its far end, so what the port writes comes
// back to it and nothing arrives unless written. Natively the port is the layer's (its devices
// folder); in the Windows build the same cases run under Wine, whose COM ports are the reference.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <zel_compat/seams.h>
#endif

// Ends the rest of a case, as skipped, where Wine 8 differs from Windows; our layer follows
// Windows, so natively the case goes on.
#ifdef _WIN32
#define WINE_DIFFERS(reason) GTEST_SKIP() << "Wine 8 differs: " << reason
#else
#define WINE_DIFFERS(reason) static_cast<void>(0)
#endif

namespace {

constexpr int kSuccess = 0;
constexpr int kInvalidFunction = 1;
constexpr int kFileNotFound = 2;
constexpr int kInvalidHandle = 6;
constexpr int kNameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr int kAlreadyOpen = 1247;
constexpr int kTimedOut = 1460;
constexpr int kInvalidArgument = static_cast<int>(0x80070057u);  // E_INVALIDARG
constexpr DWORD kIoIncomplete = ERROR_IO_INCOMPLETE;
constexpr DWORD kWaitObject0 = WAIT_OBJECT_0;
constexpr DWORD kOpenEventMask = 0x00C1;  // EV_RXCHAR | EV_BREAK | EV_ERR
constexpr DWORD kRxChar = EV_RXCHAR;
// A bound on waits that must end long before it (Wine runs under an emulator here).
constexpr DWORD kGenerousMs = 20000;
// A time-out that runs out on a quiet line.
constexpr DWORD kShortMs = 200;
#ifdef _WIN32
constexpr const char* kNoEventWaits =
    "an event wait on a pseudo-terminal ends at once, cancelled (no modem lines to read)";
#endif
// A value no call sets, stored before a call to prove that the call set its own.
constexpr int kStale = 4242;
constexpr DWORD kStaleCount = 4242;

// The class with its fields in view.
class Port : public CSerial {
  public:
    int LastError() const { return m_lastError; }
    void SetLastErrorField(int code) { m_lastError = code; }
    HANDLE Handle() const { return m_portHandle; }
    HANDLE IoEvent() const { return m_ioEvent; }
    DWORD EventMaskField() const { return m_eventMask; }
    void SetEventFields(DWORD lastEvent, DWORD mask) {
        m_lastEvent = lastEvent;
        m_eventMask = mask;
    }
};

// Records the calls that reach the overridable operations, which then do their work.
class RecordingPort : public Port {
  public:
    std::vector<std::string> calls;
    const void* writtenFrom = nullptr;
    DWORD writtenCount = 0;
    DWORD* writtenOut = nullptr;
    OVERLAPPED* writtenRecord = nullptr;
    DWORD writtenTimeout = 0;

    int ClosePort() override {
        calls.push_back("ClosePort");
        return Port::ClosePort();
    }
    int SetEventMask(DWORD mask) override {
        calls.push_back("SetEventMask " + std::to_string(mask));
        return Port::SetEventMask(mask);
    }
    int SetReadMode(ReadMode mode) override {
        calls.push_back("SetReadMode " + std::to_string(mode));
        return Port::SetReadMode(mode);
    }
    DWORD QueryEventMask() override {
        calls.push_back("QueryEventMask");
        return Port::QueryEventMask();
    }
    int WriteBytes(const void* buffer, DWORD count, DWORD* outCount, OVERLAPPED* overlapped,
                   DWORD timeout) override {
        calls.push_back("WriteBytes");
        writtenFrom = buffer;
        writtenCount = count;
        writtenOut = outCount;
        writtenRecord = overlapped;
        writtenTimeout = timeout;
        return Port::WriteBytes(buffer, count, outCount, overlapped, timeout);
    }
};

std::string LinePort() {
    const char* name = std::getenv("ZEL_PTY_COM");
    return name != nullptr ? name : "";
}

DCB State(HANDLE port) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    return dcb;
}

COMMTIMEOUTS Timeouts(HANDLE port) {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    EXPECT_TRUE(GetCommTimeouts(port, &timeouts));
    return timeouts;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

// Waits until `count` bytes are in the input queue (the loopback brings back what was written).
void AwaitWaiting(Port& port, DWORD count) {
    const DWORD start = GetTickCount();
    DWORD waiting = port.BytesWaiting();
    while (waiting < count && GetTickCount() - start < kGenerousMs) {
        Sleep(5);
        waiting = port.BytesWaiting();
    }
    ASSERT_EQ(waiting, count);
}

// Reads exactly `count` bytes: on an overlapped port with ReadWaitAll and a generous time-out, on
// a blocking one once they are all waiting.
std::string ReadExactly(Port& port, DWORD count, bool overlapped = true) {
    std::string data(count, '\0');
    DWORD got = kStaleCount;
    if (overlapped) {
        EXPECT_EQ(port.SetReadMode(CSerial::ReadWaitAll), kSuccess);
        EXPECT_EQ(port.ReadBytes(&data[0], count, &got, nullptr, kGenerousMs), kSuccess);
    } else {
        AwaitWaiting(port, count);
        EXPECT_EQ(port.ReadBytes(&data[0], count, &got, nullptr, INFINITE), kSuccess);
    }
    EXPECT_EQ(got, count);
    data.resize(got <= count ? got : 0);
    return data;
}

// Writes `text` and checks that exactly it comes back.
void ExpectRoundTrip(Port& port, const std::string& text, bool overlapped = true) {
    DWORD written = kStaleCount;
    ASSERT_EQ(port.WriteText(text.c_str(), &written, nullptr, overlapped ? kGenerousMs : INFINITE),
              kSuccess);
    ASSERT_EQ(written, text.size());
    EXPECT_EQ(ReadExactly(port, static_cast<DWORD>(text.size()), overlapped), text);
}

// Every case needs the line; natively each also checks that it leaked no handle, since every
// port object is gone by the end of the case.
class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = LinePort();
        ASSERT_FALSE(name_.empty()) << "run through tools/pty-com, which names the port";
#ifndef _WIN32
        handles_ = zelcompat::LiveHandleCount();
#endif
    }

    void TearDown() override {
#ifndef _WIN32
        EXPECT_EQ(zelcompat::LiveHandleCount(), handles_) << "a handle outlived its port object";
#endif
    }

    // Opens `port` on the line as the driver does: no queue sizes, overlapped.
    void Open(Port& port, bool overlapped = true) {
        ASSERT_EQ(port.OpenPort(name_.c_str(), 0, 0, overlapped), kSuccess);
        ASSERT_NE(port.Handle(), nullptr);
    }

    std::string name_;
#ifndef _WIN32
    std::size_t handles_ = 0;
#endif
};

using OpenPortTest = SerialPortTest;

TEST_F(OpenPortTest, RefusedNamesLeaveThePortClosed) {
    struct Case {
        const char* what;
        std::string name;
        int error;
    };
    // "\\.\" and the name fill the 64-character device path with 59 characters; one more must be
    // refused, not cut short into the name of some other device.
    const std::string fits = "NOPORT" + std::string(53, 'x');
    const std::vector<Case> cases = {
        {"a port that does not exist", "COM199", kFileNotFound},
        {"a missing name that just fits the path", fits, kFileNotFound},
        {"one character too many", fits + "x", kNameTooLong},
        {"the line's port with 60 characters behind it", name_ + std::string(60, ' '),
         kNameTooLong},
        {"far too long", std::string(300, 'C'), kNameTooLong},
    };
    ASSERT_EQ(fits.size(), 59u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Port port;
        EXPECT_EQ(port.OpenPort(c.name.c_str(), 0, 0, true), c.error);
        EXPECT_EQ(port.LastError(), c.error);
        EXPECT_EQ(port.Handle(), nullptr);
        EXPECT_EQ(port.IoEvent(), nullptr);
    }
    Port port;
    EXPECT_EQ(port.OpenPort(nullptr, 0, 0, true), static_cast<int>(ERROR_INVALID_NAME));
    EXPECT_EQ(port.Handle(), nullptr);
}

TEST_F(OpenPortTest, OpeningAnOpenPortFailsAndLeavesItAsItWas) {
    Port port;
    Open(port);
    const HANDLE handle = port.Handle();
    const HANDLE ioEvent = port.IoEvent();
    ASSERT_EQ(port.SetEventMask(kRxChar), kSuccess);

    EXPECT_EQ(port.OpenPort(name_.c_str(), 0, 0, false), kAlreadyOpen);
    EXPECT_EQ(port.OpenPort("COM199", 16, 16, true), kAlreadyOpen);
    EXPECT_EQ(port.LastError(), kAlreadyOpen);
    EXPECT_EQ(port.Handle(), handle);
    EXPECT_EQ(port.IoEvent(), ioEvent);
    EXPECT_EQ(port.QueryEventMask(), kRxChar);
    ExpectRoundTrip(port, "still open");
}

TEST_F(OpenPortTest, SetsTheEventMaskAndImmediateReads) {
    for (bool overlapped : {true, false}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "blocking");
        Port port;
        Open(port, overlapped);
        EXPECT_EQ(port.IoEvent() != nullptr, overlapped);
        EXPECT_EQ(port.QueryEventMask(), kOpenEventMask);
        DWORD mask = 0;
        EXPECT_TRUE(GetCommMask(port.Handle(), &mask));
        EXPECT_EQ(mask, kOpenEventMask);
        const COMMTIMEOUTS timeouts = Timeouts(port.Handle());
        EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
        EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    }
}

TEST_F(OpenPortTest, AnImmediateReadTakesWhatHasArrived) {
    Port port;
    Open(port);
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(port.LastError(), kSuccess);
    ASSERT_EQ(port.WriteText("abc", nullptr, nullptr, kGenerousMs), kSuccess);
    AwaitWaiting(port, 3);

    // The driver's read: more than has arrived, no record, no time-out.
    char buffer[80] = {};
    DWORD got = kStaleCount;
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer, &got, nullptr, INFINITE), kSuccess);
    EXPECT_EQ(std::string(buffer, got), "abc");
    EXPECT_EQ(port.BytesWaiting(), 0u);

    WINE_DIFFERS("an overlapped read in immediate mode stays pending until a byte arrives");
    got = kStaleCount;
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer, &got, nullptr, INFINITE), kSuccess);
    EXPECT_EQ(got, 0u);
}

TEST_F(OpenPortTest, GivenQueueSizesStillOpenAWorkingPort) {
    Port port;
    EXPECT_EQ(port.OpenPort(name_.c_str(), 4096, 4096, true), kSuccess);
    EXPECT_EQ(port.QueryEventMask(), kOpenEventMask);
    ExpectRoundTrip(port, "queues");
}

using CloseTest = SerialPortTest;

TEST_F(CloseTest, ReleasesTheHandlesAndKeepsTheEventState) {
    Port port;
    Open(port);
    ASSERT_EQ(port.WriteText("x", nullptr, nullptr, kGenerousMs), kSuccess);
    EXPECT_EQ(port.ClosePort(), kSuccess);
    EXPECT_EQ(port.Handle(), nullptr);
    EXPECT_EQ(port.IoEvent(), nullptr);
    EXPECT_EQ(port.EventMaskField(), kOpenEventMask);

    port.SetLastErrorField(kStale);
    EXPECT_EQ(port.ClosePort(), kSuccess);
    EXPECT_EQ(port.LastError(), kSuccess);

    // Share mode 0: a handle left open would keep the port from being opened again.
    Port again;
    Open(again);
    // Whatever came back of the "x" after the close is not of interest.
    again.PurgeBuffers();
}

TEST_F(CloseTest, TheDestructorClosesThePort) {
    CSerial* port = new Port;
    ASSERT_EQ(port->OpenPort(name_.c_str(), 0, 0, true), kSuccess);
    delete port;

    Port again;
    Open(again);
    ExpectRoundTrip(again, "reopened");
}

// Every operation on a port that is not open: the code 6, through the result or m_lastError.
TEST(ClosedPortTest, EveryOperationReportsAnInvalidHandle) {
    struct Case {
        const char* what;
        std::function<int(Port&)> call;
        int result;
    };
    char buffer[4] = {};
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    // The count must come back 0, whatever it held.
    DWORD count = kStaleCount;
    const auto zeroed = [&count](int result) { return count == 0 ? result : -2; };
    const std::vector<Case> cases = {
        {"Configure", [](Port& p) { return p.Configure(38400, 8, NOPARITY, ONESTOPBIT); },
         kInvalidHandle},
        {"SetEventCharacter", [](Port& p) { return p.SetEventCharacter('x', true); },
         kInvalidHandle},
        {"SetEventMask", [](Port& p) { return p.SetEventMask(kRxChar); }, kInvalidHandle},
        {"WaitForEvent", [](Port& p) { return p.WaitForEvent(nullptr, kShortMs); }, kInvalidHandle},
        {"SetFlowControl", [](Port& p) { return p.SetFlowControl(CSerial::FlowNone); },
         kInvalidHandle},
        {"SetReadMode", [](Port& p) { return p.SetReadMode(CSerial::ReadWaitAll); },
         kInvalidHandle},
        {"QueryBaudRate", [](Port& p) { return p.QueryBaudRate(); }, -1},
        {"QueryDataBits", [](Port& p) { return p.QueryDataBits(); }, -1},
        {"QueryParity", [](Port& p) { return p.QueryParity(); }, -1},
        {"QueryStopBits", [](Port& p) { return p.QueryStopBits(); }, -1},
        {"QueryFlowControl", [](Port& p) { return p.QueryFlowControl(); }, -1},
        {"QueryEventMask", [](Port& p) { return static_cast<int>(p.QueryEventMask()); }, 0},
        {"QueryEventCharacter", [](Port& p) { return static_cast<int>(p.QueryEventCharacter()); },
         0},
        {"WriteText", [&](Port& p) { return zeroed(p.WriteText("ab", &count, nullptr, INFINITE)); },
         kInvalidHandle},
        {"WriteBytes",
         [&](Port& p) { return zeroed(p.WriteBytes(buffer, 4, &count, &overlapped, kShortMs)); },
         kInvalidHandle},
        {"ReadBytes",
         [&](Port& p) { return zeroed(p.ReadBytes(buffer, 4, &count, nullptr, INFINITE)); },
         kInvalidHandle},
        {"WriteOneByte", [](Port& p) { return p.WriteOneByte('x'); }, kInvalidHandle},
        {"PurgeBuffers", [](Port& p) { return p.PurgeBuffers(); }, kInvalidHandle},
        {"SendBreak", [](Port& p) { return p.SendBreak(); }, kInvalidHandle},
        {"TakeErrors", [](Port& p) { return static_cast<int>(p.TakeErrors()); }, 0},
        {"IsClearToSend", [](Port& p) { return static_cast<int>(p.IsClearToSend()); }, 0},
        {"IsDataSetReady", [](Port& p) { return static_cast<int>(p.IsDataSetReady()); }, 0},
        {"IsRinging", [](Port& p) { return static_cast<int>(p.IsRinging()); }, 0},
        {"IsCarrierDetected", [](Port& p) { return static_cast<int>(p.IsCarrierDetected()); }, 0},
        {"BytesWaiting", [](Port& p) { return static_cast<int>(p.BytesWaiting()); }, 0},
    };
    // A port never opened, and one opened and closed again (when the line is there).
    std::vector<std::unique_ptr<Port>> ports;
    ports.push_back(std::make_unique<Port>());
    const std::string name = LinePort();
    if (!name.empty()) {
        ports.push_back(std::make_unique<Port>());
        ASSERT_EQ(ports.back()->OpenPort(name.c_str(), 0, 0, true), kSuccess);
        ASSERT_EQ(ports.back()->ClosePort(), kSuccess);
    }
    for (auto& port : ports) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            port->SetLastErrorField(kStale);
            count = kStaleCount;
            EXPECT_EQ(c.call(*port), c.result);
            EXPECT_EQ(port->LastError(), kInvalidHandle);
        }
        // Closing a closed port is no failure.
        port->SetLastErrorField(kStale);
        EXPECT_EQ(port->ClosePort(), kSuccess);
        EXPECT_EQ(port->LastError(), kSuccess);
    }
}

TEST(TakeEventTest, HandsOutTheMaskedBitsOnceAndLeavesTheErrorAlone) {
    Port port;
    port.SetEventFields(EV_RXCHAR | EV_TXEMPTY | EV_BREAK, EV_RXCHAR | EV_BREAK);
    port.SetLastErrorField(kStale);
    EXPECT_EQ(port.TakeEvent(), static_cast<DWORD>(EV_RXCHAR | EV_BREAK));
    EXPECT_EQ(port.TakeEvent(), 0u);
    EXPECT_EQ(port.EventMaskField(), static_cast<DWORD>(EV_RXCHAR | EV_BREAK));
    EXPECT_EQ(port.LastError(), kStale);
}

using LineSetupTest = SerialPortTest;

TEST_F(LineSetupTest, ConfigureSetsTheLineAndParityChecking) {
    struct Case {
        DWORD baudRate;
        BYTE dataBits;
        int parity;
        BYTE stopBits;
        bool parityChecked;
    };
    const Case cases[] = {
        {38400, 8, NOPARITY, ONESTOPBIT, false},
        {9600, 7, EVENPARITY, TWOSTOPBITS, true},
        {19200, 7, ODDPARITY, ONESTOPBIT, true},
        {38400, 8, NOPARITY, ONESTOPBIT, false},  // back again: the bit is cleared, not only set
    };
    Port port;
    Open(port);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baudRate << " baud, parity " << c.parity);
        EXPECT_EQ(port.Configure(c.baudRate, c.dataBits, c.parity, c.stopBits), kSuccess);
        const DCB dcb = State(port.Handle());
        EXPECT_EQ(dcb.BaudRate, c.baudRate);
        EXPECT_EQ(dcb.StopBits, c.stopBits);
        EXPECT_EQ(port.QueryBaudRate(), static_cast<int>(c.baudRate));
        EXPECT_EQ(port.QueryStopBits(), c.stopBits);
    }

    WINE_DIFFERS("on a pseudo-terminal the line keeps 8 data bits and no parity");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baudRate << " baud, parity " << c.parity);
        EXPECT_EQ(port.Configure(c.baudRate, c.dataBits, c.parity, c.stopBits), kSuccess);
        const DCB dcb = State(port.Handle());
        EXPECT_EQ(dcb.ByteSize, c.dataBits);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.fParity != 0, c.parityChecked);
        EXPECT_EQ(port.QueryDataBits(), c.dataBits);
        EXPECT_EQ(port.QueryParity(), c.parity);
    }
}

TEST_F(LineSetupTest, ConfigureKeepsTheRestOfTheState) {
    Port port;
    Open(port);
    ASSERT_EQ(port.SetFlowControl(CSerial::FlowSoftware), kSuccess);
    const DCB before = State(port.Handle());
    ASSERT_EQ(port.Configure(38400, 8, NOPARITY, ONESTOPBIT), kSuccess);
    const DCB after = State(port.Handle());
    EXPECT_EQ(port.QueryFlowControl(), CSerial::FlowSoftware);
    EXPECT_EQ(after.fOutX, before.fOutX);
    EXPECT_EQ(after.fInX, before.fInX);
    EXPECT_EQ(after.XonChar, before.XonChar);
    EXPECT_EQ(after.XoffChar, before.XoffChar);
    EXPECT_EQ(after.fDtrControl, before.fDtrControl);
    EXPECT_EQ(after.fRtsControl, before.fRtsControl);
    ASSERT_EQ(port.SetFlowControl(CSerial::FlowNone), kSuccess);
}

TEST_F(LineSetupTest, EachFlowControlModeIsSetAndReadBack) {
    struct Case {
        CSerial::FlowControl mode;
        DWORD cts, dsr, dtr, outX, inX, rts;
    };
    // Each mode is left again, so that a flag that is set but never cleared shows.
    const Case cases[] = {
        {CSerial::FlowSoftware, 0, 0, DTR_CONTROL_DISABLE, 1, 1, RTS_CONTROL_DISABLE},
        {CSerial::FlowNone, 0, 0, DTR_CONTROL_DISABLE, 0, 0, RTS_CONTROL_DISABLE},
        {CSerial::FlowHardware, 1, 1, DTR_CONTROL_HANDSHAKE, 0, 0, RTS_CONTROL_HANDSHAKE},
        {CSerial::FlowNone, 0, 0, DTR_CONTROL_DISABLE, 0, 0, RTS_CONTROL_DISABLE},
    };
    Port port;
    Open(port);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        EXPECT_EQ(port.SetFlowControl(c.mode), kSuccess);
        const DCB dcb = State(port.Handle());
        EXPECT_EQ(dcb.fOutX, c.outX);
        EXPECT_EQ(dcb.fInX, c.inX);
        if (c.mode != CSerial::FlowHardware) {
            EXPECT_EQ(port.QueryFlowControl(), c.mode);
        }
    }

    WINE_DIFFERS("a pseudo-terminal keeps neither the DTR and RTS settings nor the handshake");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        EXPECT_EQ(port.SetFlowControl(c.mode), kSuccess);
        const DCB dcb = State(port.Handle());
        EXPECT_EQ(port.QueryFlowControl(), c.mode);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.cts);
        EXPECT_EQ(dcb.fOutxDsrFlow, c.dsr);
        EXPECT_EQ(dcb.fDtrControl, c.dtr);
        EXPECT_EQ(dcb.fRtsControl, c.rts);
    }
}

TEST_F(LineSetupTest, UnlistedModesAreRefusedAndChangeNothing) {
    Port port;
    Open(port);
    ASSERT_EQ(port.SetReadMode(CSerial::ReadWaitAll), kSuccess);
    ASSERT_EQ(port.SetFlowControl(CSerial::FlowSoftware), kSuccess);
    const COMMTIMEOUTS timeouts = Timeouts(port.Handle());
    const DCB dcb = State(port.Handle());

    EXPECT_EQ(port.SetReadMode(static_cast<CSerial::ReadMode>(2)), kInvalidArgument);
    EXPECT_EQ(port.LastError(), kInvalidArgument);
    EXPECT_EQ(port.SetFlowControl(static_cast<CSerial::FlowControl>(3)), kInvalidArgument);
    EXPECT_EQ(port.LastError(), kInvalidArgument);

    EXPECT_TRUE(SameTimeouts(Timeouts(port.Handle()), timeouts));
    const DCB after = State(port.Handle());
    EXPECT_EQ(std::memcmp(&after, &dcb, sizeof dcb), 0);
    EXPECT_EQ(port.QueryFlowControl(), CSerial::FlowSoftware);
    ASSERT_EQ(port.SetFlowControl(CSerial::FlowNone), kSuccess);
}

TEST_F(LineSetupTest, TheEventCharacterCanJoinTheMask) {
    Port port;
    Open(port);
    EXPECT_EQ(port.SetEventCharacter('\r', false), kSuccess);
    EXPECT_EQ(port.QueryEventMask(), kOpenEventMask);
    EXPECT_EQ(port.SetEventCharacter('\n', true), kSuccess);
    EXPECT_EQ(port.QueryEventMask(), kOpenEventMask | EV_RXFLAG);
    DWORD mask = 0;
    EXPECT_TRUE(GetCommMask(port.Handle(), &mask));
    EXPECT_EQ(mask, kOpenEventMask | EV_RXFLAG);
    WINE_DIFFERS("the event character reads back as 0");
    EXPECT_EQ(port.QueryEventCharacter(), '\n');
}

using TransferTest = SerialPortTest;

TEST_F(TransferTest, WhatIsWrittenComesBack) {
    Port port;
    Open(port);
    DWORD written = kStaleCount;
    EXPECT_EQ(port.WriteText("hello", &written, nullptr, kGenerousMs), kSuccess);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(port.WriteBytes("\0,", 2, nullptr, nullptr, kGenerousMs), kSuccess);
    EXPECT_EQ(port.WriteOneByte('!'), kSuccess);
    EXPECT_EQ(ReadExactly(port, 8), std::string("hello\0,!", 8));
}

TEST_F(TransferTest, ABlockingPortTakesOnlyBlockingCalls) {
    Port port;
    Open(port, false);
    ExpectRoundTrip(port, "blocking", false);

    // Two bytes waiting, which a read that went ahead would take.
    ASSERT_EQ(port.WriteText("ok", nullptr, nullptr, INFINITE), kSuccess);
    AwaitWaiting(port, 2);

    struct Case {
        const char* what;
        std::function<int(DWORD*)> call;
        bool counts;  // takes an out count, which must come back 0
    };
    char buffer[2] = {};
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    const std::vector<Case> cases = {
        {"read with a time-out",
         [&](DWORD* n) { return port.ReadBytes(buffer, 2, n, nullptr, kShortMs); }, true},
        {"read with a record",
         [&](DWORD* n) { return port.ReadBytes(buffer, 2, n, &overlapped, INFINITE); }, true},
        {"write with a time-out",
         [&](DWORD* n) { return port.WriteBytes("XX", 2, n, nullptr, kShortMs); }, true},
        {"write with a record",
         [&](DWORD* n) { return port.WriteBytes("XX", 2, n, &overlapped, INFINITE); }, true},
        {"one byte, which always has a time-out", [&](DWORD*) { return port.WriteOneByte('X'); },
         false},
        {"event wait with a time-out", [&](DWORD*) { return port.WaitForEvent(nullptr, 0); },
         false},
        {"event wait with a record",
         [&](DWORD*) { return port.WaitForEvent(&overlapped, INFINITE); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD count = kStaleCount;
        EXPECT_EQ(c.call(&count), kInvalidFunction);
        EXPECT_EQ(port.LastError(), kInvalidFunction);
        if (c.counts) {
            EXPECT_EQ(count, 0u);
        }
    }
    // Nothing was read, and nothing written: only the two bytes come in.
    EXPECT_EQ(ReadExactly(port, 2, false), "ok");
    Sleep(kShortMs);
    EXPECT_EQ(port.BytesWaiting(), 0u);
}

// A read or event wait on the own record that runs out: 1460, once the cancelled operation has
// ended, so that it neither writes into the call's record later nor takes the next bytes.
TEST_F(TransferTest, AnOwnWaitThatRunsOutCancelsAndWaitsForTheEnd) {
    struct Case {
        const char* what;
        std::function<int(Port&, DWORD*)> call;
        bool eventWait;
    };
    char buffer[4] = {};
    const std::vector<Case> cases = {
        {"read waiting for all",
         [&](Port& p, DWORD* n) {
             EXPECT_EQ(p.SetReadMode(CSerial::ReadWaitAll), kSuccess);
             return p.ReadBytes(buffer, sizeof buffer, n, nullptr, kShortMs);
         },
         false},
        {"event wait",
         [](Port& p, DWORD*) {
             EXPECT_EQ(p.SetEventMask(kRxChar), kSuccess);
             return p.WaitForEvent(nullptr, kShortMs);
         },
         true},
    };
    Port port;
    Open(port);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.eventWait) {
            WINE_DIFFERS(kNoEventWaits);
        }
        DWORD count = kStaleCount;
        const DWORD start = GetTickCount();
        EXPECT_EQ(c.call(port, &count), kTimedOut);
        EXPECT_GE(GetTickCount() - start, kShortMs - 20);
        EXPECT_EQ(port.LastError(), kTimedOut);
        if (!c.eventWait) {
            EXPECT_EQ(count, 0u);
        }
        // The cancelled operation has ended: it set the record's event.
        EXPECT_EQ(WaitForSingleObject(port.IoEvent(), 0), kWaitObject0);
        ExpectRoundTrip(port, "next");
    }
}

TEST_F(TransferTest, ATimedOutReadKeepsWhatItRead) {
    Port port;
    Open(port);
    ASSERT_EQ(port.WriteText("abc", nullptr, nullptr, kGenerousMs), kSuccess);
    AwaitWaiting(port, 3);
    ASSERT_EQ(port.SetReadMode(CSerial::ReadWaitAll), kSuccess);

    char buffer[8] = {};
    DWORD got = kStaleCount;
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer, &got, nullptr, kShortMs), kTimedOut);
    EXPECT_EQ(std::string(buffer, got <= sizeof buffer ? got : 0), "abc");
    ExpectRoundTrip(port, "defg");
}

TEST_F(TransferTest, AnEventWaitReportsTheMaskedEventOnce) {
    Port port;
    Open(port);
    ASSERT_EQ(port.SetEventMask(kRxChar), kSuccess);
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(overlapped.hEvent, nullptr);

    // On the caller's record the wait returns at once; the bits land when it completes.
    ASSERT_EQ(port.WaitForEvent(&overlapped, 0), kSuccess);
    DWORD unused = 0;
    if (WaitForSingleObject(overlapped.hEvent, kShortMs) == kWaitObject0) {
        GetOverlappedResult(port.Handle(), &overlapped, &unused, TRUE);
        CloseHandle(overlapped.hEvent);
        WINE_DIFFERS(kNoEventWaits);
        FAIL() << "the wait ended before any event";
    }
    ASSERT_EQ(port.WriteOneByte('e'), kSuccess);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, kGenerousMs), kWaitObject0);
    EXPECT_TRUE(GetOverlappedResult(port.Handle(), &overlapped, &unused, TRUE));
    EXPECT_EQ(port.TakeEvent(), kRxChar);
    EXPECT_EQ(port.TakeEvent(), 0u);
    EXPECT_EQ(ReadExactly(port, 1), "e");
    CloseHandle(overlapped.hEvent);
}

TEST_F(TransferTest, AWriteOnTheCallersRecordReturnsWhilePending) {
    Port port;
    Open(port);
    // More than the line takes at once, so the write goes pending.
    const std::string data(1 << 20, 'w');
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(overlapped.hEvent, nullptr);

    DWORD written = kStaleCount;
    const DWORD start = GetTickCount();
    // The time-out does not apply to the caller's record.
    EXPECT_EQ(
        port.WriteBytes(data.data(), static_cast<DWORD>(data.size()), &written, &overlapped, 1),
        kSuccess);
    const bool pending = !GetOverlappedResult(port.Handle(), &overlapped, &written, FALSE) &&
                         GetLastError() == kIoIncomplete;
    EXPECT_TRUE(pending) << "the write was meant to go pending";
    EXPECT_LT(GetTickCount() - start, kGenerousMs);

    // The caller completes it; then all of it comes back.
    EXPECT_TRUE(GetOverlappedResult(port.Handle(), &overlapped, &written, TRUE));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(ReadExactly(port, static_cast<DWORD>(data.size())), data);
    CloseHandle(overlapped.hEvent);
}

TEST_F(TransferTest, BytesWaitingCountsTheInputQueue) {
    Port port;
    Open(port);
    EXPECT_EQ(port.BytesWaiting(), 0u);
    ASSERT_EQ(port.WriteText("four", nullptr, nullptr, kGenerousMs), kSuccess);
    AwaitWaiting(port, 4);
    EXPECT_EQ(port.PurgeBuffers(), kSuccess);
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(port.LastError(), kSuccess);
}

// Operations that call other operations call them through the virtual table.
TEST_F(SerialPortTest, CompositeOperationsCallThroughTheVirtualTable) {
    RecordingPort port;
    ASSERT_EQ(port.OpenPort(name_.c_str(), 0, 0, true), kSuccess);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"SetEventMask 193", "SetReadMode 0"}));

    port.calls.clear();
    EXPECT_EQ(port.SetEventCharacter('\n', true), kSuccess);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"QueryEventMask", "SetEventMask 195"}));

    port.calls.clear();
    const char* text = "text";
    DWORD written = 0;
    EXPECT_EQ(port.WriteText(text, &written, nullptr, 777), kSuccess);
    EXPECT_EQ(port.calls, std::vector<std::string>{"WriteBytes"});
    EXPECT_EQ(port.writtenFrom, text);
    EXPECT_EQ(port.writtenCount, 4u);
    EXPECT_EQ(port.writtenOut, &written);
    EXPECT_EQ(port.writtenTimeout, 777u);

    port.calls.clear();
    EXPECT_EQ(port.WriteOneByte('!'), kSuccess);
    EXPECT_EQ(port.calls, std::vector<std::string>{"WriteBytes"});
    EXPECT_EQ(port.writtenCount, 1u);
    EXPECT_NE(port.writtenOut, nullptr);
    EXPECT_EQ(port.writtenRecord, nullptr);
    EXPECT_EQ(port.writtenTimeout, 1000u);
    EXPECT_EQ(ReadExactly(port, 5), "text!");

    port.calls.clear();
    EXPECT_EQ(port.ClosePort(), kSuccess);
    EXPECT_EQ(port.calls, std::vector<std::string>{"ClosePort"});
}

TEST_F(SerialPortTest, ProbePortTellsFreeAbsentAndInUse) {
    EXPECT_EQ(ProbePort(name_.c_str()), 0);
    EXPECT_EQ(ProbePort("COM199"), 1);
    Port port;
    Open(port);
    const int inUse = ProbePort(name_.c_str());
    port.ClosePort();
    WINE_DIFFERS("a port in use opens a second time");
    EXPECT_EQ(inUse, 2);
}

}  // namespace
