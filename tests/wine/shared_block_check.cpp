// The real zel.dll lends its display to another program through the shared control block: a host
// opens the driver on a COM port with the simulated serial display behind it (run through
// zel-serial-sim-run), and a second process, shared_block_peer, makes the section, pauses the
// driver, uses the port itself and hands the display back. The line the host writes while the
// display is lent must be on the display afterwards (zel-serial-sim-run checks that).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "message_pump.h"
#include "sim_control.h"
#include "zel_driver.h"

namespace {

using host::HostDriver;
using host::HostSink;

// Runs this thread's messages until `object` is signalled or `seconds` have passed.
bool PumpUntilSignalled(HANDLE object, int seconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed > static_cast<DWORD>(seconds) * 1000) return false;
        const DWORD result = MsgWaitForMultipleObjects(1, &object, FALSE, 100, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return true;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

std::string BesideThisProgram(const char* file) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    folder.erase(folder.find_last_of("\\/") + 1);
    return folder + file;
}

TEST(SharedBlockCheck, AnotherProcessBorrowsTheDisplayAndHandsItBack) {
    const char* port = std::getenv("ZEL_PTY_COM");
    ASSERT_NE(port, nullptr) << "run through zel-serial-sim-run";
    HMODULE dll = nullptr;
    HostDriver* driver = LoadZelDriver(&dll);
    ASSERT_NE(driver, nullptr) << "zel.dll or its export is missing";

    HostSink sink;
    ASSERT_EQ(driver->Open(port, &sink, "", ""), 1);
    std::vector<unsigned char> before(40, 0x07);
    EXPECT_EQ(driver->WriteMain(before.data(), 40), 1);

    HANDLE paused = CreateEventA(nullptr, TRUE, FALSE, "zel_check_paused");
    HANDLE wrote = CreateEventA(nullptr, TRUE, FALSE, "zel_check_wrote");
    ASSERT_NE(paused, nullptr);
    ASSERT_NE(wrote, nullptr);

    std::string command = "\"" + BesideThisProgram("shared_block_peer.exe") + "\" " + port + " " +
                          std::string(port).substr(3) + " 0x12 0x34";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION peer = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &peer))
        << "could not start " << command;
    CloseHandle(peer.hThread);

    // The peer has the display now; the host goes on writing.
    const HANDLE pausedOrEnded[2] = {paused, peer.hProcess};
    const DWORD which = WaitForMultipleObjects(2, pausedOrEnded, FALSE, 60000);
    EXPECT_EQ(which, WAIT_OBJECT_0) << "the peer ended or stalled before the pause";
    std::vector<unsigned char> meanwhile(40);
    for (int i = 0; i < 40; ++i) meanwhile[i] = static_cast<unsigned char>(0x80 | i);
    EXPECT_EQ(driver->WriteMain(meanwhile.data(), 40), 1);
    SetEvent(wrote);

    EXPECT_TRUE(PumpUntilSignalled(peer.hProcess, 60));
    DWORD peerStatus = 1;
    GetExitCodeProcess(peer.hProcess, &peerStatus);
    EXPECT_EQ(peerStatus, 0u) << "the peer's checks failed (its message is above)";
    CloseHandle(peer.hProcess);
    CloseHandle(paused);
    CloseHandle(wrote);

    // The display is the host's again and shows the line written meanwhile before Close blanks it.
    const std::string control = simcontrol::Folder();
    ASSERT_FALSE(control.empty()) << "run through zel-serial-sim-run";
    simcontrol::Write(control, "expect", simcontrol::HexCells(meanwhile.data(), 40) + "\n");
    EXPECT_TRUE(msgpump::PumpUntil([&] { return simcontrol::Exists(control, "shown"); }, 60))
        << "the line written while the peer had the display was never shown";
    driver->Close();
    FreeLibrary(dll);
}

}  // namespace
