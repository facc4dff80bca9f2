// Test seam: virtual HID devices.
//
// A test or the display simulator registers a device here; from then on the layer's SetupAPI and
// HID class calls enumerate it among the present HID interfaces, CreateFileA opens it by its
// device path, WriteFile hands each output report to the device, and ReadFile takes input reports
// that the device pushed. Only tests, the simulator and tools include this header; the driver
// never does.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelcompat {

// What a device says about itself: the HIDD_ATTRIBUTES numbers and the report lengths of its
// HIDP_CAPS (each length counts the report ID byte).
struct VirtualHidIdentity {
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT versionNumber = 0;
    USHORT inputReportByteLength = 9;
    USHORT outputReportByteLength = 9;
};

// The device's side: the firmware behind a virtual HID device.
class VirtualHidFirmware {
  public:
    virtual ~VirtualHidFirmware() = default;
    // One output report written by WriteFile on a handle of the device: exactly the bytes the
    // caller wrote (report ID first). Called on the writing thread, before WriteFile returns, and
    // without any lock of the layer held, so it may push input reports or call other layer
    // functions.
    virtual void OnOutputReport(const std::uint8_t* report, std::size_t length) = 0;
    // Called on the reading thread when ReadFile is issued on a handle of the device, before the
    // read looks at the input queue, without any lock of the layer held. A device that delivers
    // reports after a delay pushes here what has become due by GetTickCount.
    virtual void OnReadIssued() {}
};

using HidDeviceId = int;

// Registers a device, plugged in, after every device registered so far in enumeration order.
// `firmware` must outlive the registration; null makes a device that ignores output reports.
// Returns the device's id (never 0).
HidDeviceId AddHidDevice(const VirtualHidIdentity& identity, VirtualHidFirmware* firmware);

// Unregisters a device. Handles still open on it fail every later call except CloseHandle, and a
// read pending on it completes with ERROR_DEVICE_NOT_CONNECTED. The firmware is not called after
// this returns.
void RemoveHidDevice(HidDeviceId device);

// Unplugs a registered device: it leaves the enumeration, CreateFileA on its path fails with
// ERROR_FILE_NOT_FOUND, handles opened before fail every later call except CloseHandle (writes
// and reads with ERROR_DEVICE_NOT_CONNECTED; a pending read completes with that error), and its
// queued input reports are dropped.
void UnplugHidDevice(HidDeviceId device);

// Plugs an unplugged device in again, at its old place in the enumeration order and with the same
// device path. Handles from before the unplug stay dead; new opens work.
void PlugHidDevice(HidDeviceId device);

// Delivers one input report (report ID first) to every handle open on the device, as the HID
// class gives each open its own copy: a read pending on a handle completes with it at once (its
// event is set); otherwise it waits in that handle's buffer for the handle's next read. Reports
// longer than the reader's buffer are cut to the buffer; each handle keeps at most 32 reports and
// drops the oldest beyond. Dropped while no handle is open or the device is unplugged.
void PushHidInputReport(HidDeviceId device, const std::uint8_t* report, std::size_t length);

// The device's interface path, as SetupDiGetDeviceInterfaceDetailA reports it.
std::string HidDevicePath(HidDeviceId device);

// How many times CreateFileA has opened the device since it was registered, and how many of its
// handles are open now (dead ones from before an unplug included).
std::size_t HidOpenCount(HidDeviceId device);
std::size_t HidOpenHandleCount(HidDeviceId device);

// Input reports waiting in the buffers of the device's open handles, all handles together.
std::size_t HidQueuedInputReports(HidDeviceId device);

// True while a read is pending on one of the device's handles: an overlapped one, or a blocking
// one on a handle opened without FILE_FLAG_OVERLAPPED.
bool HidReadPending(HidDeviceId device);

// Device information sets of SetupDiGetClassDevsA not yet destroyed, and preparsed data of
// HidD_GetPreparsedData not yet freed, in the whole process. Neither is a kernel handle, so
// LiveHandleCount does not count them; these let a test prove that the driver releases them.
std::size_t LiveDeviceInfoSetCount();
std::size_t LivePreparsedDataCount();

}  // namespace zelcompat
