// The worker's 100 ms tick: the only place where the driver looks at the display unasked.
#include "driver/driver.h"

namespace {

// A USB frame unacknowledged for longer than this is taken as lost and the link is recovered.
constexpr DWORD kHidAckTimeoutMs = 1000;

}  // namespace

void CBrailleSampleDriver::Poll() {
    if (m_opening != 0) return;
    if (m_suspended != 0) return;
    if (m_useHid == 1) PollHid();
    // No serial link exists in this build, so without a USB display there is nothing to poll.
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
