// The virtual HID devices of zel_compat/hid.h, as the layer's HID class and SetupAPI calls see
// them. Everything here is guarded by the State's mutex.
#pragma once

#include <windows.h>
#include <zel_compat/hid.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "state.h"

namespace zelcompat::detail {

// The HID device interface class, as HidD_GetHidGuid reports it.
constexpr GUID kHidInterfaceGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// The HID device setup class, which SP_DEVINFO_DATA::ClassGuid names.
constexpr GUID kHidClassGuid = {
    0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

inline bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

class HidFile;

struct HidDevice {
    HidDeviceId id;
    VirtualHidIdentity identity;
    VirtualHidFirmware* firmware;
    std::string path;  // As SetupDiGetDeviceInterfaceDetailA reports it.
    std::string key;   // Lower-cased: CreateFileA matches paths case-insensitively.
    bool plugged = true;
    bool removed = false;
    // Counts unplugs; a handle opened in an earlier generation stays dead after a replug.
    unsigned generation = 0;
    std::size_t opens = 0;
    std::size_t openHandles = 0;
    // The device's open handles (each keeps its own input reports); closed ones leave the list.
    std::vector<HidFile*> files;
    // Threads in a call of the firmware now; RemoveHidDevice waits until they have returned.
    std::vector<DWORD> firmwareCallers;
};

// A snapshot of SetupDiGetClassDevsA.
struct DeviceInfoSet {
    struct Interface {
        ULONG_PTR serial;  // Stored in SP_DEVICE_INTERFACE_DATA::Reserved to find it again.
        HidDeviceId device;
        std::string path;
        bool present;
    };
    std::vector<Interface> interfaces;
};

// What HidD_GetPreparsedData hands out: the capabilities HidP_GetCaps reports, kept apart from
// the device, so that they outlive its handle as a copy does on Windows.
struct PreparsedData {
    USHORT inputReportByteLength;
    USHORT outputReportByteLength;
};

// A fresh opaque value for a device information set or preparsed data. Call with the mutex held.
inline std::uintptr_t NextOpaqueKey(State& state) {
    std::uintptr_t key = state.nextOpaqueKey;
    state.nextOpaqueKey += 8;
    return key;
}

}  // namespace zelcompat::detail
