// Fuzzes the host's calls: which slot, its arguments, and the sizes of the buffers and strings it
// passes, all decoded from the input. Every buffer is a heap block of exactly the size the call is
// told (or, for a string, its length and terminator), so that AddressSanitizer reports any read or
// write outside what the caller gave.
//
// Byte 0 chooses the life: a session whose worker runs (no display: writes are taken and dropped),
// or a closed driver whose Open and Close are called with the strings decoded.
#include <zel_compat/seams.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/driver.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

class Sink : public IBrailleSink {
  public:
    int OnKey(IBrailleDriver*, const char*, int) override { return 0; }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }
};

Sink g_sink;

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_at < m_size; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    int Int() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
        return static_cast<int>(value);
    }
    // A size: mostly small, around the fields' limits, now and then negative.
    int Size() {
        static const int kSizes[] = {0, 1, 2, 3, 4, 5, 40, 41, 42, 80, 127, 128, 255, 256, 257, -1};
        const std::uint8_t pick = Byte();
        return pick < 0xC0 ? kSizes[pick % 16] : pick - 0xC0;
    }
    // A string of `length` characters (no zero among them) in a block of exactly length + 1.
    std::unique_ptr<char[]> String(int length) {
        std::unique_ptr<char[]> text(new char[static_cast<std::size_t>(length) + 1]);
        for (int i = 0; i < length; ++i) {
            const std::uint8_t byte = Byte();
            text[i] = static_cast<char>(byte == 0 ? 'x' : byte);
        }
        text[length] = '\0';
        return text;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

void StartSession() {
    g_driver.m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Require(g_driver.StartWorker() == 1);
    Require(WaitForSingleObject(g_driver.m_commandDone, INFINITE) == WAIT_OBJECT_0);
    g_driver.m_sink = &g_sink;
    g_driver.m_opened = 1;
    g_driver.m_suspended = 0;
    g_driver.m_textCells = 40;
    g_driver.m_statusCells = 0;
}

void CallSlot(Input& in) {
    const std::uint8_t slot = in.Byte();
    switch (slot % 14) {
        case 0:
        case 1: {
            const int size = in.Size();
            std::unique_ptr<char[]> buffer(size > 0 ? new char[size] : nullptr);
            const int got = slot % 14 == 0 ? g_driver.GetOpenParam1(buffer.get(), size)
                                           : g_driver.GetOpenParam2(buffer.get(), size);
            Require(got >= 0 && (size <= 0 || got < size));
            if (size > 0) Require(std::strlen(buffer.get()) == static_cast<std::size_t>(got));
            break;
        }
        case 2: {
            const int size = in.Size();
            std::unique_ptr<char[]> buffer(size > 0 ? new char[size] : nullptr);
            std::unique_ptr<GUID> id(in.Byte() & 1 ? new GUID : nullptr);
            const int got = g_driver.GetIdentity(buffer.get(), size, id.get());
            if (got != 0)
                Require(buffer != nullptr &&
                        std::strlen(buffer.get()) < static_cast<std::size_t>(size));
            break;
        }
        case 3:
        case 4: {
            const int count = in.Size();
            const bool none = (in.Byte() & 7) == 0;
            std::unique_ptr<unsigned char[]> cells(count > 0 && !none ? new unsigned char[count]
                                                                      : nullptr);
            for (int i = 0; cells && i < count; ++i) cells[i] = in.Byte();
            const int result = slot % 14 == 3 ? g_driver.WriteMain(cells.get(), count)
                                              : g_driver.WriteAll(cells.get(), count);
            Require(result == 0 || result == 1);
            break;
        }
        case 5:
            Require(g_driver.ClearDisplay() <= 1);
            break;
        case 6: {
            static const int kFlags[] = {0, 1, 2, -1};
            g_driver.Suspend(kFlags[in.Byte() % 4]);
            break;
        }
        case 7:
            g_driver.SetSink(in.Byte() & 1 ? &g_sink : nullptr);
            break;
        case 8:
            Require(g_driver.GetTextCellCount() >= 0 && g_driver.GetStatusCellCount() >= 0);
            Require(g_driver.GetTotalCellCount() ==
                    g_driver.GetTextCellCount() + g_driver.GetStatusCellCount());
            Require(g_driver.GetVersionCode() == 0x300);
            break;
        default: {
            // The reserved slots take anything and do nothing.
            const int a = in.Int(), b = in.Int(), c = in.Int(), d = in.Int();
            g_driver.Reserved5(a, b);
            g_driver.Reserved10(a);
            g_driver.Reserved14(a, b);
            g_driver.Reserved23(a, b, c, d);
            g_driver.Reserved25(a, b);
            g_driver.Reserved26(a, b, c);
            g_driver.Reserved27(a);
            g_driver.Reserved28(a);
            g_driver.Reserved30(a);
            g_driver.Reserved32(a);
            g_driver.Reserved35(a);
            g_driver.Reserved36(a);
            g_driver.Reserved17();
            break;
        }
    }
}

void OpenWithStrings(Input& in) {
    // The port's name never names a COM port of this machine: the open fails after its guards,
    // quickly, on the serial port class.
    const int portLength = in.Size();
    std::unique_ptr<char[]> port = in.String(portLength < 0 ? 0 : portLength);
    if (portLength > 0) port[0] = 'Z';
    const int firstLength = in.Size();
    const int secondLength = in.Size();
    std::unique_ptr<char[]> first = in.String(firstLength < 0 ? 0 : firstLength);
    std::unique_ptr<char[]> second = in.String(secondLength < 0 ? 0 : secondLength);
    const int result = g_driver.Open(in.Byte() & 1 ? port.get() : nullptr, &g_sink,
                                     in.Byte() & 1 ? first.get() : nullptr,
                                     in.Byte() & 1 ? second.get() : nullptr);
    Require(result == 0);  // no display on this machine
    Require(g_driver.m_thread == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool registered = false;
    if (!registered) {
        registered = true;
        g_driver.RegisterKeyWindowClass(g_moduleInstance);
    }
    Input in(data, size);
    const std::size_t handlesBefore = zelcompat::LiveHandleCount();
    const std::size_t windowsBefore = zelcompat::LiveWindowCount();
    if ((in.Byte() & 1) != 0) {
        StartSession();
        for (int calls = 0; in.More() && calls < 64; ++calls) CallSlot(in);
        g_driver.Close();
    } else {
        for (int calls = 0; in.More() && calls < 4; ++calls) OpenWithStrings(in);
        g_driver.Close();
        // A resume while closed makes the key window (the next Open takes it over); the host's
        // slots on a closed driver otherwise touch nothing.
        for (int calls = 0; in.More() && calls < 16; ++calls) CallSlot(in);
    }
    Require(g_driver.m_thread == nullptr);
    const HWND window = g_driver.m_keyWindow;
    if (window != nullptr) DestroyWindow(window);
    g_driver.m_keyWindow = nullptr;
    g_driver.m_suspended = 0;
    g_driver.m_opened = 0;
    g_driver.m_sink = nullptr;
    Require(zelcompat::LiveHandleCount() == handlesBefore);
    Require(zelcompat::LiveWindowCount() == windowsBefore);
    return 0;
}
