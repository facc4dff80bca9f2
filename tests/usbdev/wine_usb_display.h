// The simulated display's USB firmware behind a device of the test HID minidriver: the Windows
// counterpart of the native build's zelsim::UsbDisplay, with the same knobs, keys and counters.
#pragma once

#include <zel_sim/usb_firmware.h>

#include <string>

#include "bench.h"

namespace zelusb {

class WineUsbDisplay : public zelsim::UsbFirmware, private zelsim::UsbLink {
  public:
    // Creates the device on the bench, plugged in; Slot() is -1 if that failed (see the bench's
    // Error()).
    WineUsbDisplay(Bench& bench, const zelsim::UsbDisplayOptions& options = {});
    // Removes the device.
    ~WineUsbDisplay() override;

    int Slot() const { return m_slot; }
    std::string Path() const { return m_bench.Path(m_slot); }

  private:
    void SendInputReport(const std::uint8_t* report, std::size_t length) override;
    void Unplug() override;
    void Replug() override;

    Bench& m_bench;
    int m_slot = -1;
};

}  // namespace zelusb
