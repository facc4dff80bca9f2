// How the Windows hosts under test reach the driver: zel.dll from the program's folder, and the
// object that its export hands out.
#pragma once

#include <windows.h>

#include "host_interface.h"

// Loads zel.dll into `*dll` and returns the driver object, or null when the library or its export
// cannot be found. The caller frees the library when it is done.
inline host::HostDriver* LoadZelDriver(HMODULE* dll) {
    *dll = LoadLibraryA("zel.dll");
    if (*dll == nullptr) return nullptr;
    auto getInterface = reinterpret_cast<GetInterfaceFunction>(
        reinterpret_cast<void*>(GetProcAddress(*dll, "GetBrailleInterface")));
    if (getInterface == nullptr) return nullptr;
    host::HostDriver* driver = nullptr;
    getInterface(&driver);
    return driver;
}
