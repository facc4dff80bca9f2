#include "wine_usb_display.h"

namespace zelusb {

WineUsbDisplay::WineUsbDisplay(Bench& bench, const zelsim::UsbDisplayOptions& options)
    : UsbFirmware(options), m_bench(bench) {
    Attach(this);
    DeviceIdentity identity;
    identity.vendorId = options.vendorId;
    identity.productId = options.productId;
    identity.versionNumber = options.versionNumber;
    identity.inputReportByteLength = options.inputReportByteLength;
    identity.outputReportByteLength = options.outputReportByteLength;
    m_slot = bench.Add(identity, [this](const std::uint8_t* report, std::size_t length) {
        OnOutputReport(report, length);
    });
}

WineUsbDisplay::~WineUsbDisplay() {
    if (m_slot >= 0) m_bench.Remove(m_slot);
    Attach(nullptr);
}

void WineUsbDisplay::SendInputReport(const std::uint8_t* report, std::size_t length) {
    m_bench.Push(m_slot, report, length);
}

void WineUsbDisplay::Unplug() { m_bench.Remove(m_slot); }

void WineUsbDisplay::Replug() { m_bench.Readd(m_slot); }

}  // namespace zelusb
