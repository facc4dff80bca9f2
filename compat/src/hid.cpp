// Virtual HID devices: the test seam of zel_compat/hid.h, file handles open on them and the HID
// class calls (HidD_*, HidP_GetCaps).
#include <hidsdi.h>
#include <zel_compat/hid.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "files.h"
#include "hid_devices.h"

namespace zelcompat::detail {

// Each open of a device keeps at most this many input reports and drops the oldest beyond.
constexpr std::size_t kMaxQueuedReports = 32;

class HidFile final : public OpenFile {
  public:
    HidFile(std::shared_ptr<HidDevice> device, DWORD access, bool overlapped)
        : OpenFile(access, overlapped),
          device_(std::move(device)),
          generation_(device_->generation) {
        device_->files.push_back(this);
    }

    const HidDevice& Device() const { return *device_; }

    // True while the device has stayed plugged in since the open. Call with the mutex held.
    bool Alive() const {
        return !device_->removed && device_->plugged && generation_ == device_->generation;
    }

    BOOL Read(const std::shared_ptr<KernelObject>& self, BYTE* buffer, DWORD length,
              LPDWORD bytesRead, LPOVERLAPPED overlapped) override;
    BOOL Write(const std::shared_ptr<KernelObject>& self, const BYTE* buffer, DWORD length,
               LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;
    void Closed(State&) override {
        --device_->openHandles;
        auto& files = device_->files;
        files.erase(std::remove(files.begin(), files.end(), this), files.end());
    }
    HidFile* AsHid() override { return this; }

    // Input reports that arrived for this open and have not been read. As on Windows, every open
    // of a device gets its own copy of each report that arrives while it is open.
    std::deque<std::vector<std::uint8_t>> input;

  private:
    // Calls the firmware, without the mutex, if the open is still alive; returns false without
    // calling it otherwise. RemoveHidDevice waits for calls in progress.
    template <class Call>
    bool CallFirmware(DWORD thread, Call call);

    std::shared_ptr<HidDevice> device_;
    unsigned generation_;
};

namespace {

// The registered device with this id, or null. Call with the mutex held.
std::shared_ptr<HidDevice> FindDevice(State& state, HidDeviceId id) {
    auto found = state.hidDevices.find(id);
    return found == state.hidDevices.end() ? nullptr : found->second;
}

// What a device's handles lose when it is unplugged or removed: queued reports, and pending reads,
// which complete with ERROR_DEVICE_NOT_CONNECTED. Call with the mutex held.
void LoseDevice(State& state, HidDevice& device) {
    for (HidFile* file : device.files) file->input.clear();
    const auto& files = device.files;
    AbortPendingIo(
        state,
        [&files](const PendingIo& io) {
            return std::find(files.begin(), files.end(), io.device) != files.end();
        },
        kStatusDeviceNotConnected);
    NotifyAll(state);
}

}  // namespace

template <class Call>
bool HidFile::CallFirmware(DWORD thread, Call call) {
    State& state = GlobalState();
    VirtualHidFirmware* firmware;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (!Alive()) {
            return false;
        }
        firmware = device_->firmware;
        device_->firmwareCallers.push_back(thread);
    }
    if (firmware != nullptr) {
        call(*firmware);
    }
    std::lock_guard<std::mutex> guard(state.mutex);
    auto& callers = device_->firmwareCallers;
    callers.erase(std::find(callers.begin(), callers.end(), thread));
    NotifyAll(state);
    return true;
}

BOOL HidFile::Write(const std::shared_ptr<KernelObject>& self, const BYTE* buffer, DWORD length,
                    LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
    DWORD thread = CurrentThread().id;
    State& state = GlobalState();
    std::shared_ptr<KernelObject> event;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (!Alive()) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        // The HID class driver takes exactly one report of the declared length per write: a
        // shorter buffer is refused, a longer one gives its first report's length.
        if (length < device_->identity.outputReportByteLength) {
            SetLastError(length == 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        length = device_->identity.outputReportByteLength;
        if (!FindCompletionEvent(state, overlapped, &event)) {
            return FALSE;
        }
    }
    if (!CallFirmware(thread, [&](VirtualHidFirmware& firmware) {
            firmware.OnOutputReport(buffer, length);
        })) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state.mutex);
    FinishIo(state, *self, overlapped, event.get(), kStatusSuccess, length);
    if (bytesWritten != nullptr) {
        *bytesWritten = length;
    }
    return TRUE;
}

BOOL HidFile::Read(const std::shared_ptr<KernelObject>& self, BYTE* buffer, DWORD length,
                   LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    DWORD thread = CurrentThread().id;
    State& state = GlobalState();
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (!Alive()) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        // A read takes one whole report: a buffer too short for it is refused.
        if (length < device_->identity.inputReportByteLength) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
    }
    // Before the queue is looked at, so that a device can push what has become due.
    if (!CallFirmware(thread, [](VirtualHidFirmware& firmware) { firmware.OnReadIssued(); })) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    Lock lock(state.mutex);
    if (!Alive()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    std::shared_ptr<KernelObject> event;
    if (!FindCompletionEvent(state, overlapped, &event)) {
        return FALSE;
    }
    // A queued report means no read is pending on this open: a push completes those first.
    if (!input.empty()) {
        std::vector<std::uint8_t> report = std::move(input.front());
        input.pop_front();
        DWORD bytes = std::min<DWORD>(static_cast<DWORD>(report.size()), length);
        std::memcpy(buffer, report.data(), bytes);
        FinishIo(state, *self, overlapped, event.get(), kStatusSuccess, bytes);
        if (bytesRead != nullptr) {
            *bytesRead = bytes;
        }
        return TRUE;
    }
    auto io = AddPendingIo(state, self, this, thread, buffer, length, overlapped, std::move(event));
    if (Overlapped()) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return WaitForBlockingIo(lock, *io, bytesRead);
}

HidFile* FindLiveHidFile(State& state, HANDLE handle) {
    auto object = FindObject(state, handle);
    if (!object || object->kind != KernelObject::Kind::kFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HidFile* hid = object->file->AsHid();
    if (hid == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (!hid->Alive()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    // The table keeps the object alive for as long as the caller holds the mutex.
    return hid;
}

std::shared_ptr<OpenFile> OpenHidPath(State& state, const std::string& key, DWORD access,
                                      bool overlapped, DWORD* error) {
    for (const auto& entry : state.hidDevices) {
        const auto& device = entry.second;
        if (device->key != key) {
            continue;
        }
        if (!device->plugged) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        ++device->opens;
        ++device->openHandles;
        return std::make_shared<HidFile>(device, access, overlapped);
    }
    return nullptr;
}

}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;

void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid != nullptr) {
        *hidGuid = zelcompat::detail::kHidInterfaceGuid;
    }
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto* hid = zelcompat::detail::FindLiveHidFile(state, hidDeviceObject);
    if (hid == nullptr) {
        return FALSE;
    }
    if (attributes == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto& identity = hid->Device().identity;
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = identity.vendorId;
    attributes->ProductID = identity.productId;
    attributes->VersionNumber = identity.versionNumber;
    return TRUE;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE hidDeviceObject, PHIDP_PREPARSED_DATA* preparsedData) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto* hid = zelcompat::detail::FindLiveHidFile(state, hidDeviceObject);
    if (hid == nullptr) {
        return FALSE;
    }
    if (preparsedData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto& identity = hid->Device().identity;
    auto data = std::make_shared<zelcompat::detail::PreparsedData>();
    data->inputReportByteLength = identity.inputReportByteLength;
    data->outputReportByteLength = identity.outputReportByteLength;
    std::uintptr_t key = zelcompat::detail::NextOpaqueKey(state);
    state.preparsedData.emplace(key, std::move(data));
    *preparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(key);
    return TRUE;
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.preparsedData.erase(reinterpret_cast<std::uintptr_t>(preparsedData)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto found = state.preparsedData.find(reinterpret_cast<std::uintptr_t>(preparsedData));
    if (found == state.preparsedData.end()) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    std::memset(capabilities, 0, sizeof(*capabilities));
    capabilities->InputReportByteLength = found->second->inputReportByteLength;
    capabilities->OutputReportByteLength = found->second->outputReportByteLength;
    return HIDP_STATUS_SUCCESS;
}

namespace zelcompat {

HidDeviceId AddHidDevice(const VirtualHidIdentity& identity, VirtualHidFirmware* firmware) {
    auto device = std::make_shared<detail::HidDevice>();
    device->identity = identity;
    device->firmware = firmware;
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    device->id = state.nextHidDevice++;
    char path[128];
    std::snprintf(path, sizeof(path),
                  "\\\\?\\hid#vid_%04x&pid_%04x#zel%d#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  static_cast<unsigned>(identity.vendorId),
                  static_cast<unsigned>(identity.productId), device->id);
    device->path = path;
    device->key = path;  // Already lower case.
    state.hidDevices.emplace(device->id, device);
    detail::NotifyAll(state);
    return device->id;
}

void RemoveHidDevice(HidDeviceId id) {
    DWORD self = detail::CurrentThread().id;
    auto& state = detail::GlobalState();
    detail::Lock lock(state.mutex);
    auto device = detail::FindDevice(state, id);
    if (!device) {
        return;
    }
    state.hidDevices.erase(id);
    device->removed = true;
    detail::LoseDevice(state, *device);
    // Calls into the firmware that other threads started before the removal finish first;
    // one that this thread is in (a firmware removing itself) cannot be waited for.
    auto othersCalling = [&] {
        const auto& callers = device->firmwareCallers;
        return std::any_of(callers.begin(), callers.end(),
                           [self](DWORD caller) { return caller != self; });
    };
    while (othersCalling()) {
        detail::WaitForChange(lock, INFINITE);
    }
}

void UnplugHidDevice(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    if (!device || !device->plugged) {
        return;
    }
    device->plugged = false;
    ++device->generation;
    detail::LoseDevice(state, *device);
}

void PlugHidDevice(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    if (device) {
        device->plugged = true;
        detail::NotifyAll(state);
    }
}

void PushHidInputReport(HidDeviceId id, const std::uint8_t* report, std::size_t length) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    if (!device || !device->plugged) {
        return;
    }
    // Every live open gets the report: a read pending on it completes, or it is queued there.
    for (detail::HidFile* file : device->files) {
        if (!file->Alive()) {
            continue;
        }
        if (auto io = detail::OldestPendingIo(state, file)) {
            DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(length, io->length));
            std::memcpy(io->buffer, report, bytes);
            detail::CompletePendingIo(state, *io, detail::kStatusSuccess, bytes);
            continue;
        }
        file->input.emplace_back(report, report + length);
        if (file->input.size() > detail::kMaxQueuedReports) {
            file->input.pop_front();
        }
    }
    detail::NotifyAll(state);
}

std::string HidDevicePath(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    return device ? device->path : std::string();
}

std::size_t HidOpenCount(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    return device ? device->opens : 0;
}

std::size_t HidOpenHandleCount(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    return device ? device->openHandles : 0;
}

std::size_t HidQueuedInputReports(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    std::size_t queued = 0;
    if (device) {
        for (const detail::HidFile* file : device->files) queued += file->input.size();
    }
    return queued;
}

bool HidReadPending(HidDeviceId id) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto device = detail::FindDevice(state, id);
    if (!device) {
        return false;
    }
    return std::any_of(device->files.begin(), device->files.end(), [&state](detail::HidFile* file) {
        return detail::OldestPendingIo(state, file) != nullptr;
    });
}

std::size_t LiveDeviceInfoSetCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.deviceInfoSets.size();
}

std::size_t LivePreparsedDataCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.preparsedData.size();
}

}  // namespace zelcompat
