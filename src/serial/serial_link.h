// The serial link's contract: the frame's layout, the parser's states, the message types, the
// records the driver object keeps for frames received, held back and last sent, and the link's
// timing. The driver object owns every instance; the code that reads and writes them is in this
// folder (serial_protocol.cpp, serial_link.cpp) and in the poll cycle.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A frame on the wire, either way: 01 02 type N 03, N payload bytes, then the 16-bit sum of the
// bytes from the 02 on (the 01 is not counted) XOR kSumMask, low byte first. N + 7 bytes in all.
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint16_t kSumMask = 0xAA55;
constexpr std::size_t kSerialFrameOverhead = 7;

// The serial frame parser's states, one per byte position of a frame.
enum ParserState : std::uint8_t {
    AwaitSoh = 0,
    AwaitStx = 1,
    AwaitType = 2,
    AwaitLength = 3,
    AwaitEtx = 4,
    ReadPayload = 5,
    AwaitSumLow = 6,
    AwaitSumHigh = 7,
};

// Types of the serial frames.
enum SerialMessageType : std::uint8_t {
    MsgDisplay = 0x00,
    MsgFunctionKey = 0x10,
    MsgRoutingKey = 0x11,
    MsgCharacter = 0x13,
    MsgScanCode = 0x14,
    MsgIdentify = 0x24,
    MsgIdentifyReply = 0x25,
    MsgIdentifyDone = 0x26,
    MsgAck = 0x7F,
};

struct FrameParser {
    std::uint8_t state = AwaitSoh;
    std::uint8_t remaining = 0;  // payload bytes still expected
    std::uint16_t sum = 0;       // checksum accumulated over the frame being received
    std::uint16_t receivedSum = 0;
    std::uint8_t payloadIndex = 0;
};

// m_serialTimeouts at this value marks a serial link given up after lost acknowledgements; nothing
// is sent on it until a port is opened again.
constexpr std::uint8_t kSerialLinkDown = 4;

// A serial display frame unacknowledged for longer than this is taken as lost.
constexpr DWORD kSerialAckTimeoutMs = 400;

// The serial records' capacity: a frame of up to 126 bytes, so a payload of up to 119.
constexpr std::size_t kSerialRecordSize = 126;

// The one display frame held back while an acknowledgement is awaited.
struct DeferredFrame {
    std::uint8_t command = 0;
    std::uint8_t length = 0;
    std::uint8_t payload[kSerialRecordSize] = {};
};

// A copy of the most recently built frame, exactly as written.
struct LastFrame {
    std::uint8_t frameLength = 0;
    std::uint8_t command = 0;
    std::uint8_t frame[kSerialRecordSize] = {};
};

// The received message, filled while a frame arrives and read when it completes.
struct ReceivedMessage {
    std::uint8_t type = 0;
    std::uint8_t length = 0;
    std::uint8_t payload[256] = {};
};
