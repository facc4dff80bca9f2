// A short soak of the real zel.dll under Wine: from a seed, a life of host calls on a COM port
// whose simulated serial display (zel-serial-sim-run --fault-seed, the same seed) misbehaves and
// presses keys in a fixed cycle. Then the display calms down, and the end checks: the last write
// is shown, keys still come, the port is released, and the process has as many handles as before
// the driver was loaded.
//
//   soak_check SEED [STEPS]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "handle_count.h"
#include "sim_control.h"
#include "zel_driver.h"

namespace {

using host::HostDriver;
using host::HostSink;

unsigned g_seed = 0;
int g_failures = 0;

void Fail(const std::string& what) {
    std::printf("FAILED (seed %u): %s\n", g_seed, what.c_str());
    std::fflush(stdout);
    ++g_failures;
}

// The place of a key in the display's cycle: 56 function keys, then 40 routing keys of each row.
int CycleIndex(const std::string& name, int value) {
    static const char* const kBase[14] = {"F1", "F2", "F3",  "F4", "F5", "F6", "F7",
                                          "F8", "F9", "F10", "LF", "UP", "RG", "DN"};
    static const char* const kPrefix[4] = {"", "S", "L", "SL"};
    for (int group = 0; group < 4; ++group)
        for (int position = 0; position < 14; ++position)
            if (name == std::string(kPrefix[group]) + kBase[position]) return group * 14 + position;
    if (value >= 1 && value <= 40) {
        if (name == "Routing") return 56 + value - 1;
        if (name == "Routing2") return 96 + value - 1;
    }
    return -1;
}
constexpr int kKeyCycle = 136;

// Set while a host call runs.
bool g_inCall = false;

class SoakSink : public HostSink {
  public:
    int OnKey(HostDriver*, const char* name, int value) override {
        ++keys;
        if (GetCurrentThreadId() != thread) Fail("OnKey ran on another thread than the host's");
        // Inside a call that changes the state (it runs the thread's messages while it waits) a key
        // may come from either side of the change.
        if (!mayKey && !g_inCall)
            Fail(std::string("key ") + name + " came while suspended or closed");
        const int index = CycleIndex(name, value);
        if (index < 0) {
            Fail(std::string("a key the display never sends: ") + name);
        } else if (last >= 0) {
            const int ahead = (index - last + kKeyCycle) % kKeyCycle;
            if (ahead == 0 || ahead > kKeyCycle - 20)
                Fail(std::string("key ") + name + " " + std::to_string(value) +
                     " came twice or out of order");
        }
        last = index;
        return 0;
    }
    DWORD thread = GetCurrentThreadId();
    bool mayKey = false;
    int last = -1;
    int keys = 0;
};

void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } while (GetTickCount() - start < ms);
}

template <class Done>
bool PumpUntil(Done done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms) return false;
        Pump(20);
    }
    return true;
}

std::string g_control;
bool ControlFile(const char* name) { return simcontrol::Exists(g_control, name); }
void WriteControl(const char* name, const std::string& text) {
    simcontrol::Write(g_control, name, text);
}

bool PortOpens(const std::string& port) {
    const HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

// Times a host call, failing it beyond `boundMs` of real time (generous: a loaded emulator).
template <class Call>
int Timed(const char* name, DWORD boundMs, Call call) {
    const DWORD start = GetTickCount();
    g_inCall = true;
    const int result = call();
    g_inCall = false;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed > boundMs)
        Fail(std::string(name) + " took " + std::to_string(elapsed) + " ms, bound " +
             std::to_string(boundMs));
    return result;
}

constexpr DWORD kNoWaitMs = 3000;    // writes, clears, SetSink
constexpr DWORD kWaitingMs = 60000;  // Open, Close, Suspend

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: soak_check SEED [STEPS]\n");
        return 2;
    }
    g_seed = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0));
    const int steps = argc > 2 ? std::atoi(argv[2]) : 80;
    const char* portEnv = std::getenv("ZEL_PTY_COM");
    const char* control = std::getenv("ZEL_SIM_CONTROL");
    if (portEnv == nullptr || control == nullptr) {
        std::printf("run through zel-serial-sim-run --fault-seed\n");
        return 2;
    }
    const std::string port = portEnv;
    g_control = control;
    std::printf("soak seed %u, %d steps on %s\n", g_seed, steps, port.c_str());
    std::fflush(stdout);

    // Whatever Wine makes on first use and keeps (the message queue, the window station, the
    // port's own objects) is made by one short life of the driver before the count is taken.
    HMODULE dll = nullptr;
    HostDriver* driver = LoadZelDriver(&dll);
    if (driver != nullptr) {
        SoakSink warmUp;
        driver->Open(port.c_str(), &warmUp, "", "");
        Pump(200);
        driver->Close();
        FreeLibrary(dll);
    }
    Pump(50);
    const DWORD handlesBefore = CountProcessHandles();
    driver = LoadZelDriver(&dll);
    if (driver == nullptr) {
        Fail("zel.dll or its export is missing");
        return 1;
    }

    std::mt19937 random(g_seed);
    const auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    SoakSink sink;
    bool open = false;
    bool suspended = false;
    bool sinkSet = true;
    const auto doOpen = [&](const char* name) {
        const int result =
            Timed("Open", kWaitingMs, [&] { return driver->Open(name, &sink, "", ""); });
        if (result == 1) {
            open = true;
            suspended = false;
            sinkSet = true;
        }
        return result;
    };
    // A key the display sent before a Close or a suspension may still reach the host while the
    // call waits (it runs the thread's messages); once the call has returned nothing more is sent.
    const auto doClose = [&] {
        Timed("Close", kWaitingMs, [&] {
            driver->Close();
            return 0;
        });
        sink.mayKey = false;
        if (open && !PortOpens(port)) Fail("after Close the port cannot be opened");
        open = false;
        suspended = false;
    };
    const auto updateMayKey = [&] { sink.mayKey = open && !suspended && sinkSet; };

    for (int step = 0; step < steps && g_failures == 0; ++step) {
        const unsigned pick = below(100);
        if (pick < 12) {
            if (!open) {
                doOpen(below(6) == 0 ? "COM97" : port.c_str());
            } else if (Timed("Open", kNoWaitMs,
                             [&] { return driver->Open(port.c_str(), &sink, "", ""); }) != 0) {
                Fail("a second Open while open succeeded");
            }
        } else if (pick < 50) {
            static const int kCounts[] = {0, 1, 2, 40, 41, 42, 43, 80};
            const int count = below(4) == 0 ? static_cast<int>(below(121)) : kCounts[below(8)];
            std::vector<unsigned char> cells(static_cast<std::size_t>(count) + 1);
            for (unsigned char& cell : cells) cell = static_cast<unsigned char>(random());
            const bool main = below(2) == 0;
            const int result = Timed(main ? "WriteMain" : "WriteAll", kNoWaitMs, [&] {
                return main ? driver->WriteMain(cells.data(), count)
                            : driver->WriteAll(cells.data(), count);
            });
            // The driver gave the display up by itself (lost acknowledgements): the host resumes.
            if (open && !suspended && count > 0 && result == 0) {
                Timed("Suspend", kWaitingMs, [&] { return driver->Suspend(1); });
                Timed("Suspend", kWaitingMs, [&] { return driver->Suspend(0); });
            }
        } else if (pick < 58) {
            Timed("ClearDisplay", kNoWaitMs, [&] { return driver->ClearDisplay(); });
        } else if (pick < 72) {
            if (open) {
                const int flag = suspended ? 0 : 1;
                Timed("Suspend", kWaitingMs, [&] { return driver->Suspend(flag); });
                // Keys posted before the suspension are already in the queue: they may come.
                if (flag == 1) Pump(0);
                suspended = flag == 1;
                updateMayKey();
            }
        } else if (pick < 82) {
            sinkSet = !sinkSet;
            sink.mayKey = false;
            Timed("SetSink", kNoWaitMs, [&] {
                driver->SetSink(sinkSet ? &sink : nullptr);
                return 0;
            });
        } else if (pick < 90) {
            doClose();
        }
        updateMayKey();
        Pump(below(400));
    }

    // The display calms down; a frame still in flight has its time to lose its acknowledgement.
    WriteControl("calm", "\n");
    if (!PumpUntil([] { return ControlFile("calm.ok"); }, 60000)) Fail("the display did not calm");
    Pump(1500);
    if (!sinkSet) {
        driver->SetSink(&sink);
        sinkSet = true;
    }
    if (open && (suspended || driver->GetTextCellCount() != 40)) doClose();
    for (int attempt = 0; attempt < 3 && !open; ++attempt) doOpen(port.c_str());
    if (!open) Fail("with the faults stopped the display cannot be opened");
    // Open, resumed and with its sink: from here on the display's keys are the host's.
    updateMayKey();
    std::vector<unsigned char> last(40);
    for (int i = 0; i < 40; ++i)
        last[static_cast<std::size_t>(i)] = static_cast<unsigned char>(
            (g_seed * 131u + static_cast<unsigned>(i) * 29u + 7u) & 0xFFu);
    int result = driver->WriteMain(last.data(), 40);
    if (result == 0) {
        // Given up by itself before the calm: the host resumes.
        Timed("Suspend", kWaitingMs, [&] { return driver->Suspend(1); });
        Timed("Suspend", kWaitingMs, [&] { return driver->Suspend(0); });
        result = driver->WriteMain(last.data(), 40);
    }
    if (result == 0) Fail("with the faults stopped WriteMain is refused");
    WriteControl("expect", simcontrol::HexCells(last.data(), last.size()) + "\n");
    if (!PumpUntil([] { return ControlFile("shown"); }, 20000))
        Fail("the last write is not on the display 20 s after it");
    const int keysBefore = sink.keys;
    if (!PumpUntil([&] { return sink.keys > keysBefore; }, 20000))
        Fail("with the faults stopped no key reaches the host");

    doClose();
    FreeLibrary(dll);
    const DWORD handlesAfter = CountProcessHandles();
    std::printf("handles: %lu before, %lu after; %d keys\n",
                static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(handlesAfter),
                sink.keys);
    if (handlesAfter != handlesBefore) Fail("the process holds other handles than before");
    std::printf(g_failures == 0 ? "soak seed %u passed\n" : "soak seed %u FAILED\n", g_seed);
    return g_failures == 0 ? 0 : 1;
}
