// A HID device the conformance cases create, write to and read from: natively one of the
// layer's virtual devices, under Wine a device of the test HID minidriver (tests/usbdev) behind
// Wine's own HID class. Either way the cases see it only through SetupAPI, the HID class library
// and file calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include "bench.h"
#else
#include <zel_compat/hid.h>
#endif

namespace compat_test {

struct HidIdentity {
    USHORT vendorId = 0x04D8;
    USHORT productId = 0xABD7;
    USHORT versionNumber = 0xF100;
    USHORT inputReportByteLength = 9;
    USHORT outputReportByteLength = 9;
};

class TestHidDevice {
  public:
    explicit TestHidDevice(const HidIdentity& identity = {});
    ~TestHidDevice();
    TestHidDevice(const TestHidDevice&) = delete;
    TestHidDevice& operator=(const TestHidDevice&) = delete;

    // False (with a reason) if the device could not be made.
    bool Ok(std::string* why) const;
    std::string Path() const;
    // One input report (report ID first) to every handle open on the device.
    void Push(const std::vector<std::uint8_t>& report);
    // The next output report written to the device, waiting up to `timeoutMs`.
    bool TakeOutput(std::vector<std::uint8_t>* report, DWORD timeoutMs = 5000);
    // Takes the device away: it leaves the enumeration and its handles die.
    void Unplug();

  private:
#ifdef _WIN32
    static zelusb::Bench& SharedBench();
    int m_slot = -1;
#else
    struct Recorder : zelcompat::VirtualHidFirmware {
        std::mutex mutex;
        std::deque<std::vector<std::uint8_t> > outputs;
        void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
            std::lock_guard<std::mutex> lock(mutex);
            outputs.emplace_back(report, report + length);
        }
    };
    Recorder m_recorder;
    zelcompat::HidDeviceId m_id = 0;
#endif
};

}  // namespace compat_test
