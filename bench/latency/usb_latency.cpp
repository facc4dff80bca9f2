// zel-usb-latency: what a braille reader feels of the driver over USB, measured under Wine.
//
//   zel-usb-latency [--quick] [--samples N]
//
// The real zel.dll (beside this program) drives the simulated USB display, whose firmware runs in
// this process behind a device of the test HID minidriver, so that every report goes through
// Wine's SetupAPI, HID class and hidclass.sys. The host's calls, the display's reports and the
// keys are stamped with QueryPerformanceCounter:
//
//   usb_write_taken_in      WriteMain -> the frame's last report taken in by the display (idle
//                           link: the previous frame acknowledged and that acknowledgement read)
//   usb_key_to_onkey        a routing key pressed on the display (at random times, not locked to
//                           the tick) -> OnKey on the host's thread
//   usb_scroll_*            a line every 20 ms for 10 s: lines shown, and the delay of the last
//
// The bench moves reports as fast as Wine does; on a real bus each report is one full-speed
// interrupt transfer, at most one a millisecond, so a frame of six reports takes 6 ms on the wire
// (the limit the write is set against). Output lines have the form of zel-latency's.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "wine_usb_display.h"
#include "zel_driver.h"

namespace {

constexpr double kTickMs = 100;
constexpr double kFrameWireMs = 6;  // six reports, one a millisecond
constexpr int kTimeoutMs = 5000;

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

// The display's frames as they complete: the line's ID and the time its last report came.
class FrameLog {
  public:
    void Add(unsigned id, double atMs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back({id, atMs});
    }
    // The time the frame of `id` was taken in, once it has been.
    bool Find(unsigned id, double* atMs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Frame& frame : m_frames) {
            if (frame.id == id) {
                *atMs = frame.atMs;
                return true;
            }
        }
        return false;
    }
    std::vector<unsigned> IdsSince(std::size_t first) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<unsigned> ids;
        for (std::size_t i = first; i < m_frames.size(); ++i) ids.push_back(m_frames[i].id);
        return ids;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }

  private:
    struct Frame {
        unsigned id;
        double atMs;
    };
    std::mutex m_mutex;
    std::vector<Frame> m_frames;
};

// The simulated display behind the bench, stamping each frame as its last report arrives.
class TimedDisplay : public zelsim::UsbFirmware {
  public:
    TimedDisplay(zelusb::Bench& bench, FrameLog& log) : m_bench(bench), m_log(log) {
        Attach(&m_link);
        zelusb::DeviceIdentity identity;
        identity.vendorId = Options().vendorId;
        identity.productId = Options().productId;
        identity.versionNumber = Options().versionNumber;
        m_slot = bench.Add(identity, [this](const std::uint8_t* report, std::size_t length) {
            const int before = FramesReceived();
            OnOutputReport(report, length);
            if (FramesReceived() == before) return;
            const double at = NowMs();
            const zelsim::UsbCells cells = ShownCells();
            m_log.Add(cells[0] | (cells[1] << 8), at);
        });
    }
    ~TimedDisplay() override {
        if (m_slot >= 0) m_bench.Release(m_slot);
        Attach(nullptr);
    }
    bool Ok() const { return m_slot >= 0; }

  private:
    struct Link final : zelsim::UsbLink {
        TimedDisplay& display;
        explicit Link(TimedDisplay& d) : display(d) {}
        void SendInputReport(const std::uint8_t* report, std::size_t length) override {
            display.m_bench.Push(display.m_slot, report, length);
        }
        void Unplug() override { display.m_bench.Remove(display.m_slot); }
        void Replug() override { display.m_bench.Readd(display.m_slot); }
    };

    zelusb::Bench& m_bench;
    FrameLog& m_log;
    Link m_link{*this};
    int m_slot = -1;
};

struct KeySink : host::HostSink {
    int OnKey(host::HostDriver*, const char* name, int value) override {
        if (std::string(name) == "Routing") {
            lastValue = value;
            lastAtMs = NowMs();
        }
        return 0;
    }
    int lastValue = -1;
    double lastAtMs = 0;
};

// Runs this thread's messages until `done` holds or the time-out passes.
template <class Done>
bool PumpUntil(Done done, int timeoutMs = kTimeoutMs) {
    const double end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

void PumpFor(double ms) {
    const double end = NowMs() + ms;
    PumpUntil([end] { return NowMs() >= end; }, static_cast<int>(ms) + 1000);
}

std::vector<unsigned char> Line(unsigned id) {
    std::vector<unsigned char> cells(40);
    for (unsigned i = 0; i < cells.size(); ++i) cells[i] = static_cast<unsigned char>(id * 7 + i);
    cells[0] = static_cast<unsigned char>(id & 0xFF);
    cells[1] = static_cast<unsigned char>(id >> 8);
    return cells;
}

void PrintDistribution(const char* name, std::vector<double> values) {
    if (values.empty()) {
        std::printf("RESULT %s n=0\n", name);
        return;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1));
        return values[i];
    };
    std::printf("RESULT %s n=%zu min=%.3f p50=%.3f p95=%.3f p99=%.3f max=%.3f unit=ms\n", name,
                values.size(), values.front(), at(0.5), at(0.95), at(0.99), values.back());
}

double P99(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(0.99 * static_cast<double>(values.size() - 1))];
}

void PrintLimit(const char* name, double value, double limit, const char* unit) {
    std::printf("LIMIT %s value=%.4f limit=%.4f ratio=%.4f unit=%s\n", name, value, limit,
                value / limit, unit);
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "zel-usb-latency: %s\n", what);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    int samples = 100;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
            samples = 5;
        } else if (arg == "--samples" && i + 1 < argc) {
            samples = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: zel-usb-latency [--quick] [--samples N]\n");
            return 2;
        }
    }

    zelusb::Bench bench;
    if (!bench.Error().empty()) Fail(bench.Error().c_str());
    FrameLog frames;
    TimedDisplay display(bench, frames);
    if (!display.Ok()) Fail(("no USB display: " + bench.Error()).c_str());

    HMODULE dll = nullptr;
    host::HostDriver* driver = LoadZelDriver(&dll);
    if (driver == nullptr) Fail("zel.dll or its export was not found");
    KeySink sink;
    if (driver->Open("COM199", &sink, "", "") != 1) Fail("Open did not find the USB display");
    std::mt19937 random(20261210);
    unsigned id = 0;

    // A write on an idle link: the tick after the previous frame has read its acknowledgement.
    std::vector<double> takenIn;
    std::uniform_real_distribution<double> gap(0, kTickMs);
    for (int i = 0; i < samples; ++i) {
        PumpFor(2 * kTickMs + gap(random));
        const std::vector<unsigned char> cells = Line(++id);
        const double calledAt = NowMs();
        driver->WriteMain(cells.data(), 40);
        double at = 0;
        if (PumpUntil([&] { return frames.Find(id, &at); })) takenIn.push_back(at - calledAt);
    }
    std::printf("RESULT usb_frame_wire_time value=%.4f unit=ms\n", kFrameWireMs);
    PrintDistribution("usb_write_taken_in", takenIn);
    PrintLimit("usb_write_taken_in_p99", P99(takenIn), kFrameWireMs, "ms");

    // Keys at random times.
    std::vector<double> keys;
    for (int i = 0; i < samples; ++i) {
        PumpFor(20 + gap(random));
        // Over USB a routing key's code is its cell index.
        const int code = 1 + i % 39;
        sink.lastValue = -1;
        const double pressedAt = NowMs();
        display.PressRouting(static_cast<std::uint8_t>(code));
        if (PumpUntil([&] { return sink.lastValue == code; })) {
            keys.push_back(sink.lastAtMs - pressedAt);
        }
    }
    PrintDistribution("usb_key_to_onkey", keys);
    PrintLimit("usb_key_to_onkey_p99", P99(keys), kTickMs + 2, "ms");

    // A scroll: a new line every 20 ms.
    PumpFor(3 * kTickMs);
    const int lines = quick ? 50 : 500;
    const std::size_t firstFrame = frames.Count();
    const unsigned firstId = id + 1;
    double lastWriteAt = 0;
    const double start = NowMs();
    for (int i = 0; i < lines; ++i) {
        const double due = start + 20.0 * i;
        PumpUntil([due] { return NowMs() >= due; }, 1000);
        const std::vector<unsigned char> cells = Line(++id);
        lastWriteAt = NowMs();
        driver->WriteMain(cells.data(), 40);
    }
    const unsigned lastId = id;
    double lastShownAt = 0;
    const bool ended = PumpUntil([&] { return frames.Find(lastId, &lastShownAt); }, 10000);
    std::set<unsigned> shown;
    bool inOrder = true;
    unsigned previous = 0;
    for (unsigned shownId : frames.IdsSince(firstFrame)) {
        if (shownId < firstId || shownId > lastId) continue;
        shown.insert(shownId);
        if (shownId < previous) inOrder = false;
        previous = shownId;
    }
    const double seconds = (lastWriteAt - start) / 1000.0 + 0.02;
    std::printf("RESULT usb_scroll_lines_written value=%d unit=lines\n", lines);
    std::printf("RESULT usb_scroll_lines_shown value=%zu unit=lines\n", shown.size());
    std::printf("RESULT usb_scroll_in_order value=%d unit=bool\n", inOrder ? 1 : 0);
    std::printf("RESULT usb_scroll_ends_on_last_line value=%d unit=bool\n", ended ? 1 : 0);
    PrintLimit("usb_scroll_lines_per_second", static_cast<double>(shown.size()) / seconds,
               1000.0 / kTickMs, "lines/s");
    if (ended)
        PrintLimit("usb_scroll_last_line_delay", lastShownAt - lastWriteAt, 3 * kTickMs, "ms");

    driver->Close();
    FreeLibrary(dll);
    const bool complete = takenIn.size() == static_cast<std::size_t>(samples) &&
                          keys.size() == static_cast<std::size_t>(samples) && ended;
    if (!complete) Fail("some figures are missing (a frame or a key did not arrive in time)");
    return 0;
}
