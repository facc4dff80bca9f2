// serial_link_check [PORT [CELLS]]: proves the serial plumbing of the Windows tests. Run through
// zel-serial-sim-run, it opens the COM port (default COM5) the way the driver does (overlapped,
// read-immediate time-outs), sends an identification request and waits, at most about three
// seconds, for the display's acknowledgement and identification reply. With CELLS, byte 0 of the
// reply must be that cell count. Exit status 0 when both came whole.
//
// Reads ask only for the bytes ClearCommError reports waiting: Wine keeps an overlapped read with
// read-immediate time-outs pending until a byte arrives, so a read of more could wait.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The display protocol's worked examples.
const Bytes kIdentify = {0x01, 0x02, 0x24, 0x00, 0x03, 0x7C, 0xAA};
const Bytes kAck = {0x01, 0x02, 0x7F, 0x00, 0x03, 0xD1, 0xAA};
constexpr unsigned char kReplyType = 0x25;
constexpr std::size_t kReplyBytes = 5 + 6 + 2;

std::string Hex(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (unsigned char b : bytes) {
        std::snprintf(byte, sizeof(byte), "%02x ", b);
        text += byte;
    }
    return text;
}

// Waits for an overlapped operation, at most `ms`; cancels it on time-out.
bool Finish(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD ms) {
    if (WaitForSingleObject(overlapped.hEvent, ms) != WAIT_OBJECT_0) {
        CancelIo(port);
        GetOverlappedResult(port, &overlapped, &count, TRUE);
        return false;
    }
    return GetOverlappedResult(port, &overlapped, &count, FALSE) != 0;
}

bool Write(HANDLE port, const Bytes& bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok =
        WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped) != 0;
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = Finish(port, overlapped, written, 3000);
    CloseHandle(overlapped.hEvent);
    return ok && written == bytes.size();
}

// Reads what is waiting, polling until `want` bytes are in or the deadline passes.
Bytes ReadUntil(HANDLE port, std::size_t want, DWORD deadline) {
    Bytes got;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (got.size() < want && static_cast<LONG>(GetTickCount() - deadline) < 0) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status)) {
            std::printf("ClearCommError failed: %lu\n", GetLastError());
            break;
        }
        if (status.cbInQue == 0) {
            Sleep(10);
            continue;
        }
        unsigned char buffer[256];
        DWORD ask = status.cbInQue < sizeof(buffer) ? status.cbInQue : sizeof(buffer);
        DWORD read = 0;
        ResetEvent(overlapped.hEvent);
        bool ok = ReadFile(port, buffer, ask, &read, &overlapped) != 0;
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = Finish(port, overlapped, read, 1000);
        if (!ok) {
            std::printf("ReadFile failed: %lu\n", GetLastError());
            break;
        }
        got.insert(got.end(), buffer, buffer + read);
    }
    CloseHandle(overlapped.hEvent);
    return got;
}

unsigned Checksum(const Bytes& frame) {
    unsigned sum = 0;
    for (std::size_t i = 1; i + 2 < frame.size(); ++i) sum += frame[i];  // 02 .. last payload byte
    return (sum & 0xFFFF) ^ 0xAA55;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "COM5";
    const int cells = argc > 2 ? std::atoi(argv[2]) : -1;
    const std::string path = "\\\\.\\" + name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s: %lu\n", path.c_str(), GetLastError());
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(port, &dcb)) {
        dcb.BaudRate = CBR_38400;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        if (!SetCommState(port, &dcb))
            std::printf("note: SetCommState failed: %lu\n", GetLastError());
    } else {
        std::printf("note: GetCommState failed: %lu\n", GetLastError());
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // read-immediate: return what is there
    if (!SetCommTimeouts(port, &timeouts)) {
        std::printf("SetCommTimeouts failed: %lu\n", GetLastError());
        return 1;
    }

    if (!Write(port, kIdentify)) {
        std::printf("writing the identification request failed: %lu\n", GetLastError());
        return 1;
    }
    const Bytes got = ReadUntil(port, kAck.size() + kReplyBytes, GetTickCount() + 3000);
    CloseHandle(port);
    std::printf("%s: received %s\n", name.c_str(), Hex(got).c_str());

    if (got.size() < kAck.size() + kReplyBytes) {
        std::printf("FAILED: expected an ack and an identification reply\n");
        return 1;
    }
    if (Bytes(got.begin(), got.begin() + kAck.size()) != kAck) {
        std::printf("FAILED: the first frame is not the ack\n");
        return 1;
    }
    const Bytes reply(got.begin() + kAck.size(), got.begin() + kAck.size() + kReplyBytes);
    if (reply[0] != 0x01 || reply[1] != 0x02 || reply[2] != kReplyType || reply[3] != 6 ||
        reply[4] != 0x03) {
        std::printf("FAILED: the second frame is not an identification reply\n");
        return 1;
    }
    if (static_cast<unsigned>(reply[11] | reply[12] << 8) != Checksum(reply)) {
        std::printf("FAILED: bad checksum in the identification reply\n");
        return 1;
    }
    if (cells >= 0 && reply[5] != cells) {
        std::printf("FAILED: the reply gives %u cells, expected %d\n", reply[5], cells);
        return 1;
    }
    std::printf("ack and identification reply (%u cells, ids %02x %02x) received\n", reply[5],
                reply[9], reply[10]);
    return 0;
}
