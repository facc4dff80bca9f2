// The driver binds Windows' own hid.dll even where another hid.dll waits in the host's folder and
// in its current folder (both planted there by the test, tests/wine/planted_hid.c). Opens the
// display over USB (run by zel-usb-sim) or over the serial port (run by zel-serial-sim-run),
// writes a line and closes, then looks at what the process has loaded:
//
//   planted_dll_check usb|serial
//
// This program imports nothing from hid.dll itself, so the driver's binding alone decides which
// one is loaded. Exit status 0 when the planted DLL was never loaded and the system's was.
#include <windows.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zel_driver.h"

namespace {

int g_failures = 0;

void Fail(const std::string& what) {
    std::printf("FAILED: %s\n", what.c_str());
    ++g_failures;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Folder(std::string path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Runs this thread's messages (the driver's keys come through them) for `ms` milliseconds.
void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    } while (GetTickCount() - start < ms);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "usb" && mode != "serial") {
        std::printf("usage: planted_dll_check usb|serial\n");
        return 2;
    }
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    const std::string planted[] = {Lower(Folder(program) + "\\hid.dll"),
                                   Lower(std::string(current) + "\\hid.dll")};
    for (const std::string& path : planted) {
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            Fail("no planted hid.dll at " + path + ": the check would prove nothing");
    }

    HMODULE dll = nullptr;
    host::HostDriver* driver = LoadZelDriver(&dll);
    if (driver == nullptr) {
        Fail("zel.dll or its export is missing");
        return 1;
    }
    host::HostSink sink;
    // Over USB the port has nothing behind it: the USB display is found first.
    const char* port = mode == "usb" ? "COM199" : std::getenv("ZEL_PTY_COM");
    if (port == nullptr) {
        Fail("run through zel-serial-sim-run");
        return 1;
    }
    if (driver->Open(port, &sink, "", "") != 1) Fail("Open over " + mode + " failed");
    const unsigned char cells[40] = {0x53, 0x11, 0x07, 0x07, 0x15};
    if (driver->WriteMain(cells, 40) != 1) Fail("WriteMain refused");
    Pump(300);
    driver->Close();

    // The planted DLL announces itself while it is loaded.
    const HANDLE announced = OpenEventA(SYNCHRONIZE, FALSE, "zel_planted_hid_loaded");
    if (announced != nullptr) {
        Fail("the planted hid.dll was loaded");
        CloseHandle(announced);
    }
    // And no module of the process comes from a planted path, while hid.dll comes from the
    // system folder (the 32-bit one on 64-bit Windows is SysWOW64).
    char system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    GetSystemWow64DirectoryA(wow64, MAX_PATH);
    std::string hidPath;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        Fail("cannot list the process's modules");
    } else {
        MODULEENTRY32 module;
        module.dwSize = sizeof module;
        for (BOOL more = Module32First(snapshot, &module); more;
             more = Module32Next(snapshot, &module)) {
            const std::string path = Lower(module.szExePath);
            for (const std::string& bad : planted)
                if (path == bad) Fail("a module was loaded from " + path);
            if (Lower(module.szModule) == "hid.dll") hidPath = path;
        }
        CloseHandle(snapshot);
    }
    const std::string systemHid = Lower(std::string(system) + "\\hid.dll");
    const std::string wow64Hid = wow64[0] ? Lower(std::string(wow64) + "\\hid.dll") : "";
    if (hidPath.empty()) {
        Fail("hid.dll is not loaded: the driver did not look for the USB display");
    } else if (hidPath != systemHid && hidPath != wow64Hid) {
        Fail("hid.dll was loaded from " + hidPath + ", not from " + systemHid);
    }
    FreeLibrary(dll);
    std::printf("%s: hid.dll from %s; the planted ones never loaded%s\n", mode.c_str(),
                hidPath.c_str(), g_failures ? " (but see above)" : "");
    return g_failures == 0 ? 0 : 1;
}
