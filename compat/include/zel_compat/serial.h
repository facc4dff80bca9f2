// Test seam: where the layer finds COM ports.
//
// CreateFileA("\\.\COMn") (or "COMn") opens, like Wine, the entry "comn" (lower case) of a devices
// folder: a symbolic link to a tty, a pty's slave for tests and the simulator. Without such an
// entry it falls back to /dev/ttyS(n-1). The folder is $ZEL_DOSDEVICES when that is set, else
// none (only the fallback applies) until SetDevicesFolder names one. Only tests, the simulator and
// tools include this header; the driver never does.
#pragma once

#include <cstddef>
#include <string>

namespace zelcompat {

// Makes `folder` the devices folder (an empty string: none). Affects later opens only.
void SetDevicesFolder(const std::string& folder);

// The devices folder in use ("" when none).
std::string DevicesFolder();

// Waits until the poller thread of every open port has caught up with the calls made on it and
// with the latest move of the manual clock, so that a read or wait that is still pending then is
// not merely late. Bytes still on their way through the tty are not waited for.
void SettleSerialPorts();

// The number of ports open through CreateFileA. Each has a poller thread, which CloseHandle
// joins before it returns.
std::size_t OpenSerialPortCount();

}  // namespace zelcompat
