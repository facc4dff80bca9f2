// The worker's 100 ms tick: the only place where the driver looks at the display unasked.
#include "driver/driver.h"
#include "serial/serial_port.h"

namespace {

// A USB frame unacknowledged for longer than this is taken as lost and the link is recovered.
constexpr DWORD kHidAckTimeoutMs = 1000;
// The time-out that finds more than this many before it gives the serial link up.
constexpr std::uint8_t kSerialTimeoutsTolerated = 2;
// What a tick takes from the serial port at most.
constexpr std::uint32_t kSerialBytesPerTick = 80;

}  // namespace

void CBrailleSampleDriver::Poll() {
    // The shared control block comes first, even while suspended; while it holds the driver
    // paused, nothing else runs.
    if (ServiceSharedBlock() == 0) return;
    if (m_opening != 0) return;
    if (m_suspended != 0) return;
    if (m_useHid == 1) {
        PollHid();
    } else {
        PollSerial();
    }
}

void CBrailleSampleDriver::PollHid() {
    // A link closed by an unplugged display is looked for again on every tick. Found here, it is
    // used as it is: no hello, and the image is not resent.
    if (deviceHandle == nullptr && FindDisplay() == 0) return;

    // One report per tick. A tick that handles one leaves the time-out and the queue for later.
    std::uint8_t report[kReportDataSize];
    if (ReadReport(report) == 9) {
        HandleInputReport(report);
        return;
    }

    if (m_awaitingAck != 0 && GetTickCount() - m_lastSendTick > kHidAckTimeoutMs) {
        // The acknowledgement is lost: take the link down, forget what was in flight, find the
        // display again and put the current image back on it.
        CloseTransport();
        m_awaitingAck = 0;
        EmptyFrameQueue();
        if (FindDisplay() == 0) return;
        ResendImage();
        return;
    }

    SendQueuedFrame();
}

void CBrailleSampleDriver::PollSerial() {
    // A port opened again since the link was given up starts the count afresh.
    if (m_serialTimeouts == kSerialLinkDown && m_serial != nullptr) m_serialTimeouts = 0;
    if (m_serial == nullptr) return;

    std::uint8_t received[kSerialBytesPerTick];
    const std::uint32_t count = ReadArrivedBytes(received, sizeof received);
    for (std::uint32_t i = 0; i < count; ++i) FeedByte(received[i]);

    if (m_awaitingAck != 0 && GetTickCount() - m_lastSendTick > kSerialAckTimeoutMs) {
        if (m_serialTimeouts > kSerialTimeoutsTolerated) {
            // The fourth lost acknowledgement in a row: the display is gone.
            SuspendFromWorker();
            m_serialTimeouts += 1;
            m_awaitingAck = 0;
            return;
        }
        // The unacknowledged frame is dropped, not resent.
        m_serialTimeouts += 1;
        m_awaitingAck = 0;
    }

    if (m_awaitingAck == 0 && m_deferredPending != 0) {
        SendFrame(m_deferredFrame.command, m_deferredFrame.length, m_deferredFrame.payload);
        m_deferredPending = 0;
    }
}

void CBrailleSampleDriver::SuspendFromWorker() {
    // As Suspend(1) would, in its order, without posting to this thread's own queue. The key
    // window stays (it belongs to the host's thread); no key event is produced while suspended,
    // since every tick ends before the device is looked at.
    m_suspended = 1;
    CloseTransport();
}
