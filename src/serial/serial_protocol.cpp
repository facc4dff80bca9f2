// The serial frame protocol: building and writing frames, holding back a display frame while the
// last one is unacknowledged, and taking the received byte stream one byte at a time. Worker
// thread only.
#include <cstring>

#include "driver/driver.h"
#include "serial/serial_port.h"

namespace {

constexpr DWORD kWriteTimeoutMs = 1000;

}  // namespace

void CBrailleSampleDriver::SendFrame(std::uint8_t command, std::uint8_t length,
                                     const std::uint8_t* payload) {
    if (m_serialTimeouts >= kSerialLinkDown) return;
    if (m_serial == nullptr || m_suspended != 0) return;
    // Longer frames than the records hold are refused rather than written past them.
    if (length + kSerialFrameOverhead > kSerialRecordSize) return;
    if (length != 0 && payload == nullptr) return;

    if (m_awaitingAck != 0 && command == MsgDisplay) {
        // Only the newest display frame waits; it replaces whatever waited before it.
        m_deferredFrame.command = command;
        m_deferredFrame.length = length;
        if (length != 0) std::memcpy(m_deferredFrame.payload, payload, length);
        m_deferredPending = 1;
        return;
    }

    LastFrame& frame = m_lastFrame;
    std::uint8_t* bytes = frame.frame;
    bytes[0] = kSoh;
    bytes[1] = kStx;
    bytes[2] = command;
    bytes[3] = length;
    bytes[4] = kEtx;
    std::uint16_t sum = static_cast<std::uint16_t>(kStx + command + length + kEtx);
    for (std::uint8_t i = 0; i < length; ++i) {
        bytes[5 + i] = payload[i];
        sum = static_cast<std::uint16_t>(sum + payload[i]);
    }
    sum ^= kSumMask;
    bytes[5 + length] = static_cast<std::uint8_t>(sum & 0xFF);
    bytes[6 + length] = static_cast<std::uint8_t>(sum >> 8);
    frame.frameLength = static_cast<std::uint8_t>(length + kSerialFrameOverhead);
    frame.command = command;

    // A failed or timed-out write counts as written: its missing acknowledgement shows it.
    DWORD written = 0;
    m_serial->WriteBytes(bytes, frame.frameLength, &written, nullptr, kWriteTimeoutMs);
    if (command == MsgDisplay) m_awaitingAck += 1;
    m_lastSendTick = GetTickCount();
}

void CBrailleSampleDriver::FeedByte(std::uint8_t byte) {
    FrameParser& parser = m_parser;
    switch (parser.state) {
        case AwaitSoh:
            if (byte == kSoh) parser.state = AwaitStx;
            break;
        case AwaitStx:
            // A byte that breaks the framing is consumed, also a second 0x01.
            if (byte == kStx) {
                parser.sum = kStx;
                parser.state = AwaitType;
            } else {
                parser.state = AwaitSoh;
            }
            break;
        case AwaitType:
            m_message.type = byte;
            parser.sum = static_cast<std::uint16_t>(parser.sum + byte);
            parser.state = AwaitLength;
            break;
        case AwaitLength:
            m_message.length = byte;
            parser.remaining = byte;
            parser.sum = static_cast<std::uint16_t>(parser.sum + byte);
            parser.payloadIndex = 0;
            parser.state = AwaitEtx;
            break;
        case AwaitEtx:
            if (byte == kEtx) {
                parser.sum = static_cast<std::uint16_t>(parser.sum + kEtx);
                parser.state = parser.remaining != 0 ? ReadPayload : AwaitSumLow;
            } else {
                parser.state = AwaitSoh;
            }
            break;
        case ReadPayload:
            parser.remaining -= 1;
            m_message.payload[parser.payloadIndex] = byte;
            parser.payloadIndex += 1;
            parser.sum = static_cast<std::uint16_t>(parser.sum + byte);
            if (parser.remaining == 0) parser.state = AwaitSumLow;
            break;
        case AwaitSumLow:
            parser.receivedSum = byte;
            parser.state = AwaitSumHigh;
            break;
        case AwaitSumHigh:
            parser.receivedSum = static_cast<std::uint16_t>(parser.receivedSum + byte * 256);
            parser.sum ^= kSumMask;
            parser.state = AwaitSoh;
            CheckFrame();
            break;
        default:
            parser.state = AwaitSoh;
            break;
    }
}

void CBrailleSampleDriver::CheckFrame() {
    // A bad frame is dropped without an answer.
    if (m_parser.sum != m_parser.receivedSum) return;
    if (m_message.type == MsgAck) {
        m_awaitingAck = 0;
        m_serialTimeouts = 0;
        return;
    }
    SendFrame(MsgAck, 0, nullptr);
    HandleSerialMessage(m_message.type, m_message.length, m_message.payload);
}
