// The driver library natively: a shared library loaded with dlopen.
#include <dlfcn.h>

#include "driver_library.h"

bool DriverLibrary::Load(const std::string& path, std::string& error) {
    Unload();
    // RTLD_LOCAL: the driver's symbols stay its own, as a DLL's do. The layer it links
    // (libzelwin32.so) is the one this program links, so both share one set of threads, message
    // queues and windows.
    m_module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_module == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "dlopen failed";
        return false;
    }
    return true;
}

GetInterfaceFunction DriverLibrary::FindInterfaceExport() const {
    if (m_module == nullptr) return nullptr;
    return reinterpret_cast<GetInterfaceFunction>(dlsym(m_module, "GetBrailleInterface"));
}

void DriverLibrary::Unload() {
    if (m_module != nullptr) dlclose(m_module);
    m_module = nullptr;
}

const char* DefaultDriverLibrary() { return ZEL_HOST_DEFAULT_LIBRARY; }
