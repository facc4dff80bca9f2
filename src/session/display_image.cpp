// The handlers of the host's cell writes and clears; worker thread only.
#include "driver/driver.h"

// Until a link to a display exists no display is ever open, so every write arrives while its link
// is unavailable and is dropped before the image is touched, as it is whenever a link is closed.
void CBrailleSampleDriver::WriteMainCells(const std::uint8_t* /*cells*/, std::uint32_t /*count*/) {}
void CBrailleSampleDriver::WriteAllCells(const std::uint8_t* /*cells*/, std::uint32_t /*count*/) {}
void CBrailleSampleDriver::ClearCells() {}
