// The library's entry point, its one export and the driver object itself.
#include "driver/driver.h"

// Built by the static initialiser when the library loads, torn down when it unloads.
CBrailleSampleDriver g_driver;

// The module's instance handle, recorded at process attach; the key window's class and window
// are registered and created with it.
HINSTANCE g_moduleInstance = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) g_moduleInstance = instance;
    return TRUE;
}

extern "C" IBrailleDriver** __cdecl GetBrailleInterface(IBrailleDriver** driver) {
    if (driver != nullptr) *driver = &g_driver;
    return driver;
}
