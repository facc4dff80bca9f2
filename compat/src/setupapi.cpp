// SetupAPI's device interface enumeration, over the virtual HID devices.
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "hid_devices.h"

namespace zelcompat::detail {
namespace {

// The set behind an HDEVINFO, or null with ERROR_INVALID_HANDLE set. Call with the mutex held.
DeviceInfoSet* FindSet(State& state, HDEVINFO set) {
    auto found = state.deviceInfoSets.find(reinterpret_cast<std::uintptr_t>(set));
    if (found == state.deviceInfoSets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return found->second.get();
}

// Whether a set made with these arguments holds the HID devices (whose interfaces are then
// enumerated): an interface set of the HID interface class or of all classes, or a device set
// of the HID setup class or of all classes.
bool HoldsHidDevices(const GUID* classGuid, DWORD flags) {
    if ((flags & DIGCF_ALLCLASSES) != 0) {
        return true;
    }
    const GUID& wanted = (flags & DIGCF_DEVICEINTERFACE) != 0 ? kHidInterfaceGuid : kHidClassGuid;
    return SameGuid(*classGuid, wanted);
}

}  // namespace
}  // namespace zelcompat::detail

using zelcompat::detail::DeviceInfoSet;
using zelcompat::detail::GlobalState;

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    // Filtering by enumerator is not supported: every virtual device hangs off the same one.
    if ((classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) || enumerator != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (zelcompat::detail::HoldsHidDevices(classGuid, flags)) {
        // A snapshot: later plugs, unplugs and removals do not change it.
        bool presentOnly = (flags & DIGCF_PRESENT) != 0;
        for (const auto& entry : state.hidDevices) {
            const auto& device = *entry.second;
            if (device.plugged || !presentOnly) {
                set->interfaces.push_back(
                    {state.nextInterfaceSerial++, device.id, device.path, device.plugged});
            }
        }
    }
    std::uintptr_t key = zelcompat::detail::NextOpaqueKey(state);
    state.deviceInfoSets.emplace(key, std::move(set));
    return reinterpret_cast<HDEVINFO>(key);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                        const GUID* interfaceClassGuid, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    DeviceInfoSet* set = zelcompat::detail::FindSet(state, deviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    // Restricting the enumeration to one device is not supported.
    if (deviceInfoData != nullptr || interfaceClassGuid == nullptr ||
        deviceInterfaceData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!zelcompat::detail::SameGuid(*interfaceClassGuid, zelcompat::detail::kHidInterfaceGuid) ||
        memberIndex >= set->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const auto& found = set->interfaces[memberIndex];
    deviceInterfaceData->InterfaceClassGuid = zelcompat::detail::kHidInterfaceGuid;
    deviceInterfaceData->Flags = found.present ? SPINT_ACTIVE : 0;
    deviceInterfaceData->Reserved = found.serial;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A deviceInterfaceDetailData,
    DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    DeviceInfoSet* set = zelcompat::detail::FindSet(state, deviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    if (deviceInterfaceData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Every structure of the wrong size, and a size without a buffer, is refused.
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (deviceInterfaceDetailData != nullptr &&
         deviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) ||
        (deviceInterfaceDetailData == nullptr && deviceInterfaceDetailDataSize != 0) ||
        (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const DeviceInfoSet::Interface* found = nullptr;
    for (const auto& entry : set->interfaces) {
        if (entry.serial == deviceInterfaceData->Reserved) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    DWORD needed = static_cast<DWORD>(kPathOffset + found->path.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (deviceInterfaceDetailDataSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // Through the byte address: the path runs past the declared one-character array.
    std::memcpy(reinterpret_cast<char*>(deviceInterfaceDetailData) + kPathOffset,
                found->path.c_str(), found->path.size() + 1);
    if (deviceInfoData != nullptr) {
        deviceInfoData->ClassGuid = zelcompat::detail::kHidClassGuid;
        deviceInfoData->DevInst = static_cast<DWORD>(found->device);
        deviceInfoData->Reserved = 0;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.deviceInfoSets.erase(reinterpret_cast<std::uintptr_t>(deviceInfoSet)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
