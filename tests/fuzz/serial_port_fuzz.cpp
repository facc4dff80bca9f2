// Fuzzes the serial port class with what reaches it from outside: the port's name (from the
// host), the queue sizes, the line's settings and modes, and the counts of reads and writes, on a
// pseudo-terminal behind COM5. Buffers are heap blocks of exactly the count a call is told, so
// that AddressSanitizer reports any transfer outside them.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <zel_compat/serial.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "serial/serial_port.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int g_master = -1;
std::string g_folder;

// The devices folder goes with the process.
void RemoveFolder() {
    unlink((g_folder + "/com5").c_str());
    rmdir(g_folder.c_str());
}

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    Require(g_master >= 0 && grantpt(g_master) == 0 && unlockpt(g_master) == 0);
    termios mode;
    tcgetattr(g_master, &mode);
    cfmakeraw(&mode);
    tcsetattr(g_master, TCSANOW, &mode);
    char folder[] = "/tmp/zel-fuzz-ports-XXXXXX";
    Require(mkdtemp(folder) != nullptr);
    g_folder = folder;
    Require(symlink(ptsname(g_master), (g_folder + "/com5").c_str()) == 0);
    std::atexit(&RemoveFolder);
    zelcompat::SetDevicesFolder(g_folder);
}

// Takes whatever the port wrote, so that the pseudo-terminal never fills.
void Drain() {
    std::uint8_t sink[512];
    while (read(g_master, sink, sizeof sink) > 0) {
    }
}

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_at < m_size; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint32_t Word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
        return value;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// A port name: mostly the one that exists, in its spellings, else bytes of the input.
std::string PortName(Input& in) {
    static const char* const kNames[] = {"COM5",  "com5", "\\\\.\\COM5", "COM05", "COM", "COM9",
                                         "COM5:", "",     "NUL"};
    const std::uint8_t pick = in.Byte();
    if (pick < 0xC0) return kNames[pick % 9];
    std::string name;
    for (int length = pick - 0xC0; length > 0; --length) {
        const std::uint8_t byte = in.Byte();
        name.push_back(static_cast<char>(byte == 0 ? 'C' : byte));
    }
    return name;
}

}  // namespace

namespace {

void Exercise(CSerial& port, Input& in) {
    const std::string name = PortName(in);
    const DWORD inQueue = in.Byte() & 1 ? in.Word() % 70000u : 0;
    const DWORD outQueue = in.Byte() & 1 ? in.Word() % 70000u : 0;
    // Only overlapped ports: a blocking read on a quiet line would never return.
    // A failure of the last step of the open is reported with the port left open; the class
    // closes it when it goes.
    if (port.OpenPort(name.c_str(), inQueue, outQueue, true) != 0) return;
    for (int calls = 0; in.More() && calls < 32; ++calls) {
        const std::uint8_t op = in.Byte();
        switch (op % 9) {
            case 0:
                port.Configure(in.Word(), in.Byte(), static_cast<int>(in.Byte()) - 2, in.Byte());
                break;
            case 1:
                port.SetFlowControl(
                    static_cast<CSerial::FlowControl>(static_cast<int>(in.Byte()) - 1));
                break;
            case 2:
                port.SetReadMode(static_cast<CSerial::ReadMode>(static_cast<int>(in.Byte()) - 1));
                break;
            case 3: {
                const DWORD count = in.Byte() % 200u;
                std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[count + 1]);
                for (DWORD i = 0; i < count; ++i) bytes[i] = in.Byte();
                DWORD written = 0;
                port.WriteBytes(bytes.get(), count, &written, nullptr, 50);
                Require(written <= count);
                Drain();
                break;
            }
            case 4: {
                // The line gets some bytes; the read asks for a count of its own.
                std::uint8_t incoming[64];
                const std::size_t arriving = in.Byte() % sizeof incoming;
                for (std::size_t i = 0; i < arriving; ++i) incoming[i] = in.Byte();
                if (arriving != 0) Require(write(g_master, incoming, arriving) >= 0);
                const DWORD count = in.Byte() % 100u;
                std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[count + 1]);
                DWORD got = 0;
                port.SetReadMode(CSerial::ReadImmediate);
                port.ReadBytes(buffer.get(), count, &got, nullptr, 0);
                Require(got <= count);
                break;
            }
            case 5: {
                const char text[] = "text";
                port.WriteText(text, nullptr, nullptr, 50);
                port.WriteOneByte(in.Byte());
                Drain();
                break;
            }
            case 6:
                port.SetEventMask(in.Word());
                port.SetEventCharacter(static_cast<char>(in.Byte()), in.Byte() & 1);
                port.TakeEvent();
                port.TakeErrors();
                break;
            case 7:
                port.QueryBaudRate();
                port.QueryDataBits();
                port.QueryParity();
                port.QueryStopBits();
                port.QueryFlowControl();
                port.QueryEventCharacter();
                port.IsClearToSend();
                port.IsDataSetReady();
                port.IsRinging();
                port.IsCarrierDetected();
                port.BytesWaiting();
                break;
            default:
                port.PurgeBuffers();
                break;
        }
    }
    port.ClosePort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Setup();
    Input in(data, size);
    {
        CSerial port;
        Exercise(port, in);
    }
    Drain();
    Require(zelcompat::OpenSerialPortCount() == 0);
    return 0;
}
