// What a firmware or settings program does with the COM port while zel-borrow has the display: it
// opens the port named in $ZEL_BORROW_PORT (or its argument), shows a line of its own (every dot
// of all 42 cells) and reads the display's acknowledgement. Run by zel-borrow as its command.
//
// Exit status 0 when the display acknowledged the line; 1, with the reason on stderr, when the
// port could not be opened or no acknowledgement came.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial_display_frame.h"

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "port user: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* given = argc > 1 ? argv[1] : std::getenv("ZEL_BORROW_PORT");
    if (given == nullptr || *given == '\0') return Fail("no port (ZEL_BORROW_PORT is not set)");
    const std::string port = given;
    const std::string path = "\\\\.\\" + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return Fail("cannot open " + port + " (error " + std::to_string(GetLastError()) + ")");
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 5000;
    SetCommTimeouts(handle, &timeouts);
    const std::vector<unsigned char> frame = DisplayFrame(std::vector<unsigned char>(42, 0xFF));
    DWORD done = 0;
    const BOOL wrote =
        WriteFile(handle, frame.data(), static_cast<DWORD>(frame.size()), &done, nullptr);
    unsigned char ack[7] = {};
    DWORD got = 0;
    const BOOL read = wrote && ReadFile(handle, ack, sizeof ack, &got, nullptr);
    CloseHandle(handle);
    if (!wrote || done != frame.size()) return Fail("could not write to " + port);
    if (!read || got != sizeof ack || ack[0] != 0x01 || ack[1] != 0x02 || ack[2] != 0x7F)
        return Fail("the display did not acknowledge the line (" + std::to_string(got) + " bytes)");
    std::printf("port user: wrote its line on %s\n", port.c_str());
    return 0;
}
