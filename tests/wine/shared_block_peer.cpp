// The other program of the shared control block, as a separate Windows process: it makes the
// section "qx517sharemem", waits for the driver to publish its port number, asks it to pause,
// checks the answer and the identification words, uses the COM port itself (a frame of its own,
// acknowledged by the display), and hands the display back.
//
//   shared_block_peer PORTNAME PORTNUMBER ID1 ID2
//
// Between the pause and the resume it sets the named event "zel_check_paused" and waits for
// "zel_check_wrote", so that the host can write a line while the display is lent. Exit status 0
// when everything held; otherwise a message on stderr and status 1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial_display_frame.h"

namespace {

constexpr DWORD kWaitMs = 20000;

struct Block {
    volatile LONG stateWord;
    volatile LONG idWord1;
    volatile LONG idWord2;
};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "shared_block_peer: %s\n", message.c_str());
    std::exit(1);
}

// Waits until the state word holds `value`; fails after kWaitMs, naming what it saw last.
void WaitForWord(const Block* block, LONG value, const char* what) {
    const DWORD start = GetTickCount();
    while (block->stateWord != value) {
        if (GetTickCount() - start > kWaitMs) {
            Fail(std::string("no ") + what + " (the word holds " +
                 std::to_string(block->stateWord) + ")");
        }
        Sleep(5);
    }
}

// Opens the COM port for itself, shows its own cells and reads the display's acknowledgement.
void UseThePort(const std::string& portName) {
    const std::string path = "\\\\.\\" + portName;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Fail("the port is not free while the driver is paused (error " +
             std::to_string(GetLastError()) + ")");
    }
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 5000;
    SetCommTimeouts(port, &timeouts);
    const std::vector<unsigned char> frame = DisplayFrame(std::vector<unsigned char>(42, 0xFF));
    DWORD done = 0;
    if (!WriteFile(port, frame.data(), static_cast<DWORD>(frame.size()), &done, nullptr) ||
        done != frame.size()) {
        CloseHandle(port);
        Fail("could not write to the port");
    }
    unsigned char ack[7] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(port, ack, sizeof ack, &got, nullptr);
    CloseHandle(port);
    if (!read || got != sizeof ack || ack[0] != 0x01 || ack[1] != 0x02 || ack[2] != 0x7F) {
        Fail("the display did not acknowledge the peer's frame (" + std::to_string(got) +
             " bytes)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) Fail("usage: shared_block_peer PORTNAME PORTNUMBER ID1 ID2");
    const std::string portName = argv[1];
    const LONG portNumber = std::strtol(argv[2], nullptr, 0);
    const LONG id1 = std::strtol(argv[3], nullptr, 0);
    const LONG id2 = std::strtol(argv[4], nullptr, 0);

    HANDLE section =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 255, "qx517sharemem");
    if (section == nullptr) Fail("could not make the section");
    auto* block = static_cast<Block*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 255));
    if (block == nullptr) Fail("could not map the section");

    WaitForWord(block, portNumber, "port number published");
    block->stateWord = 101;
    WaitForWord(block, 102, "answer to the pause");
    if (block->idWord1 != id1 || block->idWord2 != id2) {
        Fail("identification words " + std::to_string(block->idWord1) + ", " +
             std::to_string(block->idWord2));
    }
    UseThePort(portName);

    HANDLE paused = OpenEventA(EVENT_MODIFY_STATE, FALSE, "zel_check_paused");
    HANDLE wrote = OpenEventA(SYNCHRONIZE, FALSE, "zel_check_wrote");
    if (paused == nullptr || wrote == nullptr) Fail("the host's events are missing");
    SetEvent(paused);
    if (WaitForSingleObject(wrote, kWaitMs) != WAIT_OBJECT_0) Fail("the host never wrote");
    // Still paused: the driver neither answers again nor publishes its port.
    Sleep(300);
    if (block->stateWord != 102) Fail("the word changed while paused");

    block->stateWord = 205;
    // The driver leaves 5, takes the display back, detaches, attaches again and publishes.
    const DWORD start = GetTickCount();
    while (block->stateWord != portNumber) {
        const LONG word = block->stateWord;
        if (word != 205 && word != 5) Fail("unexpected word " + std::to_string(word));
        if (GetTickCount() - start > kWaitMs) Fail("the driver never came back");
        Sleep(2);
    }
    UnmapViewOfFile(block);
    CloseHandle(section);
    CloseHandle(paused);
    CloseHandle(wrote);
    return 0;
}
