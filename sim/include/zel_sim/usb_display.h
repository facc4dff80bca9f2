// The simulated display's USB side in the native build: the firmware (usb_firmware.h) behind one
// of the compatibility layer's virtual HID devices.
//
// The device is registered, plugged in, for the object's life; the layer hands it every output
// report a handle writes and tells it when a read is issued, which is when delayed
// acknowledgements become due.
#pragma once

#include <zel_compat/hid.h>
#include <zel_sim/usb_firmware.h>

#include <memory>

namespace zelsim {

class UsbDisplay : public UsbFirmware {
  public:
    // Registers the device with the compatibility layer, plugged in.
    explicit UsbDisplay(const UsbDisplayOptions& options = {});
    // Unregisters the device.
    ~UsbDisplay() override;

    zelcompat::HidDeviceId DeviceId() const;

  private:
    struct Device;
    std::unique_ptr<Device> m_device;
};

}  // namespace zelsim
