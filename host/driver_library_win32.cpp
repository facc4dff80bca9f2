// The driver library on Windows: a DLL loaded with LoadLibraryA.
#include <windows.h>

#include <cstdio>

#include "driver_library.h"

bool DriverLibrary::Load(const std::string& path, std::string& error) {
    Unload();
    // A DLL named without a folder is looked for beside the program first, as a host's is.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "LoadLibraryA failed with error %lu", GetLastError());
        error = text;
        return false;
    }
    m_module = reinterpret_cast<void*>(module);
    return true;
}

GetInterfaceFunction DriverLibrary::FindInterfaceExport() const {
    if (m_module == nullptr) return nullptr;
    return reinterpret_cast<GetInterfaceFunction>(reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(m_module), "GetBrailleInterface")));
}

void DriverLibrary::Unload() {
    if (m_module != nullptr) FreeLibrary(static_cast<HMODULE>(m_module));
    m_module = nullptr;
}

const char* DefaultDriverLibrary() { return "zel.dll"; }
