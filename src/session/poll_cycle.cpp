// The worker's 100 ms tick: the only place where the driver looks at the display unasked.
#include "driver/driver.h"

void CBrailleSampleDriver::Poll() {
    if (m_opening != 0) return;
    if (m_suspended != 0) return;
    // No link to a display exists in this build yet, so there is nothing to read or time out.
}
