// The SetupAPI subset that ZEL uses: finding the device interfaces of a class, for POSIX hosts.
//
// The driver includes <setupapi.h> in both builds: the mingw build gets the real header, the
// native build gets this one, whose calls enumerate the virtual HID devices of zel_compat/hid.h.
#pragma once

#if defined(_WIN32)
#error "compat/include must not be on the include path of a Windows build"
#endif

extern "C++" {
#include <windows.h>

#include <cstdint>
}

// A device information set: an opaque key, valid until SetupDiDestroyDeviceInfoList.
using HDEVINFO = PVOID;

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define DIGCF_INTERFACEDEVICE DIGCF_DEVICEINTERFACE

#define SPINT_ACTIVE 0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

// Packed as Windows' own header packs it for a build of this pointer size: to 1 byte in a 32-bit
// build (sizeof 5), to 8 in a 64-bit one (sizeof 8, as the layer's native builds are). Callers
// set cbSize to that sizeof, and the calls accept nothing else.
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
#pragma pack(pop)
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                        const GUID* interfaceClassGuid, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A deviceInterfaceDetailData,
    DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

}  // extern "C"
