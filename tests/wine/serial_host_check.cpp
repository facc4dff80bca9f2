// A host drives the real zel.dll on a COM port with the simulated serial display behind it (run
// through zel-serial-sim-run, which names the port in ZEL_PTY_COM, plays the display's keys once
// the first display frame has arrived, and checks the cells and the wire at the end).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "message_pump.h"
#include "zel_driver.h"

namespace {

using host::HostDriver;
using host::HostSink;

struct Key {
    std::string name;
    int value;
};

class RecordingSink : public HostSink {
  public:
    int OnKey(HostDriver*, const char* name, int value) override {
        keys.push_back({name, value});
        return 0;
    }
    std::vector<Key> keys;
};

struct HookedKey {
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags;
};
std::vector<HookedKey> g_hooked;

LRESULT CALLBACK KeyboardHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* info = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
        g_hooked.push_back({info->vkCode, info->scanCode, info->flags});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

using msgpump::PumpUntil;

bool Hooked(DWORD vkCode, bool up) {
    for (const HookedKey& key : g_hooked) {
        if (key.vkCode == vkCode && ((key.flags & LLKHF_UP) != 0) == up) return true;
    }
    return false;
}

bool HookedScanCode(DWORD scanCode) {
    for (const HookedKey& key : g_hooked) {
        if (key.scanCode == scanCode && (key.flags & LLKHF_INJECTED) != 0 &&
            (key.flags & LLKHF_UP) == 0) {
            return true;
        }
    }
    return false;
}

TEST(SerialHostCheck, TheRealDriverRunsTheSimulatedSerialDisplay) {
    const char* port = std::getenv("ZEL_PTY_COM");
    ASSERT_NE(port, nullptr) << "run through zel-serial-sim-run";
    HMODULE dll = nullptr;
    HostDriver* driver = LoadZelDriver(&dll);
    ASSERT_NE(driver, nullptr) << "zel.dll or its export is missing";
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, &KeyboardHook, GetModuleHandleA(nullptr), 0);
    ASSERT_NE(hook, nullptr);

    RecordingSink sink;
    ASSERT_EQ(driver->Open(port, &sink, "", ""), 1);
    EXPECT_EQ(driver->GetTextCellCount(), 40);
    EXPECT_EQ(driver->GetStatusCellCount(), 2);

    std::vector<unsigned char> cells(40);
    for (int i = 0; i < 40; ++i) cells[i] = static_cast<unsigned char>(i * 7 + 1);
    EXPECT_EQ(driver->WriteMain(cells.data(), 40), 1);

    // The display presses routing key 5 and F1, types 'A' and sends the make code of A.
    const bool all = PumpUntil(
        [&] { return sink.keys.size() >= 2 && Hooked('A', true) && HookedScanCode(0x1E); }, 60);
    EXPECT_TRUE(all);
    ASSERT_GE(sink.keys.size(), 2u);
    EXPECT_EQ(sink.keys[0].name, "Routing");
    EXPECT_EQ(sink.keys[0].value, 3);
    EXPECT_EQ(sink.keys[1].name, "F1");
    EXPECT_TRUE(Hooked('A', false));
    EXPECT_TRUE(Hooked(VK_SHIFT, false) || Hooked(VK_LSHIFT, false)) << "capital A needs Shift";
    EXPECT_TRUE(HookedScanCode(0x1E)) << "set-2 0x1C is set-1 0x1E";

    driver->Close();
    UnhookWindowsHookEx(hook);
    // The port is free again.
    const std::string path = std::string("\\\\.\\") + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    FreeLibrary(dll);
}

}  // namespace
