// The HID class subset that ZEL uses, for POSIX hosts.
//
// The driver includes <hidsdi.h> (which brings <hidpi.h>) in both builds: the mingw build gets
// the real headers, the native build these, whose calls work on the virtual HID devices of
// zel_compat/hid.h. mingw's hidsdi.h declares its calls without C linkage, so the driver wraps
// the include in extern "C"; these headers declare them with C linkage themselves, so the
// wrapper changes nothing here.
#pragma once

#if defined(_WIN32)
#error "compat/include must not be on the include path of a Windows build"
#endif

extern "C++" {
#include <windows.h>

#include <hidpi.h>
}

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
using PHIDD_ATTRIBUTES = HIDD_ATTRIBUTES*;

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN NTAPI HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes);
BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE hidDeviceObject, PHIDP_PREPARSED_DATA* preparsedData);
BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData);

}  // extern "C"
