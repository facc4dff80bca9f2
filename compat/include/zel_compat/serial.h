// Test seam: where the layer finds COM ports.
//
// CreateFileA("\\.\COMn") (or "COMn") opens, like Wine, the entry "comn" (lower case) of a devices
// folder: a symbolic link to a tty, a pty's slave for tests and the simulator. Without such an
// entry it falls back to /dev/ttyS(n-1). The folder is $ZEL_DOSDEVICES when that is set, else
// none (only the fallback applies) until SetDevicesFolder names one. Only tests, the simulator and
// tools include this header; the driver never does.
#pragma once

#include <string>

namespace zelcompat {

// Makes `folder` the devices folder (an empty string: none). Affects later opens only.
void SetDevicesFolder(const std::string& folder);

// The devices folder in use ("" when none).
std::string DevicesFolder();

}  // namespace zelcompat
