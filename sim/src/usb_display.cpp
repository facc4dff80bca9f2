// The USB firmware behind one of the compatibility layer's virtual HID devices.
#include <zel_sim/usb_display.h>

namespace zelsim {

// Both directions of the wire: the layer calls in with what handles wrote and when they read; the
// firmware calls out with its input reports and its unplugging.
struct UsbDisplay::Device final : zelcompat::VirtualHidFirmware, UsbLink {
    UsbFirmware& firmware;
    zelcompat::HidDeviceId id = 0;

    explicit Device(UsbFirmware& f) : firmware(f) {}

    void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
        firmware.OnOutputReport(report, length);
    }
    void OnReadIssued() override { firmware.SendDueAcks(); }

    void SendInputReport(const std::uint8_t* report, std::size_t length) override {
        zelcompat::PushHidInputReport(id, report, length);
    }
    void Unplug() override { zelcompat::UnplugHidDevice(id); }
    void Replug() override { zelcompat::PlugHidDevice(id); }
};

UsbDisplay::UsbDisplay(const UsbDisplayOptions& options)
    : UsbFirmware(options), m_device(std::make_unique<Device>(*this)) {
    zelcompat::VirtualHidIdentity identity;
    identity.vendorId = options.vendorId;
    identity.productId = options.productId;
    identity.versionNumber = options.versionNumber;
    identity.inputReportByteLength = options.inputReportByteLength;
    identity.outputReportByteLength = options.outputReportByteLength;
    m_device->id = zelcompat::AddHidDevice(identity, m_device.get());
    Attach(m_device.get());
}

UsbDisplay::~UsbDisplay() {
    // The layer calls the firmware no more once the device is gone.
    zelcompat::RemoveHidDevice(m_device->id);
    Attach(nullptr);
}

zelcompat::HidDeviceId UsbDisplay::DeviceId() const { return m_device->id; }

}  // namespace zelsim
