// Choosing, opening and releasing the display's transport; worker thread only.
#include <cstring>

#include "driver/driver.h"
#include "serial/serial_port.h"

namespace {

// Copies `name` into the port-name field, uppercased. Copying the field onto itself leaves it as it
// is. A name that does not fit is refused rather than cut into another port's name.
bool StorePortName(char (&field)[kPortNameSize], const char* name) {
    if (name == nullptr) name = "";  // the host gave an empty name: no payload was posted
    const std::size_t length = ::strnlen(name, kPortNameSize);
    if (length >= kPortNameSize) return false;
    if (name != field) std::memcpy(field, name, length + 1);
    for (std::size_t i = 0; i < length; ++i) {
        if (field[i] >= 'a' && field[i] <= 'z') field[i] = static_cast<char>(field[i] - 'a' + 'A');
    }
    return true;
}

}  // namespace

int CBrailleSampleDriver::OpenTransport(const char* name) {
    // A resume while the display is still open (a host that resumes without having suspended)
    // would otherwise forget the open handles and open the display a second time.
    CloseTransport();
    m_useHid = 0;
    if (!StorePortName(m_portName, name)) return 0;
    // A serial link given up after its fourth time-out in a row would send nothing ever again,
    // not even the identification; an attempt to open starts the count afresh.
    if (m_serialTimeouts >= kSerialLinkDown) m_serialTimeouts = 0;

    if (FindDisplay() != 0) {
        m_opening = 1;
        const int answered = Handshake();
        m_opening = 0;
        if (answered != 0) {
            m_useHid = 1;
            m_textCells = 40;
            m_statusCells = 0;
            // A new session has nothing in flight: an acknowledgement awaited from before a close
            // will never come, and frames held back then belong to the old session.
            m_awaitingAck = 0;
            EmptyFrameQueue();
            return 1;
        }
        // A USB display that does not answer fails the attempt; the serial port is not tried.
        CloseHidHandles();
        CloseTransport();
        return 0;
    }

    // No USB display: the serial port the host named.
    if (OpenSerialPort() == 0) {
        CloseTransport();
        return 0;
    }
    m_opening = 1;
    const int identified = IdentifySerialDevice();
    m_opening = 0;
    // A display that reports no text cells has answered, but cannot be written to: the attempt
    // fails and the port is released at once.
    if (identified == 0 || m_textCells <= 0) {
        CloseTransport();
        return 0;
    }
    return 1;
}

bool CBrailleSampleDriver::TransportIsOpen() const {
    return m_useHid == 1 ? deviceHandle != nullptr : m_serial != nullptr;
}

void CBrailleSampleDriver::CloseTransport() {
    // m_useHid, the cell counts and m_portName stay: the poll cycle's recovery relies on m_useHid.
    if (m_useHid == 1) {
        CloseHidHandles();
    } else if (m_serial != nullptr) {
        m_serial->ClosePort();
        delete m_serial;
        m_serial = nullptr;
    }
}

void CBrailleSampleDriver::CloseHidHandles() {
    if (deviceHandle != nullptr) CloseHandle(deviceHandle);
    if (readHandle != nullptr) CloseHandle(readHandle);
    deviceHandle = nullptr;
    readHandle = nullptr;
}
