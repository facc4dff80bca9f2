// The platform's SetupAPI and HID class library declarations, in the order they need, and the
// HID class library's functions as the driver reaches them.
#pragma once

#include <windows.h>

#if defined(_WIN32)
// mingw-w64's HID headers declare their functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#else
#include <hidsdi.h>
#endif
#include <setupapi.h>

// The HID class library's functions that the driver calls, by their own names.
namespace hidlibrary {
using GetHidGuid = decltype(&::HidD_GetHidGuid);
using GetAttributes = decltype(&::HidD_GetAttributes);
using GetPreparsedData = decltype(&::HidD_GetPreparsedData);
using FreePreparsedData = decltype(&::HidD_FreePreparsedData);
using GetCaps = decltype(&::HidP_GetCaps);
}  // namespace hidlibrary
struct HidLibrary {
    hidlibrary::GetHidGuid HidD_GetHidGuid;
    hidlibrary::GetAttributes HidD_GetAttributes;
    hidlibrary::GetPreparsedData HidD_GetPreparsedData;
    hidlibrary::FreePreparsedData HidD_FreePreparsedData;
    hidlibrary::GetCaps HidP_GetCaps;
};

// The library, bound once; null when its functions cannot be had, and then there is no USB
// display to find. In the Windows build it is the system folder's hid.dll and never one found
// by the host's search order (hid_library.cpp). Worker thread only.
const HidLibrary* SystemHidLibrary();
