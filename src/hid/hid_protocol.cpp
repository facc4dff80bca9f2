// The meaning of the USB display's reports: the hello, the six-report display frame, the
// acknowledgement with its queue of held-back frames, and the key reports. Worker thread only.
#include <windows.h>

#include <cstring>

#include "driver/driver.h"

namespace {

constexpr std::uint8_t kHello[kReportDataSize] = {0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0};
constexpr int kHelloAttempts = 10;
constexpr std::uint16_t kHelloWaitMs = 50;

// A display frame is a 48-byte stream: this header, the 42 frame bytes and the trailer.
constexpr std::uint8_t kFrameHeader[3] = {0xFF, 0xAA, 0x55};
constexpr std::uint8_t kFrameTrailer[3] = {0x55, 0xAA, 0xFF};
constexpr std::size_t kFrameReports = 6;

// First data byte of an input report.
constexpr std::uint8_t kRoutingKeyReport = 0xFD;
constexpr std::uint8_t kFunctionKeyReport = 0xFE;
constexpr std::uint8_t kAckReport = 0xFF;

constexpr std::int32_t kQueueMask = kFrameQueueSlots - 1;

}  // namespace

void BusyWait(std::uint16_t milliseconds) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start <= milliseconds) {
    }
}

int CBrailleSampleDriver::Handshake() {
    WriteReport(kHello);
    for (int attempt = 0; attempt < kHelloAttempts; ++attempt) {
        std::uint8_t reply[kReportDataSize];
        if (ReadReport(reply) == 9 && std::memcmp(reply, kHello, 3) == 0) return 1;
        BusyWait(kHelloWaitMs);
    }
    return 0;
}

int CBrailleSampleDriver::SendDisplayFrame(const std::uint8_t* frame) {
    FrameQueue& queue = m_frameQueue;
    // A frame waits while an acknowledgement is awaited, and also while older frames still wait:
    // sent ahead of them, it would be overwritten on the display by the older content they carry.
    if (m_awaitingAck != 0 || queue.queueRead != queue.queueWrite) {
        const std::int32_t held = (queue.queueWrite - queue.queueRead) & kQueueMask;
        // Full at 7: the newest held frame gives way to this one, and the older six stay.
        if (held == kQueueMask) queue.queueWrite = (queue.queueWrite - 1) & kQueueMask;
        std::memcpy(queue.slots[queue.queueWrite], frame, kQueuedFrameCells);
        queue.queueWrite = (queue.queueWrite + 1) & kQueueMask;
        return 0;
    }
    return TransmitFrame(frame);
}

int CBrailleSampleDriver::TransmitFrame(const std::uint8_t* frame) {
    m_awaitingAck = 1;
    std::uint8_t stream[kFrameReports * kReportDataSize];
    std::memcpy(stream, kFrameHeader, sizeof kFrameHeader);
    std::memcpy(stream + sizeof kFrameHeader, frame, kImageCells);
    std::memcpy(stream + sizeof kFrameHeader + kImageCells, kFrameTrailer, sizeof kFrameTrailer);
    for (std::size_t report = 0; report + 1 < kFrameReports; ++report) {
        WriteReport(stream + report * kReportDataSize);
    }
    // The time-out runs from the moment the frame's last report goes out.
    m_lastSendTick = GetTickCount();
    return WriteReport(stream + (kFrameReports - 1) * kReportDataSize);
}

void CBrailleSampleDriver::SendQueuedFrame() {
    FrameQueue& queue = m_frameQueue;
    if (m_awaitingAck != 0 || queue.queueRead == queue.queueWrite) return;
    // The queue keeps the 40 cells of a USB session; the two image cells behind them carry none.
    std::uint8_t frame[kImageCells] = {};
    std::memcpy(frame, queue.slots[queue.queueRead], kQueuedFrameCells);
    queue.queueRead = (queue.queueRead + 1) & kQueueMask;
    TransmitFrame(frame);
}

void CBrailleSampleDriver::EmptyFrameQueue() {
    m_frameQueue.queueRead = 0;
    m_frameQueue.queueWrite = 0;
}

void CBrailleSampleDriver::HandleInputReport(const std::uint8_t* data) {
    switch (data[0]) {
        case kRoutingKeyReport:
            HandleHidRoutingKey(data[1]);
            break;
        case kFunctionKeyReport:
            HandleFunctionKey(data[1]);
            break;
        case kAckReport:
            // The next held-back frame leaves on a later tick.
            m_awaitingAck = 0;
            break;
        default:
            break;
    }
}
