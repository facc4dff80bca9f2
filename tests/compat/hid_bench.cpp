#include "hid_bench.h"

namespace compat_test {

#ifdef _WIN32

zelusb::Bench& TestHidDevice::SharedBench() {
    static zelusb::Bench bench;
    return bench;
}

TestHidDevice::TestHidDevice(const HidIdentity& identity) {
    zelusb::DeviceIdentity id;
    id.vendorId = identity.vendorId;
    id.productId = identity.productId;
    id.versionNumber = identity.versionNumber;
    id.inputReportByteLength = identity.inputReportByteLength;
    id.outputReportByteLength = identity.outputReportByteLength;
    m_slot = SharedBench().Add(id);
}

TestHidDevice::~TestHidDevice() {
    if (m_slot >= 0) SharedBench().Release(m_slot);
}

bool TestHidDevice::Ok(std::string* why) const {
    if (m_slot >= 0) return true;
    *why = SharedBench().Error();
    return false;
}

std::string TestHidDevice::Path() const { return SharedBench().Path(m_slot); }

void TestHidDevice::Push(const std::vector<std::uint8_t>& report) {
    SharedBench().Push(m_slot, report.data(), report.size());
}

bool TestHidDevice::TakeOutput(std::vector<std::uint8_t>* report, DWORD timeoutMs) {
    return SharedBench().TakeOutput(m_slot, report, timeoutMs);
}

void TestHidDevice::Unplug() { SharedBench().Remove(m_slot); }

#else

TestHidDevice::TestHidDevice(const HidIdentity& identity) {
    zelcompat::VirtualHidIdentity id;
    id.vendorId = identity.vendorId;
    id.productId = identity.productId;
    id.versionNumber = identity.versionNumber;
    id.inputReportByteLength = identity.inputReportByteLength;
    id.outputReportByteLength = identity.outputReportByteLength;
    m_id = zelcompat::AddHidDevice(id, &m_recorder);
}

TestHidDevice::~TestHidDevice() { zelcompat::RemoveHidDevice(m_id); }

bool TestHidDevice::Ok(std::string*) const { return true; }

std::string TestHidDevice::Path() const { return zelcompat::HidDevicePath(m_id); }

void TestHidDevice::Push(const std::vector<std::uint8_t>& report) {
    zelcompat::PushHidInputReport(m_id, report.data(), report.size());
}

// Writes reach the firmware before WriteFile returns, so there is nothing to wait for.
bool TestHidDevice::TakeOutput(std::vector<std::uint8_t>* report, DWORD) {
    std::lock_guard<std::mutex> lock(m_recorder.mutex);
    if (m_recorder.outputs.empty()) return false;
    *report = std::move(m_recorder.outputs.front());
    m_recorder.outputs.pop_front();
    return true;
}

void TestHidDevice::Unplug() { zelcompat::UnplugHidDevice(m_id); }

#endif

}  // namespace compat_test
