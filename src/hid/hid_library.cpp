// The HID class library, from the system folder only.
//
// hid.dll is not one of the DLLs that Windows maps from its own folder whatever the search order
// says. Imported the ordinary way, it would be looked for first in the folder of the screen
// reader that loads the driver, and a hid.dll put there would run inside a process that every
// keystroke passes through. So the Windows build imports nothing from it: the first look for the
// USB display loads it from the system folder and takes its few functions.
#include "hid/hid_api.h"

namespace {

#if defined(_WIN32)
// Only the Windows build has a loader that searches folders; the compatibility layer of the
// native build is linked in, so there the functions are its own (the #else below).
template <class Function>
bool Take(HMODULE module, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *function != nullptr;
}

HMODULE LoadFromSystemFolder() {
    HMODULE module = LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr) return module;
    // A system that does not know the flag refuses it: the full path says the same there.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    constexpr wchar_t kName[] = L"\\hid.dll";
    if (length == 0 || length + sizeof kName / sizeof kName[0] > MAX_PATH) return nullptr;
    for (UINT i = 0; i < sizeof kName / sizeof kName[0]; ++i) path[length + i] = kName[i];
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HidLibrary g_library;
bool g_tried = false;
bool g_bound = false;

}  // namespace

const HidLibrary* SystemHidLibrary() {
    if (!g_tried) {
        g_tried = true;
        // Kept for the process's life: the driver may look for the display again at any tick.
        const HMODULE module = LoadFromSystemFolder();
        g_bound = module != nullptr &&
                  Take(module, "HidD_GetHidGuid", &g_library.HidD_GetHidGuid) &&
                  Take(module, "HidD_GetAttributes", &g_library.HidD_GetAttributes) &&
                  Take(module, "HidD_GetPreparsedData", &g_library.HidD_GetPreparsedData) &&
                  Take(module, "HidD_FreePreparsedData", &g_library.HidD_FreePreparsedData) &&
                  Take(module, "HidP_GetCaps", &g_library.HidP_GetCaps);
    }
    return g_bound ? &g_library : nullptr;
}

#else

const HidLibrary kLibrary = {&HidD_GetHidGuid, &HidD_GetAttributes, &HidD_GetPreparsedData,
                             &HidD_FreePreparsedData, &HidP_GetCaps};

}  // namespace

const HidLibrary* SystemHidLibrary() { return &kLibrary; }

#endif
