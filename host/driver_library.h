// The driver library as the host loads it: zel.dll through LoadLibraryA on Windows, libzel.so
// through dlopen natively (whose DllMain the compatibility layer calls on load, as Windows does).
// One source file per platform implements it; the build picks the file.
#pragma once

#include <string>

#include "host_interface.h"

class DriverLibrary {
  public:
    DriverLibrary() = default;
    ~DriverLibrary() { Unload(); }
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads the library at `path`. False, with the system's reason in `error`, when it cannot.
    bool Load(const std::string& path, std::string& error);
    // The library's GetBrailleInterface export, or null when it has none.
    GetInterfaceFunction FindInterfaceExport() const;
    // Unloads the library (the host closes the driver first).
    void Unload();

  private:
    void* m_module = nullptr;
};

// The library loaded when none is named: the native build's libzel.so, or zel.dll beside the
// program on Windows.
const char* DefaultDriverLibrary();
