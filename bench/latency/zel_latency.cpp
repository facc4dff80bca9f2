// zel-latency: what a braille reader feels of the driver, measured end to end against the line.
//
//   zel-latency [OPTIONS] -- HOST-COMMAND [ARGS...]
//
// Serves the simulated serial display on a pseudo-terminal behind COMn, keeping the line's real
// pace (38400 baud, 8N1), and a silent one behind COMn+1; starts HOST-COMMAND (zel-latency-host,
// natively or under Wine through tools/wine-run) and drives it through its standard input. The
// host stamps its calls and keys with the line clock, the display stamps its frames with the same
// clock, and the two sets of times are set side by side:
//
//   write_first_byte, write_taken_in       WriteMain -> the frame's first byte on the line, and
//                                          -> its last byte taken in by the display (idle link)
//   queued_first_byte, queued_taken_in     the same for a write made while an acknowledgement is
//                                          outstanding
//   key_to_onkey                           a routing key pressed on the display (at random times,
//                                          not locked to the tick) -> OnKey on the host's thread
//   scroll_*                               a line every 20 ms for 10 s: lines shown, a second, and
//                                          the delay of the last one
//   cpu_*                                  the host process's CPU time: idle with the display open
//                                          (on Windows also the driver's worker thread alone),
//                                          Open of a port where no display answers, Close of a
//                                          display that stopped answering
//
// Each figure prints a line "RESULT name n=N min= p50= p95= p99= max= unit=ms" (or value= for a
// single figure), and one "LIMIT name value= limit= ratio=" against the limit it is measured by.
// Options: --quick (a few samples each, for a smoke test; options after it still count),
// --samples N, --idle-seconds S,
// --port N, --devices DIR or --wineprefix DIR (as zel-serial-sim-run).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_support.h"

namespace {

using namespace zelsim::tools;
using zelsim::LineClockNs;
using zelsim::SerialDisplay;
using zelsim::SerialDisplayOptions;

constexpr double kNsPerMs = 1e6;
constexpr std::int64_t kByteNs = 10 * 1000000000LL / zelsim::kLineRate;
constexpr int kDisplayFrameBytes = 49;  // 7 bytes of frame around 42 cells
constexpr int kKeyFrameBytes = 8;       // 7 bytes of frame around 1 key code
constexpr double kTickMs = 100;

struct Options {
    LinkOptions link;
    bool quick = false;
    int samples = 200;
    int idleSeconds = 60;
    std::vector<std::string> host;
};

// ---- The host process ----

// HOST-COMMAND with its standard input and output on pipes; its lines are read by a thread.
class HostProcess {
  public:
    explicit HostProcess(const std::vector<std::string>& command) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Die("pipe2 failed");
        m_pid = fork();
        if (m_pid < 0) Die("fork failed");
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            std::fprintf(stderr, "zel-latency: cannot run %s\n", argv[0]);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        m_reader = std::thread([this] { Read(); });
    }
    ~HostProcess() {
        Send("quit");
        close(m_in);
        int status = 0;
        for (int i = 0; i < 300 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waitpid(m_pid, &status, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_reader.join();
        close(m_out);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    void Send(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t written = write(m_in, text.data(), text.size());
    }

    // The next line that starts with `verb` (keys are kept apart), or nothing after `seconds`.
    std::optional<std::vector<std::string>> Next(const std::string& verb, int seconds = 120) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
                if (!it->empty() && (*it)[0] == verb) {
                    std::vector<std::string> words = *it;
                    m_lines.erase(it);
                    return words;
                }
            }
            if (m_ended || m_arrived.wait_until(lock, deadline) == std::cv_status::timeout)
                return std::nullopt;
        }
    }

  private:
    void Read() {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(m_out, buffer, sizeof buffer);
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::istringstream words(pending.substr(0, end));
                pending.erase(0, end + 1);
                std::vector<std::string> line;
                for (std::string word; words >> word;) line.push_back(word);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lines.push_back(std::move(line));
                m_arrived.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_arrived.notify_all();
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<std::vector<std::string>> m_lines;
    bool m_ended = false;
};

long long ToLong(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// ---- Figures ----

// Figures that could not be measured; the tool fails when there are any.
int g_missing = 0;

void PrintDistribution(const std::string& name, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("RESULT %s n=0\n", name.c_str());
        ++g_missing;
        return;
    }
    std::sort(ms.begin(), ms.end());
    const auto rank = [&ms](double p) {
        const std::size_t index =
            static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(ms.size())));
        return ms[std::min(ms.size() - 1, index == 0 ? 0 : index - 1)];
    };
    std::printf("RESULT %s n=%zu min=%.3f p50=%.3f p95=%.3f p99=%.3f max=%.3f unit=ms\n",
                name.c_str(), ms.size(), ms.front(), rank(50), rank(95), rank(99), ms.back());
}

double P99(std::vector<double> ms) {
    if (ms.empty()) return NAN;
    std::sort(ms.begin(), ms.end());
    const std::size_t index = static_cast<std::size_t>(std::ceil(0.99 * ms.size()));
    return ms[std::min(ms.size() - 1, index == 0 ? 0 : index - 1)];
}

void PrintValue(const std::string& name, double value, const char* unit) {
    if (std::isnan(value)) ++g_missing;
    std::printf("RESULT %s value=%.4f unit=%s\n", name.c_str(), value, unit);
}

void PrintLimit(const std::string& name, double value, double limit, const char* unit) {
    std::printf("LIMIT %s value=%.4f limit=%.4f ratio=%.4f unit=%s\n", name.c_str(), value, limit,
                value / limit, unit);
}

// ---- The display's record ----

// The driver's display frames, each with the line ID it carries (host cells 2 and 3) and its
// line times.
struct ShownFrame {
    unsigned id;
    std::int64_t startNs;
    std::int64_t endNs;
};

std::vector<ShownFrame> ShownFrames(const SerialDisplay& display) {
    const std::vector<zelsim::SerialWireFrame> wire = display.Wire();
    const std::vector<zelsim::SerialCells> lines = display.ShownLines();
    std::vector<ShownFrame> frames;
    std::size_t line = 0;
    for (const zelsim::SerialWireFrame& frame : wire) {
        if (!frame.fromDriver || frame.type != 0x00 || frame.payload.size() != zelsim::kSerialCells)
            continue;
        if (line >= lines.size()) break;
        const zelsim::SerialCells& cells = lines[line++];
        frames.push_back(
            {static_cast<unsigned>(cells[2] | cells[3] << 8), frame.startNs, frame.endNs});
    }
    return frames;
}

// Waits (real time) until the display has taken in the frame of line `id`.
std::optional<ShownFrame> AwaitFrame(const SerialDisplay& display, unsigned id, int timeoutMs) {
    std::optional<ShownFrame> found;
    display.WaitUntil(
        [&](const SerialDisplay& d) {
            for (const ShownFrame& frame : ShownFrames(d)) {
                if (frame.id == id) found = frame;
            }
            return found.has_value();
        },
        timeoutMs);
    return found;
}

void Sleep(double ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(ms * 1000)));
}

// ---- The measurements ----

class Measurement {
  public:
    Measurement(const Options& options, HostProcess& host, SerialDisplay& display)
        : m_options(options), m_host(host), m_display(display) {}

    bool Run() {
        const std::string port = "COM" + std::to_string(m_options.link.port);
        if (!Open(port)) return false;
        Writes();
        Keys();
        Scroll();
        Cpu();
        return true;
    }

  private:
    bool Open(const std::string& port) {
        m_host.Send("open " + port);
        const auto opened = m_host.Next("opened");
        if (!opened || opened->size() < 4 || (*opened)[1] != "1") {
            std::fprintf(stderr, "zel-latency: the driver did not open %s\n", port.c_str());
            return false;
        }
        // The identification's answers are read by the next tick.
        Sleep(2.5 * kTickMs);
        return true;
    }

    // Writes the line `id` and returns the time of the call.
    std::optional<long long> Write(unsigned id) {
        m_host.Send("write " + std::to_string(id));
        const auto wrote = m_host.Next("wrote");
        if (!wrote || wrote->size() < 3 || ToLong((*wrote)[1]) != id) return std::nullopt;
        return ToLong((*wrote)[2]);
    }

    void Writes() {
        const double wireMs = kDisplayFrameBytes * kByteNs / kNsPerMs;
        std::vector<double> first, takenIn, queuedFirst, queuedTakenIn;
        std::uniform_real_distribution<double> gap(0, kTickMs);
        unsigned id = 1000;
        for (int i = 0; i < m_options.samples; ++i) {
            // The last frame's acknowledgement has been read by a tick: the link is idle.
            Sleep(kTickMs + 20 + gap(m_random));
            const unsigned line = ++id;
            const auto calledAt = Write(line);
            const auto frame = calledAt ? AwaitFrame(m_display, line, 5000) : std::nullopt;
            if (!frame) continue;
            first.push_back((frame->startNs - *calledAt) / kNsPerMs);
            takenIn.push_back((frame->endNs - *calledAt) / kNsPerMs);
        }
        for (int i = 0; i < std::max(1, m_options.samples / 2); ++i) {
            Sleep(kTickMs + 20 + gap(m_random));
            Write(++id);
            const unsigned line = ++id;
            const auto calledAt = Write(line);
            const auto frame = calledAt ? AwaitFrame(m_display, line, 5000) : std::nullopt;
            if (!frame) continue;
            queuedFirst.push_back((frame->startNs - *calledAt) / kNsPerMs);
            queuedTakenIn.push_back((frame->endNs - *calledAt) / kNsPerMs);
        }
        PrintValue("frame_wire_time", wireMs, "ms");
        PrintDistribution("write_first_byte", first);
        PrintDistribution("write_taken_in", takenIn);
        PrintDistribution("queued_first_byte", queuedFirst);
        PrintDistribution("queued_taken_in", queuedTakenIn);
        PrintLimit("write_taken_in_p99", P99(takenIn), wireMs, "ms");
        PrintLimit("queued_taken_in_p99", P99(queuedTakenIn), kTickMs + 2 * wireMs, "ms");
    }

    void Keys() {
        const double keyWireMs = kKeyFrameBytes * kByteNs / kNsPerMs;
        std::vector<double> latency;
        std::uniform_real_distribution<double> gap(0, kTickMs);
        for (int i = 0; i < m_options.samples; ++i) {
            Sleep(20 + gap(m_random));
            // Routing codes from 3 on are reported as cell indexes from 1 on.
            const int code = 3 + i % 37;
            const long long pressed = LineClockNs();
            m_display.PressRouting(static_cast<std::uint8_t>(code));
            const auto key = m_host.Next("key", 10);
            if (!key || key->size() < 4) continue;
            if ((*key)[1] != "Routing" || ToLong((*key)[2]) != code - 2) continue;
            latency.push_back((ToLong((*key)[3]) - pressed) / kNsPerMs);
        }
        PrintValue("key_wire_time", keyWireMs, "ms");
        PrintDistribution("key_to_onkey", latency);
        PrintLimit("key_to_onkey_p99", P99(latency), kTickMs + 2, "ms");
    }

    void Scroll() {
        const int lines = m_options.quick ? 50 : 500;
        constexpr int kPeriodMs = 20;
        constexpr unsigned kFirst = 20000;
        Sleep(2 * kTickMs);
        const std::size_t framesBefore = ShownFrames(m_display).size();
        m_host.Send("scroll " + std::to_string(lines) + " " + std::to_string(kPeriodMs) + " " +
                    std::to_string(kFirst));
        std::vector<long long> calls;
        for (int i = 0; i < lines; ++i) {
            const auto wrote = m_host.Next("wrote");
            if (wrote && wrote->size() >= 3) calls.push_back(ToLong((*wrote)[2]));
        }
        m_host.Next("scrolled");
        const unsigned last = kFirst + static_cast<unsigned>(lines) - 1;
        const auto lastFrame = AwaitFrame(m_display, last, 10000);
        Sleep(5 * kTickMs);
        const std::vector<ShownFrame> frames = ShownFrames(m_display);
        std::vector<unsigned> shown;
        for (std::size_t i = framesBefore; i < frames.size(); ++i) {
            if (frames[i].id >= kFirst && frames[i].id <= last) shown.push_back(frames[i].id);
        }
        const double seconds =
            calls.empty() ? 0 : (calls.back() - calls.front()) / 1e9 + kPeriodMs / 1000.0;
        const bool inOrder = std::is_sorted(shown.begin(), shown.end());
        std::sort(shown.begin(), shown.end());
        shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
        const double perSecond = seconds > 0 ? shown.size() / seconds : 0;
        const double lastDelayMs =
            lastFrame && !calls.empty() ? (lastFrame->endNs - calls.back()) / kNsPerMs : NAN;
        const bool endsOnLast = !frames.empty() && frames.back().id == last;
        PrintValue("scroll_lines_written", static_cast<double>(calls.size()), "lines");
        PrintValue("scroll_lines_shown", static_cast<double>(shown.size()), "lines");
        PrintValue("scroll_in_order", inOrder ? 1 : 0, "bool");
        PrintValue("scroll_ends_on_last_line", endsOnLast ? 1 : 0, "bool");
        PrintLimit("scroll_lines_per_second", perSecond, 1000 / kTickMs, "lines/s");
        PrintLimit("scroll_last_line_delay", lastDelayMs, 3 * kTickMs, "ms");
    }

    // The host process's CPU time and, where the host can tell (Windows), its driver worker's.
    struct CpuTimes {
        long long process;
        std::optional<long long> worker;
    };
    std::optional<CpuTimes> CpuNs() {
        m_host.Send("cpu");
        const auto cpu = m_host.Next("cpu");
        if (!cpu || cpu->size() < 2) return std::nullopt;
        CpuTimes times{ToLong((*cpu)[1]), std::nullopt};
        if (cpu->size() >= 3 && ToLong((*cpu)[2]) >= 0) times.worker = ToLong((*cpu)[2]);
        return times;
    }

    void Cpu() {
        const int idleSeconds = m_options.idleSeconds;
        const auto before = CpuNs();
        m_host.Send("idle " + std::to_string(idleSeconds * 1000));
        m_host.Next("idled", idleSeconds + 120);
        const auto after = CpuNs();
        if (!before || !after) ++g_missing;
        if (before && after) {
            const double idleNs = idleSeconds * 1e9;
            const double used = static_cast<double>(after->process - before->process);
            PrintValue("cpu_idle_seconds_per_hour", used / idleNs * 3600, "s");
            PrintLimit("cpu_idle_share_of_a_core", used / idleNs * 100, 0.01, "%");
            // The driver's own cost apart from the platform's: its worker thread alone.
            if (before->worker && after->worker) {
                const double worker = static_cast<double>(*after->worker - *before->worker);
                PrintValue("cpu_idle_worker_seconds_per_hour", worker / idleNs * 3600, "s");
                PrintValue("cpu_idle_worker_share_of_a_core", worker / idleNs * 100, "%");
            }
        }

        // Close with a display that has stopped answering: the blank frame goes unanswered.
        m_display.SetSilent(true);
        const auto beforeClose = CpuNs();
        m_host.Send("close");
        const auto closed = m_host.Next("closed");
        const auto afterClose = CpuNs();
        m_display.SetSilent(false);
        if (!closed || !beforeClose || !afterClose) ++g_missing;
        if (closed && closed->size() >= 3 && beforeClose && afterClose) {
            PrintValue("close_silent_display_wall",
                       (ToLong((*closed)[2]) - ToLong((*closed)[1])) / kNsPerMs, "ms");
            PrintValue("close_silent_display_cpu",
                       (afterClose->process - beforeClose->process) / kNsPerMs, "ms");
        }

        // Open of a port where no display answers: the whole identification.
        const std::string silentPort = "COM" + std::to_string(m_options.link.port + 1);
        const auto beforeOpen = CpuNs();
        m_host.Send("open " + silentPort);
        const auto opened = m_host.Next("opened", 300);
        const auto afterOpen = CpuNs();
        if (!opened || !beforeOpen || !afterOpen) ++g_missing;
        if (opened && opened->size() >= 4 && beforeOpen && afterOpen) {
            PrintValue("open_no_display_result", static_cast<double>(ToLong((*opened)[1])), "");
            PrintValue("open_no_display_wall",
                       (ToLong((*opened)[3]) - ToLong((*opened)[2])) / kNsPerMs, "ms");
            PrintValue("open_no_display_cpu", (afterOpen->process - beforeOpen->process) / kNsPerMs,
                       "ms");
        }
    }

    const Options& m_options;
    HostProcess& m_host;
    SerialDisplay& m_display;
    std::mt19937 m_random{12345};
};

void Usage() {
    std::fputs(
        "usage: zel-latency [OPTIONS] -- HOST-COMMAND [ARGS...]\n"
        "  --quick            a few samples of each figure (a smoke test)\n"
        "  --samples N        samples of each latency (default 200)\n"
        "  --idle-seconds S   how long the idle CPU is measured (default 60)\n"
        "  --port N           the COM port of the display (default 5; N+1 is a silent one)\n"
        "  --wineprefix DIR   link the ports in DIR/dosdevices (default: the host's build's)\n"
        "  --devices DIR      link them in DIR instead (native hosts; sets ZEL_DOSDEVICES)\n",
        stderr);
}

Options Parse(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const char* option) -> std::string {
        if (i + 1 >= argc) Die(std::string(option) + " wants a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            Usage();
            std::exit(0);
        } else if (TakeLinkOption(arg, value, o.link)) {
        } else if (arg == "--quick") {
            o.quick = true;
            o.samples = 5;
            o.idleSeconds = 2;
        } else if (arg == "--samples") {
            o.samples = static_cast<int>(Number(value("--samples"), 100000, "--samples"));
        } else if (arg == "--idle-seconds") {
            o.idleSeconds = static_cast<int>(Number(value("--idle-seconds"), 86400, "--idle"));
        } else {
            Usage();
            Die("unknown option '" + arg + "'");
        }
    }
    for (; i < argc; ++i) o.host.push_back(argv[i]);
    if (o.host.empty()) {
        Usage();
        Die("no host command given");
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("zel-latency");
    const Options options = Parse(argc, argv);
    const std::string folder = PrepareLinkFolder(
        options.link, options.host,
        "no Wine prefix: give --wineprefix, set WINEPREFIX, pass a program of a build folder, "
        "or use --devices");

    SerialDisplayOptions paced;
    paced.lineRate = zelsim::kLineRate;
    SerialDisplay display(paced);
    SerialDisplay silent(paced);
    silent.SetSilent(true);
    PortLink link(folder, options.link.port, display.SlavePath());
    PortLink silentLink(folder, options.link.port + 1, silent.SlavePath());
    TerminalKeeper keeper(display.SlavePath());
    TerminalKeeper silentKeeper(silent.SlavePath());
    std::printf("zel-latency: COM%d -> %s (paced, 38400 baud), COM%d silent\n", options.link.port,
                display.SlavePath().c_str(), options.link.port + 1);
    std::fflush(stdout);

    bool ok = false;
    {
        HostProcess host(options.host);
        Measurement measurement(options, host, display);
        ok = measurement.Run();
    }
    if (g_missing > 0) std::printf("zel-latency: %d figures could not be measured\n", g_missing);
    std::fflush(stdout);
    return ok && g_missing == 0 ? 0 : 1;
}
