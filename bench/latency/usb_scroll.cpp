// zel-usb-scroll: how far the USB display falls behind a scrolling reader.
//
//   zel-usb-scroll [--seconds S] [--period MS] [--ack-delay MS]
//
// Over USB every display frame waits for the previous one's acknowledgement, the acknowledgement
// is read on the poll tick, and frames written meanwhile are held in a queue of seven that drains
// one frame a tick. This measures what that means for a reader who scrolls: the driver runs in
// this process on the manual tick clock against the simulated USB display, the host writes a new
// line every MS ms of tick time for S seconds, and the display's line is read after every step.
// The figures are in tick time, so they are exact and the same on every machine:
//
//   usb_scroll_lines_shown    distinct lines the display showed, and how many the host wrote
//   usb_scroll_behind         how many lines the display was behind the host's newest, at most
//   usb_scroll_last_delay     from the host's last write to its line on the display
//
// Output lines have the form of zel-latency's: "RESULT name value=V unit=U" and
// "LIMIT name value= limit= ratio= unit=".
#include <zel_compat/seams.h>
#include <zel_sim/usb_display.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"

namespace {

class NullSink : public IBrailleSink {
  public:
    int OnKey(IBrailleDriver*, const char*, int) override { return 0; }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }
};

// The line of ID: its first two cells carry the ID, the rest a pattern.
std::vector<unsigned char> Line(unsigned id) {
    std::vector<unsigned char> cells(40);
    for (unsigned i = 0; i < cells.size(); ++i) cells[i] = static_cast<unsigned char>(id * 7 + i);
    cells[0] = static_cast<unsigned char>(id & 0xFF);
    cells[1] = static_cast<unsigned char>(id >> 8);
    return cells;
}

unsigned ShownId(const zelsim::UsbDisplay& display) {
    const zelsim::UsbCells cells = display.ShownCells();
    return cells[0] | (cells[1] << 8);
}

// Waits until the worker has handled everything due and blocks in its queue again.
void Settle() {
    while (zelcompat::BlockedWaiterCount() < 1) std::this_thread::yield();
}

void Result(const char* name, double value, const char* unit) {
    std::printf("RESULT %s value=%.1f unit=%s\n", name, value, unit);
}

void Limit(const char* name, double value, double limit, const char* unit) {
    std::printf("LIMIT %s value=%.1f limit=%.1f ratio=%.2f unit=%s\n", name, value, limit,
                value / limit, unit);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: zel-usb-scroll [--seconds S] [--period MS] [--ack-delay MS]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned seconds = 10;
    unsigned period = 20;
    unsigned ackDelay = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Usage();
        const unsigned value = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        if (arg == "--seconds") {
            seconds = value;
        } else if (arg == "--period") {
            period = value;
        } else if (arg == "--ack-delay") {
            ackDelay = value;
        } else {
            Usage();
        }
    }
    if (seconds == 0 || period == 0 || period > kPollPeriodMs) Usage();

    zelcompat::UseManualClock(50000);
    zelsim::UsbDisplay display;
    display.SetAckDelay(ackDelay);
    NullSink sink;
    if (g_driver.Open("COM1", &sink, "", "") != 1) {
        std::fprintf(stderr, "zel-usb-scroll: the simulated USB display did not open\n");
        return 1;
    }
    Settle();

    const unsigned lines = seconds * 1000 / period;
    std::set<unsigned> shown;
    unsigned behind = 0;
    auto look = [&](unsigned newest) {
        const unsigned id = ShownId(display);
        if (id != 0) shown.insert(id);
        behind = std::max(behind, newest - std::min(id, newest));
        return id;
    };
    for (unsigned id = 1; id <= lines; ++id) {
        const std::vector<unsigned char> cells = Line(id);
        g_driver.WriteMain(cells.data(), 40);
        Settle();
        look(id);
        zelcompat::AdvanceTicks(period);
        Settle();
        look(id);
    }
    // The last write was made one period ago; count on from it until its line stands.
    unsigned delay = period;
    while (look(lines) != lines && delay < 60000) {
        zelcompat::AdvanceTicks(1);
        Settle();
        ++delay;
    }
    const bool reached = ShownId(display) == lines;
    g_driver.Close();
    zelcompat::UseRealClock();
    if (!reached) {
        std::fprintf(stderr, "zel-usb-scroll: the host's last line never reached the display\n");
        return 1;
    }

    const double ticksOfScroll = static_cast<double>(seconds) * 1000 / kPollPeriodMs;
    std::printf("RESULT usb_scroll_lines_written value=%u unit=lines\n", lines);
    Result("usb_scroll_lines_shown", static_cast<double>(shown.size()), "lines");
    Limit("usb_scroll_lines_shown", static_cast<double>(shown.size()), ticksOfScroll, "lines");
    Result("usb_scroll_behind", behind, "lines");
    Result("usb_scroll_last_delay", delay, "ms");
    Limit("usb_scroll_last_delay", delay, 3 * kPollPeriodMs, "ms");
    return 0;
}
