// A shared library standing for a DLL, linked with zelwin32_dllmain, whose DllMain reports its
// calls to the conformance executable (native build only).
#ifndef _WIN32  // The native build alone compiles this file; Windows has no test seams.
#include <windows.h>

// Defined by the executable that loads this library.
extern "C" void ZelCompatRecordDllMain(HINSTANCE instance, DWORD reason, bool staticsAlive);

namespace {

// A static object of the library: DllMain must run after its construction and before its
// destruction, as a DLL's DllMain runs inside its C runtime's lifetime.
struct Statics {
    bool alive = true;
    ~Statics() { alive = false; }
};
Statics g_statics;

}  // namespace

// Lets the test find the library's load address.
extern "C" {
int ZelCompatModuleMarker = 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    ZelCompatRecordDllMain(instance, reason, g_statics.alive);
    return TRUE;
}

#endif  // _WIN32
