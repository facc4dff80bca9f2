// Choosing, opening and releasing the display's transport; worker thread only.
#include <cstring>

#include "driver/driver.h"

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
    m_useHid = 0;
    if (!StorePortName(m_portName, name)) return 0;
    // No link to a display is available in this build yet: every attempt finds no display.
    CloseTransport();
    return 0;
}

void CBrailleSampleDriver::CloseTransport() {
    // Nothing can be open until a link exists; m_useHid, the cell counts and m_portName stay.
}
