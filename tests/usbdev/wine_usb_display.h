// The simulated display's USB firmware behind a device of the test HID minidriver: the Windows
// counterpart of the native build's zelsim::UsbDisplay, with the same knobs, keys and counters.
#pragma once

#include <zel_sim/usb_firmware.h>

#include <string>

#include "bench.h"

namespace zelusb {

class WineUsbDisplay : public zelsim::UsbFirmware {
  public:
    // Creates the device on the bench, plugged in; Slot() is -1 if that failed (see the bench's
    // Error()).
    WineUsbDisplay(Bench& bench, const zelsim::UsbDisplayOptions& options = {});
    // Removes the device.
    ~WineUsbDisplay() override;

    int Slot() const { return m_slot; }
    std::string Path() const { return m_bench.Path(m_slot); }
    // Handles programs hold open on the device.
    int OpenHandles() const { return m_bench.OpenHandles(m_slot); }

  private:
    // The firmware's wire: input reports pushed into the device, unplugging as removing it.
    struct Link final : zelsim::UsbLink {
        WineUsbDisplay& display;
        explicit Link(WineUsbDisplay& d) : display(d) {}
        void SendInputReport(const std::uint8_t* report, std::size_t length) override;
        void Unplug() override;
        void Replug() override;
    };

    Bench& m_bench;
    Link m_link{*this};
    int m_slot = -1;
};

}  // namespace zelusb
