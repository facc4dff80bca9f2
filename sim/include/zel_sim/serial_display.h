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
    // The line's rate in baud (10 bits a byte: 8N1). Non-zero paces both directions as a real
    // line would: a byte from the driver is taken in only once its wire time has passed after the
    // one before it, and the display's own bytes leave one wire time apart. 0 (the default):
    // bytes move as fast as the pseudo-terminal takes them.
    std::uint32_t lineRate = 0;
};

// The line's rate of the display's serial connection: 38400 baud.
constexpr std::uint32_t kLineRate = 38400;

// The clock of the line times below: nanoseconds of CLOCK_MONOTONIC_RAW, the clock that Wine's
// QueryPerformanceCounter reads (in 100 ns units), so that a Windows program under Wine can set
// its own times against the display's.
std::int64_t LineClockNs();

// One frame seen on the line, in either direction.
struct SerialWireFrame {
    bool fromDriver;  // false: sent by the display
    std::uint8_t type;
    std::vector<std::uint8_t> payload;
    // Line times (LineClockNs). From the driver: when the first byte began to arrive, and when
    // the last one had been taken in. From the display: when the frame was decided, and when its
    // last byte had left (0 until then). On an unpaced line a byte's wire time is nil.
    std::int64_t startNs = 0;
    std::int64_t endNs = 0;
};

// Cells in the host's dot order (bit i = dot i+1) as Unicode braille (U+2800 + dots), in UTF-8.
std::string BrailleText(const std::uint8_t* cells, std::size_t count);

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
    // Byte 0 of later identification replies.
    void SetCellCount(std::uint8_t textCells);
    // Drops the acknowledgements of the next `frames` good frames (the frames still take effect).
    void DropNextAcks(int frames);
    void SetDropAllAcks(bool drop);
    // Each acknowledgement leaves only once `milliseconds` of GetTickCount have passed since its
    // frame arrived. 0: at once.
    void SetAckDelay(std::uint32_t milliseconds);
    // While holding, acknowledgements are kept back until ReleaseHeldAcks sends them all; holding
    // stays on after a release, and turning it off releases the held ones too. A released
    // acknowledgement still waits out its delay. Acknowledgements and identification replies leave
    // in the order of the frames they answer, so one kept back keeps back those after it; the
    // display's own messages (keys, SendFrame, SendBytes) do not wait for them.
    void SetHoldAcks(bool hold);
    void ReleaseHeldAcks();
    // Silent: reads and shows nothing, answers nothing, as a display switched off. Going silent
    // forgets a frame being received and every answer not sent yet; messages asked for while
    // silent are not sent.
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
    // All zero before the first frame. Only a display frame of exactly 42 cells is shown; one of
    // another length is a good frame (acknowledged, on the wire) that changes nothing.
    SerialCells ShownCells() const;
    // Every line the display has shown, oldest first, in the host's dot order.
    std::vector<SerialCells> ShownLines() const;
    // The lines from the `first`th on (none when there are no more), for a watcher that takes
    // them as they come.
    std::vector<SerialCells> ShownLinesFrom(std::size_t first) const;
    // The same cells as the display holds them (device dot order).
    SerialCells ShownDeviceCells() const;
    // Display frames shown.
    int DisplayFramesReceived() const;
    int IdentifyRequests() const;
    int IdentifyDonesReceived() const;
    int AcksReceived() const;
    int AcksSent() const;
    // Frames from the driver with a bad checksum or broken framing (a byte other than 02 after
    // the 01, or other than 03 after the length). The byte that broke a frame is consumed: it
    // does not start another.
    int BadFramesReceived() const;
    // Bytes from the driver in all (those a silent display discarded too), and those that
    // arrived outside any frame while the display waited for an 01.
    int BytesReceived() const;
    int StrayBytesReceived() const;
    // Answers decided but not sent yet (delayed or held acknowledgements, and identification
    // replies queued behind them).
    int PendingAnswers() const;
    // Every good frame in both directions, in line order.
    std::vector<SerialWireFrame> Wire() const;
    // The frames from the `first`th on.
    std::vector<SerialWireFrame> WireFrom(std::size_t first) const;
    // Waits (real time, at most `timeoutMs`) until every byte written to the slave side before the
    // call has been taken in (and, on a paced line, its wire time has passed), so that what the
    // display shows and counts includes them, and the answers due by then are written; true if
    // that happened in time. For a check that looks at the display once the other side is done.
    bool WaitTakenIn(int timeoutMs = 10000) const;
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
