// The seeded soak: from a seed, a long random life of the driver (the host's calls, a misbehaving
// display on either link, another program borrowing the display, the clock jumping and wrapping)
// run on the manual clock against a small model of what must hold. A failing seed is printed with
// a shrunk trace that replays on its own (see docs/RELIABILITY.md).
#include <process.h>
#include <unistd.h>
#include <zel_compat/hid.h>
#include <zel_compat/input.h>
#include <zel_compat/mappings.h>
#include <zel_compat/seams.h>
#include <zel_compat/serial.h>
#include <zel_sim/serial_display.h>
#include <zel_sim/usb_display.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "other_program.h"
#include "running_clock.h"
#include "serial/serial_port.h"
#include "soak_alloc.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Bounds, in ticks of the manual clock (milliseconds of GetTickCount).

// While a slot waits, the clock moves as coarsely as Windows' system timer: every read of the
// count lets a millisecond pass and the count moves in steps of kStepMs, so a loop that spins on it
// lasts whole steps, as it does there.
constexpr DWORD kStepMs = 16;
// Open, and Suspend(0), which opens the link again: the USB hello is read at most ten times 50 ms
// apart (four steps each); the serial identification makes at most 1000 passes, each lasting until
// the count moves, asking again every 500 nominal ms: about 16 s for a display that never
// answers. A pass that reads the count more than once may straddle two steps: 32 s, and the
// worker's start and the port's opening besides.
constexpr DWORD kOpenBound = 34000;
// Close: a poll tick already running goes first (one that takes the display back for the other
// program opens the link: an Open's bound), then the blank frame's acknowledgement is awaited for
// 400 ms at most, then the worker stops. Suspend(1) and Suspend(2) only release the link, behind
// such a tick too.
constexpr DWORD kCloseBound = kOpenBound + 3000;
constexpr DWORD kSuspendBound = kOpenBound + 3000;
// WriteMain, WriteAll, ClearDisplay, SetSink and the getters never wait: no tick passes.
constexpr DWORD kNoWaitBound = 0;
// Liveness: once the faults stop with the driver open, not suspended and not lent, the link is up
// again within kRecoverBound (a USB acknowledgement is given up after 1000 ms, a serial one after
// 400 ms; an unplugged display is looked for on every tick) and a write is shown within
// kShowBound (at most seven older USB frames go first, each waiting a tick for its
// acknowledgement; a serial frame waits for the one acknowledgement in flight).
constexpr DWORD kRecoverBound = 3000;
constexpr DWORD kShowBound = 3000;
// A link just opened has nothing in flight: a write goes out at once, and is shown within two
// ticks (the serial display's bytes travel a real pseudo-terminal).
constexpr DWORD kFreshShowBound = 200;

// ---------------------------------------------------------------------------------------------
// Steps of a life. Each is an operation and two arguments; a trace is a list of them, one a line.

enum Op : int {
    OpOpen,       // a: 0 the display's port, 1 a port with nothing on it
    OpOpenTwice,  // Open again while open
    OpWriteMain,  // a: count, b: cells' seed
    OpWriteAll,   // a: count, b: cells' seed
    OpClear,
    OpSuspend,  // a: flag
    OpSinkNull,
    OpSinkBack,
    OpClose,
    OpTick,           // a: milliseconds
    OpIdle,           // a: minutes of idle time, in one jump of the clock
    OpKey,            // a: index into the seed's key list
    OpTypeChar,       // a: character code (serial)
    OpDropAcks,       // a: frames; -1 all, -2 stop dropping
    OpAckDelay,       // a: milliseconds
    OpHoldAcks,       // a: 1 hold, 0 release and stop holding, 2 release the held ones
    OpSilent,         // a: 1/0 (serial)
    OpUnplug,         // (USB)
    OpReplug,         // (USB)
    OpSecondDisplay,  // a: 1 add, 0 remove (USB)
    OpGarbage,        // a: bytes' seed
    OpBadChecksum,    // a: key index (serial: a key frame with a wrong sum)
    OpIdentify,       // a: 1 answer, 0 do not (serial); b: cells in the reply
    OpSection,        // a: 0 remove, 1 make, 2 make one too short
    OpWord,           // a: value the other program writes
    OpCount
};

const char* const kOpNames[OpCount] = {
    "open",      "open-twice", "write-main", "write-all", "clear",  "suspend", "sink-null",
    "sink-back", "close",      "tick",       "idle",      "key",    "type",    "drop-acks",
    "ack-delay", "hold-acks",  "silent",     "unplug",    "replug", "second",  "garbage",
    "bad-sum",   "identify",   "section",    "word",
};

struct Step {
    int op;
    std::int64_t a;
    std::int64_t b;
};

struct Trace {
    std::uint64_t seed = 0;
    bool usb = true;
    DWORD startTicks = 0;
    std::vector<Step> steps;
};

std::string Describe(const Trace& trace) {
    std::ostringstream out;
    out << "link " << (trace.usb ? "usb" : "serial") << "\n";
    out << "start " << trace.startTicks << "\n";
    for (const Step& step : trace.steps) {
        out << kOpNames[step.op] << " " << step.a << " " << step.b << "\n";
    }
    return out.str();
}

bool ParseTrace(std::istream& in, Trace& trace) {
    std::string word;
    trace.steps.clear();
    while (in >> word) {
        if (word == "link") {
            in >> word;
            trace.usb = word == "usb";
        } else if (word == "start") {
            in >> trace.startTicks;
        } else {
            const auto* found = std::find(std::begin(kOpNames), std::end(kOpNames), word);
            if (found == std::end(kOpNames)) return false;
            Step step{static_cast<int>(found - std::begin(kOpNames)), 0, 0};
            in >> step.a >> step.b;
            trace.steps.push_back(step);
        }
    }
    return true;
}

// splitmix64: a seed is all a life needs.
class Random {
  public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::int64_t Below(std::int64_t n) { return static_cast<std::int64_t>(Next() % n); }
    bool Chance(int percent) { return Below(100) < percent; }

  private:
    std::uint64_t m_state;
};

// The keys a display can send, each once a life so that a key seen twice or out of order is
// plain: named function keys (the row switches and the unnamed codes left out) and routing keys.
struct KeySpec {
    bool function;
    std::uint8_t code;
    std::string name;
    int value;
};

std::vector<KeySpec> KeysOf(bool usb) {
    static const char* const kBase[14] = {"F1", "F2", "F3",  "F4", "F5", "F6", "F7",
                                          "F8", "F9", "F10", "LF", "UP", "RG", "DN"};
    static const char* const kPrefix[4] = {"", "S", "L", "SL"};
    std::vector<KeySpec> keys;
    for (int group = 0; group < 4; ++group) {
        for (int position = 0; position < 14; ++position) {
            const int code = group * 16 + position + 1;
            keys.push_back({true, static_cast<std::uint8_t>(code),
                            std::string(kPrefix[group]) + kBase[position], 0});
        }
    }
    for (int cell = 0; cell < 40; ++cell) {
        if (usb) {
            keys.push_back({false, static_cast<std::uint8_t>(cell), "Routing", cell});
        } else {
            keys.push_back({false, static_cast<std::uint8_t>(cell + 3), "Routing", cell + 1});
            keys.push_back(
                {false, static_cast<std::uint8_t>(0x80 | (cell + 3)), "Routing2", cell + 1});
        }
    }
    if (!usb) {
        keys.push_back({false, 1, "STATUS1", 0});
        keys.push_back({false, 2, "STATUS2", 0});
        keys.push_back({false, 0x81, "STATUS3", 0});
        keys.push_back({false, 0x82, "STATUS4", 0});
    }
    return keys;
}

std::int64_t RandomCount(Random& random) {
    static const int kCounts[] = {0, 1, 2, 40, 41, 42, 43, 80};
    if (random.Chance(70)) return kCounts[random.Below(8)];
    return random.Below(120);
}

Trace Generate(std::uint64_t seed, int length) {
    Random random(seed);
    Trace trace;
    trace.seed = seed;
    trace.usb = random.Chance(60);
    // Half the lives start close enough to the end of the count that it wraps during them.
    trace.startTicks = random.Chance(50) ? static_cast<DWORD>(0xFFFFFFFFu - random.Below(60000))
                                         : static_cast<DWORD>(random.Next());
    const std::int64_t keyCount = static_cast<std::int64_t>(KeysOf(trace.usb).size());
    std::vector<std::int64_t> order(static_cast<std::size_t>(keyCount));
    for (std::int64_t i = 0; i < keyCount; ++i) order[static_cast<std::size_t>(i)] = i;
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1],
                  order[static_cast<std::size_t>(random.Below(static_cast<std::int64_t>(i)))]);
    }
    std::size_t nextKey = 0;

    trace.steps.push_back({OpOpen, 0, 0});
    for (int i = 0; i < length; ++i) {
        const std::int64_t roll = random.Below(1000);
        Step step{OpTick, 1 + random.Below(300), 0};
        if (roll < 250) {
            step = {OpTick, 1 + random.Below(random.Chance(80) ? 250 : 2500), 0};
        } else if (roll < 380) {
            if (nextKey < order.size()) step = {OpKey, order[nextKey++], 0};
        } else if (roll < 470) {
            step = {OpWriteMain, RandomCount(random), random.Below(1 << 20)};
        } else if (roll < 510) {
            step = {OpWriteAll, RandomCount(random), random.Below(1 << 20)};
        } else if (roll < 525) {
            step = {OpClear, 0, 0};
        } else if (roll < 550) {
            static const int kFlags[] = {1, 0, 2, 0};
            step = {OpSuspend, kFlags[random.Below(4)], 0};
        } else if (roll < 562) {
            step = {random.Chance(50) ? OpSinkNull : OpSinkBack, 0, 0};
        } else if (roll < 577) {
            step = {OpClose, 0, 0};
        } else if (roll < 595) {
            step = {OpOpen, random.Chance(15) ? 1 : 0, 0};
        } else if (roll < 600) {
            step = {OpOpenTwice, 0, 0};
        } else if (roll < 610) {
            step = {OpIdle, 1 + random.Below(180), 0};
        } else if (roll < 650) {
            static const int kDrops[] = {1, 2, 3, 5, -1, -2, -2};
            step = {OpDropAcks, kDrops[random.Below(7)], 0};
        } else if (roll < 675) {
            static const int kDelays[] = {0, 0, 50, 150, 450, 1200};
            step = {OpAckDelay, kDelays[random.Below(6)], 0};
        } else if (roll < 705) {
            step = {OpHoldAcks, random.Below(3), 0};
        } else if (roll < 730) {
            step = {OpGarbage, random.Below(1 << 20), 0};
        } else if (roll < 760) {
            step = {OpSection, random.Chance(10) ? 2 : random.Below(2), 0};
        } else if (roll < 830) {
            static const int kWords[] = {101, 101, 200, 201, 203, 0, 102, 7, -1, 150, 99999};
            step = {OpWord, kWords[random.Below(11)], 0};
        } else if (trace.usb) {
            if (roll < 870) {
                step = {OpUnplug, 0, 0};
            } else if (roll < 930) {
                step = {OpReplug, 0, 0};
            } else if (roll < 950) {
                step = {OpSecondDisplay, random.Below(2), 0};
            }
        } else {
            if (roll < 860) {
                step = {OpSilent, random.Chance(40) ? 1 : 0, 0};
            } else if (roll < 890) {
                step = {OpTypeChar, 0x20 + random.Below(0x5F), 0};
            } else if (roll < 910 && nextKey < order.size()) {
                step = {OpBadChecksum, order[random.Below(keyCount)], 0};
            } else if (roll < 930) {
                static const int kCells[] = {40, 40, 80, 0, 20};
                step = {OpIdentify, random.Chance(80) ? 1 : 0, kCells[random.Below(5)]};
            }
        }
        trace.steps.push_back(step);
    }
    return trace;
}

// ---------------------------------------------------------------------------------------------
// The host: a sink that records every key with its thread, and whether the model allowed it.

struct Delivered {
    std::string name;
    int value;
    DWORD thread;
};

class SoakSink : public IBrailleSink {
  public:
    int OnKey(IBrailleDriver*, const char* name, int value) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_keys.push_back({name != nullptr ? name : "", value, GetCurrentThreadId()});
        return 0;
    }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }
    std::vector<Delivered> Take() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::vector<Delivered> keys;
        keys.swap(m_keys);
        return keys;
    }

  private:
    std::mutex m_lock;
    std::vector<Delivered> m_keys;
};

void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

std::atomic<std::uint64_t> g_progress{0};
std::atomic<bool> g_watching{false};
std::mutex g_traceLock;
std::string g_runningTrace;
std::uint64_t g_runningSeed = 0;

// ---------------------------------------------------------------------------------------------
// One life.

class Life {
  public:
    explicit Life(const Trace& trace) : m_trace(trace), m_keys(KeysOf(trace.usb)) {}

    // Runs the trace; returns "" when everything held, else what broke and where.
    std::string Run() {
        Begin();
        for (m_index = 0; m_index < m_trace.steps.size() && m_failure.empty(); ++m_index) {
            Apply(m_trace.steps[m_index]);
            ++g_progress;
            if (m_failure.empty()) CheckKeys();
        }
        if (m_failure.empty()) {
            m_index = m_trace.steps.size();
            Finish();
        }
        End();
        return m_failure;
    }

    std::uint64_t TicksCovered() const { return m_ticksCovered; }

  private:
    void Fail(const std::string& what) {
        if (!m_failure.empty()) return;
        std::ostringstream out;
        out << what << " (at step " << m_index << ")";
        {
            // The driver's state, for whoever reads the failure.
            out << " [useHid " << g_driver.m_useHid << " serial " << (g_driver.m_serial != nullptr)
                << " dev " << (g_driver.deviceHandle != nullptr) << " await "
                << g_driver.m_awaitingAck << " deferred " << g_driver.m_deferredPending << " susp "
                << g_driver.m_suspended << " pause " << g_driver.m_sharedPause << " view "
                << (g_driver.m_blockView != nullptr) << " cells " << g_driver.m_textCells
                << " timeouts " << int(g_driver.m_serialTimeouts);
            if (m_serial)
                out << " bytes " << m_serial->BytesReceived() << " ports "
                    << zelcompat::OpenSerialPortCount() << " probe " << ProbePort("\\\\.\\COM3")
                    << " path " << m_serial->SlavePath();
            if (m_serial)
                out << " frames " << m_serial->DisplayFramesReceived() << " idreq "
                    << m_serial->IdentifyRequests() << " acks " << m_serial->AcksSent();
            out << "]";
        }
        m_failure = out.str();
    }

    // ---- Setting up and tearing down ----

    void Begin() {
        std::memset(g_driver.m_portName, 0, sizeof g_driver.m_portName);
        zelcompat::SetObjectNamespace("zel-soak-" + std::to_string(getpid()));
        char folder[] = "/tmp/zel-soak-XXXXXX";
        if (mkdtemp(folder) == nullptr) std::abort();
        m_folder = folder;
        zelcompat::SetDevicesFolder(m_folder);
        zelcompat::UseManualClock(m_trace.startTicks);
        zelcompat::TakeInjectedKeys();
        m_hadReadEvent = g_driver.readEvent != nullptr;
        m_handles = zelcompat::LiveHandleCount();
        m_windows = zelcompat::LiveWindowCount();
        m_views = zelcompat::MappedViewCount();
        m_blocks = DriverLiveBlocks();
        m_infoSets = zelcompat::LiveDeviceInfoSetCount();
        m_preparsed = zelcompat::LivePreparsedDataCount();
        m_hostThread = GetCurrentThreadId();
        if (m_trace.usb) {
            m_usb = std::make_unique<zelsim::UsbDisplay>();
        } else {
            m_serial = std::make_unique<zelsim::SerialDisplay>();
            const std::string link = m_folder + "/com3";
            if (symlink(m_serial->SlavePath().c_str(), link.c_str()) != 0) std::abort();
        }
    }

    void End() {
        zelcompat::SetTickResolution(kStepMs);
        g_driver.Close();
        zelcompat::SetTickResolution(0);
        m_other.reset();
        g_driver.m_opened = 0;
        g_driver.m_suspended = 0;
        g_driver.m_sink = nullptr;
        g_driver.m_textCells = 0;
        g_driver.m_statusCells = 0;
        g_driver.DetachSharedBlock();
        g_driver.m_sharedPause = 0;
        g_driver.m_portNumber = 0;
        g_driver.m_parser = FrameParser{};
        g_driver.m_awaitingAck = 0;
        g_driver.m_deferredPending = 0;
        g_driver.m_serialTimeouts = 0;
        g_driver.m_pendingKeyFlags = 0;
        g_driver.m_secondRow = 0;
        g_driver.m_useHid = 0;
        PumpMessages();
        m_usb.reset();
        m_second.reset();
        m_serial.reset();
        unlink((m_folder + "/com3").c_str());
        rmdir(m_folder.c_str());
        zelcompat::SetDevicesFolder("");
        zelcompat::UseRealClock();
        zelcompat::TakeInjectedKeys();
    }

    // ---- Time ----

    // Waits until the worker has done what is due, moving the clock a tick at a time should it
    // spin on the count (a hello or an identification on a poll tick).
    void Settle() {
        const auto start = std::chrono::steady_clock::now();
        bool coarse = false;
        for (int round = 0; zelcompat::BlockedWaiterCount() < 1; ++round) {
            std::this_thread::yield();
            if (round == 2000) {
                zelcompat::SetTickResolution(kStepMs);
                coarse = true;
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
                Fail("the worker never came back to its queue");
                break;
            }
        }
        if (coarse) zelcompat::SetTickResolution(0);
    }

    // Lets what the driver and the serial display wrote reach the other side.
    void SettleLine() {
        if (m_serial == nullptr || g_driver.m_thread == nullptr) return;
        // The driver's writes onto the line, the display's taking them in and answering, its
        // answers into the driver's port.
        zelcompat::SettleSerialPorts();
        if (!m_serial->WaitTakenIn() && m_failure.empty())
            m_failure = "the serial display did not take in what the driver wrote";
        zelcompat::SettleSerialPorts();
    }

    void Advance(DWORD milliseconds) {
        m_ticksCovered += milliseconds;
        if (g_driver.m_thread == nullptr) {
            zelcompat::AdvanceTicks(milliseconds);
            return;
        }
        // The worker's timer comes every 100 ms; each of its ticks runs to its end.
        while (milliseconds > 0 && m_failure.empty()) {
            const DWORD step = std::min<DWORD>(milliseconds, kPollPeriodMs);
            zelcompat::AdvanceTicks(step);
            milliseconds -= step;
            Settle();
            SettleLine();
            Pump();
        }
    }

    // ---- The host's calls, each timed in ticks ----

    template <typename Call>
    auto Timed(const char* name, DWORD bound, bool waits, Call call) {
        const DWORD before = GetTickCount();
        decltype(call()) result;
        if (m_paced) {
            RunningClock clock(std::chrono::microseconds(50));
            result = call();
        } else {
            if (waits) zelcompat::SetTickResolution(kStepMs);
            result = call();
            if (waits) zelcompat::SetTickResolution(0);
        }
        const DWORD taken = GetTickCount() - before;
        m_ticksCovered += taken;
        if (taken > bound) {
            Fail(std::string(name) + " took " + std::to_string(taken) + " ticks, bound " +
                 std::to_string(bound));
        }
        if (g_driver.m_thread != nullptr) Settle();
        SettleLine();
        Pump();
        return result;
    }

    void Pump() {
        PumpMessages();
        for (const Delivered& key : m_sink.Take()) m_delivered.push_back(key);
    }

    bool Lent() const { return g_driver.m_sharedPause != 0; }
    // A serial display's bytes reach nobody while the port is closed: a real line loses them,
    // where a pseudo-terminal would keep them for whoever opens it next.
    bool LineOpen() const { return m_usb != nullptr || LinkUp(); }
    static bool LinkUp() {
        return g_driver.m_useHid == 1 ? g_driver.deviceHandle != nullptr
                                      : g_driver.m_serial != nullptr;
    }
    bool Suspended() const { return g_driver.m_suspended != 0; }
    bool DriverOpen() const { return g_driver.m_thread != nullptr; }

    void Open(const char* port) {
        m_openBefore = DriverOpen();
        const int result =
            Timed("Open", kOpenBound, true, [&] { return g_driver.Open(port, &m_sink, "", ""); });
        if (result == 1 && g_driver.m_thread == nullptr)
            Fail("Open reported success without a worker");
        if (result == 0 && g_driver.m_thread != nullptr && !m_openBefore) {
            Fail("a failed Open left a worker running");
        }
        if (result == 1) m_sinkSet = true;
    }

    void Close() {
        const bool wasOpen = DriverOpen();
        Timed("Close", kCloseBound, true, [] {
            g_driver.Close();
            return 0;
        });
        if (!wasOpen) return;
        CheckReleased();
    }

    // ---- What must hold ----

    // After Close: the port opens exclusively and no handle of ours is left on a USB device.
    void CheckReleased() {
        if (DriverOpen()) {
            Fail("Close left the worker running");
            return;
        }
        if (!m_failure.empty()) return;
        if (m_serial != nullptr) {
            const HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
            if (port == INVALID_HANDLE_VALUE) {
                Fail("after Close the port cannot be opened exclusively");
            } else {
                CloseHandle(port);
            }
        }
        for (const zelsim::UsbDisplay* display : {m_usb.get(), m_second.get()}) {
            if (display != nullptr && zelcompat::HidOpenHandleCount(display->DeviceId()) != 0) {
                Fail("after Close a handle of ours is left on the USB device");
            }
        }
        if (zelcompat::OpenSerialPortCount() != 0) Fail("after Close a COM port is left open");
        CheckNothingLeaked();
    }

    bool LinkReleased() const {
        for (const zelsim::UsbDisplay* display : {m_usb.get(), m_second.get()}) {
            if (display != nullptr && zelcompat::HidOpenHandleCount(display->DeviceId()) != 0) {
                return false;
            }
        }
        return zelcompat::OpenSerialPortCount() == 0;
    }

    void CheckNothingLeaked() {
        std::size_t handles = m_handles;
        if (!m_hadReadEvent && g_driver.readEvent != nullptr) ++handles;
        // The shared control block is held for the life of the driver object.
        std::size_t views = m_views + (m_other != nullptr && m_other->Ready() ? 1 : 0);
        if (g_driver.m_sectionHandle != nullptr) ++handles;
        if (g_driver.m_blockView != nullptr) ++views;
        if (m_other != nullptr) ++handles;
        auto expect = [this](const char* what, std::size_t now, std::size_t before) {
            if (now != before) {
                Fail(std::string("after Close ") + what + ": " + std::to_string(now) +
                     " live, expected " + std::to_string(before));
            }
        };
        expect("handles", zelcompat::LiveHandleCount(), handles);
        expect("windows", zelcompat::LiveWindowCount(), m_windows);
        expect("views", zelcompat::MappedViewCount(), views);
        expect("heap blocks of the driver", DriverLiveBlocks(), m_blocks);
        expect("device information sets", zelcompat::LiveDeviceInfoSetCount(), m_infoSets);
        expect("preparsed data", zelcompat::LivePreparsedDataCount(), m_preparsed);
    }

    // Keys reach the host on its own thread, in the order the display sent them, each at most
    // once, and none that the display sent while the driver was suspended or lent.
    void CheckKeys() {
        for (; m_checkedKeys < m_delivered.size(); ++m_checkedKeys) {
            const Delivered& key = m_delivered[m_checkedKeys];
            if (key.thread != m_hostThread) {
                Fail("OnKey " + key.name + " ran on another thread than the host's");
                return;
            }
            std::size_t i = m_matched;
            while (i < m_sent.size() && !(m_keys[m_sent[i].key].name == key.name &&
                                          m_keys[m_sent[i].key].value == key.value)) {
                ++i;
            }
            if (i == m_sent.size()) {
                bool earlier = false;
                for (std::size_t j = 0; j < m_matched; ++j) {
                    earlier |= m_keys[m_sent[j].key].name == key.name &&
                               m_keys[m_sent[j].key].value == key.value;
                }
                Fail("key " + key.name + " " + std::to_string(key.value) +
                     (earlier ? " reached the host twice or out of order" : " was never sent"));
                return;
            }
            if (m_sent[i].heldAway) {
                Fail("key " + key.name + " " + std::to_string(key.value) +
                     " pressed while the driver was suspended or lent reached the host (pressed at "
                     "step " +
                     std::to_string(m_sent[i].step) + ")");
                return;
            }
            m_matched = i + 1;
        }
    }

    // ---- The steps ----

    void Apply(const Step& step) {
        switch (step.op) {
            case OpOpen:
                Open(step.a == 0 ? "com3" : "COM7");
                break;
            case OpOpenTwice:
                if (DriverOpen()) {
                    const int result = Timed("Open", kNoWaitBound, false, [&] {
                        return g_driver.Open("com3", &m_sink, "", "");
                    });
                    if (result != 0) Fail("a second Open while open succeeded");
                }
                break;
            case OpWriteMain:
            case OpWriteAll: {
                std::vector<unsigned char> cells(static_cast<std::size_t>(step.a) + 1);
                Random random(static_cast<std::uint64_t>(step.b));
                for (unsigned char& cell : cells) cell = static_cast<unsigned char>(random.Next());
                const bool main = step.op == OpWriteMain;
                Timed(main ? "WriteMain" : "WriteAll", kNoWaitBound, false, [&] {
                    return main ? g_driver.WriteMain(cells.data(), static_cast<int>(step.a))
                                : g_driver.WriteAll(cells.data(), static_cast<int>(step.a));
                });
                break;
            }
            case OpClear:
                Timed("ClearDisplay", kNoWaitBound, false, [] { return g_driver.ClearDisplay(); });
                break;
            case OpSuspend: {
                const bool resume = step.a == 0;
                Timed("Suspend", resume ? kOpenBound : kSuspendBound, true,
                      [&] { return g_driver.Suspend(static_cast<int>(step.a)); });
                break;
            }
            case OpSinkNull:
                Timed("SetSink", kNoWaitBound, false, [] {
                    g_driver.SetSink(nullptr);
                    return 0;
                });
                break;
            case OpSinkBack:
                Timed("SetSink", kNoWaitBound, false, [this] {
                    g_driver.SetSink(&m_sink);
                    return 0;
                });
                break;
            case OpClose:
                Close();
                break;
            case OpTick:
                Advance(static_cast<DWORD>(step.a));
                break;
            case OpIdle:
                // One jump of the clock: the timer comes once for all of it.
                m_ticksCovered += static_cast<std::uint64_t>(step.a) * 60000u;
                zelcompat::AdvanceTicks(static_cast<DWORD>(step.a * 60000));
                if (DriverOpen()) Settle();
                SettleLine();
                Pump();
                break;
            case OpKey:
                PressKey(static_cast<std::size_t>(step.a));
                break;
            case OpTypeChar:
                if (m_serial && LineOpen())
                    m_serial->TypeCharacter(static_cast<std::uint16_t>(step.a));
                break;
            case OpDropAcks:
                if (step.a == -1) {
                    SetDropAll(true);
                } else if (step.a == -2) {
                    SetDropAll(false);
                } else if (m_usb) {
                    m_usb->DropNextAcks(static_cast<int>(step.a));
                } else {
                    m_serial->DropNextAcks(static_cast<int>(step.a));
                }
                break;
            case OpAckDelay:
                if (m_usb) m_usb->SetAckDelay(static_cast<std::uint32_t>(step.a));
                if (m_serial) m_serial->SetAckDelay(static_cast<std::uint32_t>(step.a));
                break;
            case OpHoldAcks:
                if (step.a == 2) {
                    if (m_usb) m_usb->ReleaseHeldAcks();
                    if (m_serial) m_serial->ReleaseHeldAcks();
                } else {
                    if (m_usb) m_usb->SetHoldAcks(step.a == 1);
                    if (m_serial) m_serial->SetHoldAcks(step.a == 1);
                }
                break;
            case OpSilent:
                if (m_serial) m_serial->SetSilent(step.a != 0);
                break;
            case OpUnplug:
                if (m_usb && m_usb->Plugged()) m_usb->Unplug();
                break;
            case OpReplug:
                if (m_usb && !m_usb->Plugged()) m_usb->Replug();
                break;
            case OpSecondDisplay:
                if (step.a == 1 && m_second == nullptr) {
                    m_second = std::make_unique<zelsim::UsbDisplay>();
                } else if (step.a == 0) {
                    m_second.reset();
                }
                break;
            case OpGarbage:
                SendGarbage(static_cast<std::uint64_t>(step.a));
                break;
            case OpBadChecksum:
                if (m_serial && LineOpen()) {
                    const KeySpec& key = m_keys[static_cast<std::size_t>(step.a) % m_keys.size()];
                    m_serial->SendBadChecksumFrame(key.function ? 0x10 : 0x11, {key.code});
                }
                break;
            case OpIdentify:
                if (m_serial) {
                    m_serial->SetAnswerIdentify(step.a != 0);
                    m_serial->SetCellCount(static_cast<std::uint8_t>(step.b));
                }
                break;
            case OpSection:
                if (step.a == 0) {
                    m_other.reset();
                } else if (m_other == nullptr) {
                    m_other = std::make_unique<OtherProgram>(step.a == 2 ? 64 : kSharedViewLength);
                }
                break;
            case OpWord:
                if (m_other) m_other->Write(static_cast<std::int32_t>(step.a));
                break;
            default:
                break;
        }
    }

    void SetDropAll(bool drop) {
        if (m_usb) m_usb->SetDropAllAcks(drop);
        if (m_serial) m_serial->SetDropAllAcks(drop);
    }

    void PressKey(std::size_t index) {
        const KeySpec& key = m_keys[index % m_keys.size()];
        // Judged now, before the worker has seen it: a key pressed while the driver is suspended
        // or lent must never reach the host, whatever happens later.
        // A host Open while the display is lent opens the link all the same (the pause outlives
        // a Close); a key that the open link takes in then is not judged.
        const bool heldAway = DriverOpen() && (Suspended() || (Lent() && !LinkUp()));
        m_sent.push_back({index % m_keys.size(), heldAway, m_index});
        if (!LineOpen()) return;
        if (m_usb) {
            zelsim::UsbDisplay* target = m_usb.get();
            if (key.function) {
                target->PressFunction(key.code);
            } else {
                target->PressRouting(key.code);
            }
        } else if (key.function) {
            m_serial->PressFunction(key.code);
        } else {
            m_serial->PressRouting(key.code);
        }
    }

    void SendGarbage(std::uint64_t seed) {
        Random random(seed);
        if (m_usb) {
            // Reports of no key: unknown first bytes, and now and then a stray acknowledgement.
            std::array<std::uint8_t, 8> report{};
            for (std::uint8_t& byte : report) byte = static_cast<std::uint8_t>(random.Next());
            report[0] = random.Chance(20) ? 0xFF : static_cast<std::uint8_t>(random.Below(0xFD));
            m_usb->SendReport(report);
        } else if (LineOpen()) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(1 + random.Below(60)));
            for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random.Next());
            m_serial->SendBytes(bytes);
        }
    }

    // ---- The end of a life: faults stop, the last write must be shown, then Close ----

    // The other program hands the display back and goes. One that went without handing it back
    // is started again to do so: the driver keeps the section while it holds a view. A request it
    // wrote that the driver has not seen yet is taken back. The worker's ticks carry it out.
    void HandBack() {
        if (m_other == nullptr && (Lent() || g_driver.m_blockView != nullptr)) {
            m_other = std::make_unique<OtherProgram>(kSharedViewLength);
        }
        for (int round = 0; m_other != nullptr && DriverOpen() && round < 3; ++round) {
            const bool lent = Lent();
            m_other->Write(lent ? kResumeRequest : 0);
            Advance(2 * kPollPeriodMs);
            if (!lent && !Lent()) break;
        }
        if (DriverOpen()) m_other.reset();
    }

    void StopFaults() {
        if (m_usb) {
            m_usb->SetDropAllAcks(false);
            m_usb->DropNextAcks(0);
            m_usb->SetAckDelay(0);
            m_usb->SetHoldAcks(false);
            if (!m_usb->Plugged()) m_usb->Replug();
            m_usb->SetAnswerHello(true);
        } else {
            m_serial->SetDropAllAcks(false);
            m_serial->DropNextAcks(0);
            m_serial->SetAckDelay(0);
            m_serial->SetHoldAcks(false);
            m_serial->SetSilent(false);
            m_serial->SetAnswerIdentify(true);
            m_serial->SetCellCount(40);
        }
        m_second.reset();
        HandBack();
    }

    std::vector<unsigned char> ShownMain(std::size_t count) const {
        std::vector<unsigned char> shown;
        if (m_usb) {
            const zelsim::UsbCells cells = m_usb->ShownCells();
            shown.assign(cells.begin(), cells.begin() + static_cast<long>(count));
        } else {
            const zelsim::SerialCells cells = m_serial->ShownCells();
            shown.assign(cells.begin() + 2, cells.begin() + 2 + static_cast<long>(count));
        }
        return shown;
    }

    // True once the display shows `cells` as its main cells. The serial display's bytes travel
    // a real pseudo-terminal: it gets a little real time to take them in.
    bool ShownSoon(const std::vector<unsigned char>& cells) {
        if (m_serial) {
            m_serial->WaitUntil(
                [&](const zelsim::SerialDisplay&) { return ShownMain(cells.size()) == cells; }, 20);
        }
        return ShownMain(cells.size()) == cells;
    }

    void Finish() {
        // The other program hands the display back through the worker's ticks: the driver is
        // opened first (a pause outlives a Close).
        if (!DriverOpen()) Open("com3");
        StopFaults();
        if (!m_failure.empty()) return;
        if (!DriverOpen()) Open("com3");
        if (DriverOpen() && Suspended()) {
            Timed("Suspend", kOpenBound, true, [] { return g_driver.Suspend(0); });
        }
        // A serial display's answers travel a real pseudo-terminal while the identification
        // counts passes: on a loaded machine an answer can come too late. The host tries again.
        for (int attempt = 0; attempt < 3 && !DriverOpen(); ++attempt) {
            SettleLine();
            m_paced = m_serial != nullptr;
            Open("com3");
            m_paced = false;
        }
        if (!DriverOpen()) {
            Fail("with the faults stopped the display cannot be opened");
            return;
        }
        // The first Open may have failed while the display was still away.
        HandBack();
        if (Lent()) {
            Fail("the display is still lent after the other program handed it back");
            return;
        }
        // The link comes back by itself.
        DWORD waited = 0;
        while (!LinkUp() && waited <= kRecoverBound && m_failure.empty()) {
            if (g_driver.m_useHid == 0 && !Suspended()) {
                // A resume whose reopen failed (the display was away) leaves the session with no
                // link until the host suspends and resumes, by design: the host does so.
                Timed("Suspend", kSuspendBound, true, [] { return g_driver.Suspend(1); });
            }
            if (Suspended()) {
                Timed("Suspend", kOpenBound, true, [] { return g_driver.Suspend(0); });
            }
            Advance(kPollPeriodMs);
            waited += kPollPeriodMs;
        }
        if (!LinkUp()) {
            Fail("with the faults stopped the link is not back within " +
                 std::to_string(kRecoverBound) + " ticks");
            return;
        }
        // A frame sent before the faults stopped may still lose its acknowledgement, and a fourth
        // loss in a row gives the serial link up: once that has had its time, the host resumes.
        Advance(1000);
        if (Suspended()) {
            for (int attempt = 0; attempt < 3 && Suspended(); ++attempt) {
                SettleLine();
                m_paced = attempt > 0 && m_serial != nullptr;
                Timed("Suspend", kOpenBound, true, [] { return g_driver.Suspend(0); });
                m_paced = false;
                if (!LinkUp()) {
                    Timed("Suspend", kSuspendBound, true, [] { return g_driver.Suspend(1); });
                }
            }
            if (!LinkUp()) {
                Fail("with the faults stopped a resume does not bring the serial link back");
                return;
            }
        }
        // Whatever was in flight settles, then the last write must be shown.
        const std::size_t count =
            static_cast<std::size_t>(std::max(1, g_driver.GetTextCellCount()));
        std::vector<unsigned char> last(count);
        for (std::size_t i = 0; i < count; ++i) {
            last[i] = static_cast<unsigned char>((m_trace.seed * 131u + i * 29u + 7u) & 0xFFu);
        }
        Timed("WriteMain", kNoWaitBound, false,
              [&] { return g_driver.WriteMain(last.data(), static_cast<int>(count)); });
        DWORD shownAfter = 0;
        while (!ShownSoon(last) && shownAfter <= kShowBound && m_failure.empty()) {
            Advance(kPollPeriodMs);
            shownAfter += kPollPeriodMs;
            if (Suspended()) {
                Fail("the driver gave the display up with no faults left");
                return;
            }
        }
        if (ShownMain(count) != last) {
            Fail("the last write is not on the display " + std::to_string(kShowBound) +
                 " ticks after it");
            return;
        }
        m_showLatency = shownAfter;
        CheckFreshLink(count);
        CheckKeys();
        Close();
    }

    // The host suspends while a frame's acknowledgement is outstanding, the acknowledgement is
    // lost with the link, and the host resumes: the new link has nothing in flight, so the next
    // write is shown at once, not after an acknowledgement's time-out.
    void CheckFreshLink(std::size_t count) {
        if (!m_failure.empty()) return;
        if (m_usb) m_usb->SetHoldAcks(true);
        if (m_serial) m_serial->SetHoldAcks(true);
        std::vector<unsigned char> cells(count);
        for (std::size_t i = 0; i < count; ++i) cells[i] = static_cast<unsigned char>(i * 7u + 3u);
        Timed("WriteMain", kNoWaitBound, false,
              [&] { return g_driver.WriteMain(cells.data(), static_cast<int>(count)); });
        Timed("Suspend", kSuspendBound, true, [] { return g_driver.Suspend(1); });
        if (m_usb) m_usb->SetHoldAcks(false);  // into no handle: lost
        if (m_serial) {
            m_serial->SetSilent(true);  // forgets the held answer
            m_serial->SetSilent(false);
            m_serial->SetHoldAcks(false);
        }
        for (int attempt = 0; attempt < 3 && (Suspended() || !LinkUp()); ++attempt) {
            if (!Suspended())
                Timed("Suspend", kSuspendBound, true, [] { return g_driver.Suspend(1); });
            SettleLine();
            m_paced = m_serial != nullptr;
            Timed("Suspend", kOpenBound, true, [] { return g_driver.Suspend(0); });
            m_paced = false;
        }
        if (!LinkUp()) {
            Fail("with no faults a resume does not bring the link back");
            return;
        }
        for (std::size_t i = 0; i < count; ++i) cells[i] = static_cast<unsigned char>(i * 13u + 5u);
        Timed("WriteMain", kNoWaitBound, false,
              [&] { return g_driver.WriteMain(cells.data(), static_cast<int>(count)); });
        DWORD waited = 0;
        while (!ShownSoon(cells) && waited < kFreshShowBound && m_failure.empty()) {
            Advance(kPollPeriodMs);
            waited += kPollPeriodMs;
        }
        if (ShownMain(count) != cells) {
            Fail("after a resume the first write is not on the display within " +
                 std::to_string(kFreshShowBound) + " ticks");
        }
    }

    const Trace& m_trace;
    const std::vector<KeySpec> m_keys;
    std::size_t m_index = 0;
    std::string m_failure;
    std::string m_folder;
    SoakSink m_sink;
    bool m_sinkSet = false;
    bool m_openBefore = false;
    bool m_paced = false;
    DWORD m_hostThread = 0;
    std::unique_ptr<zelsim::UsbDisplay> m_usb;
    std::unique_ptr<zelsim::UsbDisplay> m_second;
    std::unique_ptr<zelsim::SerialDisplay> m_serial;
    std::unique_ptr<OtherProgram> m_other;

    struct Sent {
        std::size_t key;
        bool heldAway;
        std::size_t step;
    };
    std::vector<Sent> m_sent;
    std::vector<Delivered> m_delivered;
    std::size_t m_checkedKeys = 0;
    std::size_t m_matched = 0;

    bool m_hadReadEvent = false;
    std::size_t m_handles = 0, m_windows = 0, m_views = 0, m_blocks = 0, m_infoSets = 0,
                m_preparsed = 0;
    std::uint64_t m_ticksCovered = 0;
    DWORD m_showLatency = 0;
};

std::string RunTrace(const Trace& trace, std::uint64_t* ticks = nullptr) {
    {
        std::lock_guard<std::mutex> hold(g_traceLock);
        g_runningSeed = trace.seed;
        g_runningTrace = Describe(trace);
    }
    Life life(trace);
    std::string failure = life.Run();
    if (ticks != nullptr) *ticks = life.TicksCovered();
    return failure;
}

// Removes what a failure does not need: chunks of steps, halving the chunk until single steps.
Trace Shrink(const Trace& failing, const std::string& failure) {
    Trace best = failing;
    const std::string property = failure.substr(0, failure.find(" (at step"));
    // A bounded effort, so that a failing test command still ends in good time.
    int budget = 400;
    auto stillFails = [&property, &budget](const Trace& candidate) {
        if (--budget < 0) return false;
        const std::string again = RunTrace(candidate);
        return !again.empty() && again.substr(0, again.find(" (at step")) == property;
    };
    for (std::size_t chunk = std::max<std::size_t>(1, best.steps.size() / 2); chunk >= 1;
         chunk /= 2) {
        for (std::size_t start = 1; start < best.steps.size();) {
            Trace candidate = best;
            const std::size_t end = std::min(best.steps.size(), start + chunk);
            candidate.steps.erase(candidate.steps.begin() + static_cast<long>(start),
                                  candidate.steps.begin() + static_cast<long>(end));
            if (stillFails(candidate)) {
                best = candidate;
            } else {
                start += chunk;
            }
        }
        if (chunk == 1) break;
    }
    return best;
}

void Watchdog() {
    std::uint64_t last = g_progress.load();
    int still = 0;
    while (g_watching.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uint64_t now = g_progress.load();
        still = now == last ? still + 1 : 0;
        last = now;
        if (still >= 600) {
            std::lock_guard<std::mutex> hold(g_traceLock);
            std::fprintf(stderr, "soak: seed %" PRIu64 " hangs (no step in 60 s); its trace:\n%s",
                         g_runningSeed, g_runningTrace.c_str());
            std::fflush(stderr);
            _exit(3);
        }
    }
}

int Usage() {
    std::fprintf(stderr,
                 "usage: driver_soak [--seeds FIRST COUNT] [--steps N] [--seed S]\n"
                 "                   [--replay FILE] [--print SEED] [--no-shrink] [--verbose]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t first = 1;
    std::uint64_t count = 100;
    int length = 150;
    bool shrink = true;
    bool verbose = false;
    std::string replay;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seeds" && i + 2 < argc) {
            first = std::strtoull(argv[++i], nullptr, 0);
            count = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "--seed" && i + 1 < argc) {
            first = std::strtoull(argv[++i], nullptr, 0);
            count = 1;
        } else if (arg == "--steps" && i + 1 < argc) {
            length = std::atoi(argv[++i]);
        } else if (arg == "--replay" && i + 1 < argc) {
            replay = argv[++i];
        } else if (arg == "--print" && i + 1 < argc) {
            // The trace a seed generates, to edit or replay.
            std::fputs(Describe(Generate(std::strtoull(argv[++i], nullptr, 0), length)).c_str(),
                       stdout);
            return 0;
        } else if (arg == "--no-shrink") {
            shrink = false;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return Usage();
        }
    }

    g_watching.store(true);
    std::thread watchdog(Watchdog);
    int failures = 0;
    std::uint64_t ticks = 0;
    const auto started = std::chrono::steady_clock::now();
    auto report = [&](const Trace& trace, const std::string& failure) {
        ++failures;
        std::fprintf(stderr, "soak: seed %" PRIu64 " FAILED: %s\n", trace.seed, failure.c_str());
        Trace small = trace;
        if (shrink) small = Shrink(trace, failure);
        const std::string again = RunTrace(small);
        std::fprintf(stderr,
                     "soak: shrunk from %zu to %zu steps (%s); replay it with "
                     "driver_soak --replay FILE:\n%s",
                     trace.steps.size(), small.steps.size(),
                     again.empty() ? "passes now" : again.c_str(), Describe(small).c_str());
    };
    if (!replay.empty()) {
        std::ifstream in(replay);
        Trace trace;
        if (!in || !ParseTrace(in, trace)) return Usage();
        const std::string failure = RunTrace(trace, &ticks);
        if (!failure.empty()) {
            std::fprintf(stderr, "soak: replay FAILED: %s\n", failure.c_str());
            ++failures;
        }
    } else {
        for (std::uint64_t seed = first; seed < first + count; ++seed) {
            const Trace trace = Generate(seed, length);
            std::uint64_t covered = 0;
            const std::string failure = RunTrace(trace, &covered);
            ticks += covered;
            if (verbose) {
                std::fprintf(stderr, "soak: seed %" PRIu64 " %s, %s, %.2f h\n", seed,
                             trace.usb ? "usb" : "serial", failure.empty() ? "ok" : "FAILED",
                             static_cast<double>(covered) / 3.6e6);
            }
            if (!failure.empty()) report(trace, failure);
        }
    }
    g_watching.store(false);
    watchdog.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %" PRIu64 " lives, %d failed, %.1f simulated hours in %.1f s\n",
                replay.empty() ? count : 1, failures, static_cast<double>(ticks) / 3.6e6, seconds);
    return failures == 0 ? 0 : 1;
}
