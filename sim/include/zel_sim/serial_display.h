// The simulated display's serial side: the firmware of a display on a serial line, served on the
// master side of a pseudo-terminal whose slave a COM port points at.
//
// It acknowledges every good frame, answers the identification request with its cell count and
// two identification bytes, shows the cells of display frames, and sends function-key,
// routing-key, character and scan-code messages. Knobs make it misbehave: no identification
// reply, acknowledgements dropped, delayed or held, silence, garbage and bad checksums.
//
// Everything here is written from the display's side of the wire and shares no code with the
// driver. Thread-safe: a thread of its own serves the line while a test presses keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelsim {

constexpr std::size_t kSerialCells = 42;
using SerialCells = std::array<std::uint8_t, kSerialCells>;

struct SerialDisplayOptions {
    // Byte 0 of the identification reply: the number of main cells.
    std::uint8_t textCells = 40;
    // Bytes 4 and 5 of the identification reply.
    std::uint8_t deviceId1 = 0x12;
    std::uint8_t deviceId2 = 0x34;
    bool answerIdentify = true;
};

// One frame seen on the line, in either direction.
struct SerialWireFrame {
    bool fromDriver;  // false: sent by the display
    std::uint8_t type;
    std::vector<std::uint8_t> payload;
};

class SerialDisplay {
  public:
    // Opens a pseudo-terminal (raw, both sides) and starts serving its master side.
    explicit SerialDisplay(const SerialDisplayOptions& options = {});
    // Stops serving and closes the pseudo-terminal.
    ~SerialDisplay();
    SerialDisplay(const SerialDisplay&) = delete;
    SerialDisplay& operator=(const SerialDisplay&) = delete;

    // The slave side's path (/dev/pts/N): what a COM port entry links to.
    std::string SlavePath() const;

    // ---- Knobs ----
    void SetAnswerIdentify(bool answer);
    void SetCellCount(std::uint8_t textCells);
    void DropNextAcks(int frames);
    void SetDropAllAcks(bool drop);
    // Each acknowledgement leaves only once `milliseconds` of GetTickCount have passed since its
    // frame arrived. 0: at once.
    void SetAckDelay(std::uint32_t milliseconds);
    void SetHoldAcks(bool hold);
    void ReleaseHeldAcks();
    // Silent: reads and shows nothing, answers nothing, as a display switched off.
    void SetSilent(bool silent);

    // ---- What the display sends (each one frame, unless said otherwise) ----
    void PressFunction(std::uint8_t code);
    void PressRouting(std::uint8_t code);
    void TypeCharacter(std::uint16_t code);
    void SendScanCode(std::uint16_t code);
    // Any frame, with a correct checksum, or with the checksum off by one.
    void SendFrame(std::uint8_t type, const std::vector<std::uint8_t>& payload);
    void SendBadChecksumFrame(std::uint8_t type, const std::vector<std::uint8_t>& payload);
    // Raw bytes, no framing.
    void SendBytes(const std::vector<std::uint8_t>& bytes);

    // ---- What it shows and what it saw ----
    // The 42 cells of the last display frame, decoded to the host's dot order (bit i = dot i+1).
    SerialCells ShownCells() const;
    SerialCells ShownDeviceCells() const;
    int DisplayFramesReceived() const;
    int IdentifyRequests() const;
    int IdentifyDonesReceived() const;
    int AcksReceived() const;
    int AcksSent() const;
    // Frames from the driver with a bad checksum or broken framing.
    int BadFramesReceived() const;
    // Every good frame in both directions, in line order.
    std::vector<SerialWireFrame> Wire() const;
    // Waits (real time, at most `timeoutMs`) until `condition` holds; true if it did.
    bool WaitUntil(const std::function<bool(const SerialDisplay&)>& condition,
                   int timeoutMs = 5000) const;
    // Cells as Unicode braille, 42 characters in UTF-8.
    std::string ShownBraille() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zelsim
