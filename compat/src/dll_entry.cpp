// The loader's part for a shared library that stands for a DLL: DllMain(DLL_PROCESS_ATTACH) when
// the library is loaded, DllMain(DLL_PROCESS_DETACH) when it is unloaded or the process exits.
#include <windows.h>

#include <dlfcn.h>

// Provided by the library this archive is linked into, as a DLL provides its own.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Referenced by the linker option that zelwin32_dllmain gives its users, so that this object is
// taken from the archive although nothing in the library calls into it. Hidden, so that the
// library exports only what it means to.
extern "C" __attribute__((visibility("hidden"))) void ZelCompatDllEntry() {}

namespace {

// The library's load address, which Windows passes to DllMain as the module handle.
HINSTANCE ModuleBase() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ZelCompatDllEntry), &info) == 0) {
        return nullptr;
    }
    return static_cast<HINSTANCE>(info.dli_fbase);
}

// Its destructor calls DllMain(DLL_PROCESS_DETACH). Being constructed after the library's own
// static objects (this archive is linked after the library's object files), it is destroyed
// before them on dlclose and at exit, so that DllMain still sees them alive, as a DLL's DllMain
// runs before its C runtime tears them down.
struct ProcessAttachment {
    HINSTANCE instance;
    ~ProcessAttachment() { DllMain(instance, DLL_PROCESS_DETACH, nullptr); }
};

__attribute__((constructor)) void AttachProcess() {
    HINSTANCE instance = ModuleBase();
    // Windows would fail the load if DllMain returned FALSE; a constructor cannot fail dlopen,
    // so the result is ignored.
    DllMain(instance, DLL_PROCESS_ATTACH, nullptr);
    static ProcessAttachment attachment{instance};
}

}  // namespace
