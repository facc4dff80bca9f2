#include "wine_usb_display.h"

namespace zelusb {

WineUsbDisplay::WineUsbDisplay(Bench& bench, const zelsim::UsbDisplayOptions& options)
    : UsbFirmware(options), m_bench(bench) {
    Attach(&m_link);
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
    if (m_slot >= 0) m_bench.Release(m_slot);
    Attach(nullptr);
}

void WineUsbDisplay::Link::SendInputReport(const std::uint8_t* report, std::size_t length) {
    display.m_bench.Push(display.m_slot, report, length);
}

void WineUsbDisplay::Link::Unplug() { display.m_bench.Remove(display.m_slot); }

void WineUsbDisplay::Link::Replug() { display.m_bench.Readd(display.m_slot); }

}  // namespace zelusb
