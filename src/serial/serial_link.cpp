// The serial half of an open: the port, the display's identification, and the dispatch of the
// messages the display sends. Worker thread only.
#include <cstdlib>
#include <cstring>
#include <new>

#include "driver/driver.h"
#include "serial/serial_port.h"

namespace {

constexpr DWORD kBaudRate = 38400;
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint8_t kStopBitsOne = 0;  // ONESTOPBIT
constexpr int kNoParity = 0;              // NOPARITY

// The identification's budget in nominal milliseconds: each pass counts 2, whatever it took; the
// request goes out again at every quarter.
constexpr int kIdentifyBudget = 2000;
constexpr int kPassMs = 2;
constexpr std::uint8_t kIdentifyDone[1] = {0x00};
constexpr std::uint8_t kStatusCellsSerial = 2;
// The image holds 2 status cells and 40 main cells.
constexpr std::uint8_t kMaxTextCells = 40;

// Payload bytes each received type reads; a shorter message is ignored.
std::uint8_t BytesRead(std::uint8_t type) {
    switch (type) {
        case MsgFunctionKey:
        case MsgRoutingKey:
            return 1;
        case MsgCharacter:
        case MsgScanCode:
            return 2;
        case MsgIdentifyReply:
            return 6;
        default:
            return 0;
    }
}

// The number after the first "COM" in `name`, as strtol reads it; 0 without "COM".
std::int32_t PortNumberOf(const char* name) {
    const char* com = std::strstr(name, "COM");
    if (com == nullptr) return 0;
    return static_cast<std::int32_t>(std::strtol(com + 3, nullptr, 10));
}

}  // namespace

int CBrailleSampleDriver::OpenSerialPort() {
    if (m_serial != nullptr) return 0;
    m_serial = new (std::nothrow) CSerial();
    if (m_serial == nullptr) return 0;
    if (m_serial->OpenPort(m_portName, 0, 0, true) != 0) {
        delete m_serial;
        m_serial = nullptr;
        return 0;
    }
    m_serial->Configure(kBaudRate, kDataBits, kNoParity, kStopBitsOne);
    // A new port starts a new conversation: nothing received or sent on an earlier port is
    // still in flight.
    m_parser = FrameParser{};
    m_awaitingAck = 0;
    m_deferredPending = 0;
    return 1;
}

int CBrailleSampleDriver::IdentifySerialDevice() {
    if (m_serial == nullptr) return 0;
    m_portNumber = PortNumberOf(m_portName);
    SendFrame(MsgIdentify, 0, nullptr);
    m_deviceIdentified = 0;

    int resendMark = kIdentifyBudget / 4;
    for (int elapsed = 0; elapsed < kIdentifyBudget; elapsed += kPassMs) {
        std::uint8_t byte = 0;
        if (ReadArrivedBytes(&byte, 1) == 1) FeedByte(byte);
        if (m_deviceIdentified != 0) {
            SendFrame(MsgIdentifyDone, sizeof kIdentifyDone, kIdentifyDone);
            return 1;
        }
        if (elapsed >= resendMark) {
            SendFrame(MsgIdentify, 0, nullptr);
            resendMark += kIdentifyBudget / 4;
        }
        BusyWait(kPassMs);
    }
    return 0;
}

void CBrailleSampleDriver::AwaitSerialAck() {
    // The wait is bounded by the tick count itself, from the moment the frame went out. Counting
    // passes would not bound it: a pass lasts until the tick count moves, a whole step of the
    // system's timer (15 or 16 ms on Windows), however short the spin it asks for. Keys that
    // arrive meanwhile are handled as in a tick (and their acknowledgements do not move the
    // start).
    const DWORD sent = m_lastSendTick;
    while (m_awaitingAck != 0 && GetTickCount() - sent <= kSerialAckTimeoutMs) {
        std::uint8_t received[32];
        const std::uint32_t count = ReadArrivedBytes(received, sizeof received);
        for (std::uint32_t i = 0; i < count; ++i) FeedByte(received[i]);
        if (m_awaitingAck == 0) return;
        BusyWait(kPassMs);
    }
}

std::uint32_t CBrailleSampleDriver::ReadArrivedBytes(std::uint8_t* buffer, std::uint32_t size) {
    // Only what has arrived is asked for, so the read completes at once on every system (Wine
    // keeps a "return what has arrived" read pending on a quiet line).
    const std::uint32_t waiting = m_serial->BytesWaiting();
    if (waiting == 0) return 0;
    DWORD received = 0;
    m_serial->ReadBytes(buffer, waiting < size ? waiting : size, &received, nullptr, INFINITE);
    return received <= size ? received : 0;
}

void CBrailleSampleDriver::HandleSerialMessage(std::uint8_t type, std::uint8_t length,
                                               const std::uint8_t* payload) {
    // A message shorter than what its type reads would take the rest from an earlier frame.
    if (length < BytesRead(type)) return;
    switch (type) {
        case MsgFunctionKey:
            HandleFunctionKey(payload[0]);
            break;
        case MsgRoutingKey:
            HandleSerialRoutingKey(payload[0]);
            break;
        case MsgCharacter:
            InjectCharacter(static_cast<std::uint16_t>(payload[0] + 256 * payload[1]));
            break;
        case MsgScanCode:
            InjectScanCode(static_cast<std::uint16_t>(payload[0] + 256 * payload[1]));
            break;
        case MsgIdentifyReply:
            // Every reply is taken in. A display of more main cells than the image holds is used
            // for as many as it holds; one of none fails the open attempt (transport.cpp).
            m_textCells = payload[0] < kMaxTextCells ? payload[0] : kMaxTextCells;
            m_statusCells = kStatusCellsSerial;
            m_deviceId1 = payload[4];
            m_deviceId2 = payload[5];
            m_deviceIdentified = 1;
            break;
        default:
            break;
    }
}
