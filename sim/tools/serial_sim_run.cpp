// zel-serial-sim-run: runs a command with a simulated serial display behind a COM port.
//
//   zel-serial-sim-run [OPTIONS] -- COMMAND [ARGS...]
//
// Starts the simulated display on a pseudo-terminal, links the entry comN of a devices folder to
// its slave, runs COMMAND, and meanwhile plays a small script of the display's own messages. At
// the end it prints what the display saw and showed, checks the expectations given, and removes
// the link (an entry that was there before is put back).
//
// The devices folder is Wine's $WINEPREFIX/dosdevices, the prefix being --wineprefix, else
// $ZEL_WINEPREFIX, else $WINEPREFIX, else the "wineprefix" folder of the build folder (the one
// with CMakeCache.txt) that holds the first argument of COMMAND naming an existing file, as
// tools/wine-run finds it. With --devices DIR the link is made in DIR instead, for native
// programs of the compatibility layer. COMMAND gets ZEL_PTY_COM=COMn, ZEL_WINEPREFIX and
// WINEPREFIX (the prefix used), and with --devices ZEL_DOSDEVICES=DIR. Runs on the same port and
// folder take turns through the lock file that tools/pty-com uses too.
//
// With --fault-seed N the display misbehaves on a schedule drawn from N (acknowledgements dropped,
// delayed and held, silence, no identification reply, other cell counts, garbage, bad checksums)
// and presses keys in a fixed cycle, until COMMAND asks for calm. COMMAND talks to it through
// files in a control folder, named in ZEL_SIM_CONTROL (a Windows path under a Wine prefix):
// COMMAND writes the main cells it expects in hex to "expect", and the display makes "shown" once
// it shows them (so COMMAND waits for a line to be shown, not for a while); with a fault seed,
// COMMAND makes "calm", the display stops misbehaving (it keeps pressing keys) and makes
// "calm.ok". The summary is made once the display has taken in every byte COMMAND wrote.
//
// Exit status: COMMAND's when it failed (128 + the signal when one ended it); else 1 when an
// expectation failed or the script did not run to its end; 2 for a usage or setup error.
#include <zel_sim/serial_display.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_support.h"

namespace {

using namespace zelsim::tools;
using Clock = std::chrono::steady_clock;

void Usage() {
    std::fputs(
        "usage: zel-serial-sim-run [OPTIONS] -- COMMAND [ARGS...]\n"
        "  --port N             the COM port (default 5)\n"
        "  --wineprefix DIR     the Wine prefix whose dosdevices folder gets the link\n"
        "  --devices DIR        link in DIR instead (native programs; sets ZEL_DOSDEVICES)\n"
        "  --cells N            main cells in the identification reply (default 40)\n"
        "  --ids A,B            the two identification bytes (default 0x12,0x34)\n"
        "  --no-identify-reply  acknowledge the identification request, send no reply\n"
        "  --pace               keep the line's pace: 38400 baud, 8N1, both ways\n"
        "  --timeout SECONDS    end COMMAND after this long (default: no limit)\n"
        "script, in order (each message waits for the --after-frames before it):\n"
        "  --after-frames K     later messages wait until K display frames have arrived\n"
        "  --press-routing N  --press-function N  --type-char N  --scan N\n"
        "  --drop-acks          from then on the display acknowledges nothing\n"
        "  --step-ms MS         real time between two messages (default 50)\n"
        "  --fault-seed N       misbehave on a schedule drawn from N until COMMAND asks for\n"
        "                       calm (see the control folder above)\n"
        "expectations:\n"
        "  --expect-cells HEX   the first cells shown, in host dot order (\"47 00 ff\")\n"
        "  --expect-shown HEX   some line shown began with these cells (host dot order)\n"
        "  --expect-wire LIST   these frames in this order, others between allowed; each\n"
        "                       [driver:|display:]NAME, NAME one of frame function routing\n"
        "                       char scan identify reply done ack, or a type (0x42)\n"
        "  --expect-count P=N   exactly N frames match P ([driver:|display:]NAME)\n",
        stderr);
}

struct WirePattern {
    std::optional<bool> fromDriver;  // none: either side
    std::uint8_t type;
    std::string text;
};

WirePattern ParseWirePattern(std::string item) {
    WirePattern pattern;
    pattern.text = item;
    if (item.rfind("driver:", 0) == 0) {
        pattern.fromDriver = true;
        item = item.substr(7);
    } else if (item.rfind("display:", 0) == 0) {
        pattern.fromDriver = false;
        item = item.substr(8);
    }
    const std::optional<std::uint8_t> named = FrameTypeOf(item);
    pattern.type =
        named ? *named
              : static_cast<std::uint8_t>(Number(item, 0xFF, "frame name in --expect-wire"));
    return pattern;
}

std::vector<WirePattern> ParseWire(const std::string& list) {
    std::vector<WirePattern> patterns;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) patterns.push_back(ParseWirePattern(item));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (patterns.empty()) Die("--expect-wire names no frame");
    return patterns;
}

std::vector<std::uint8_t> CellList(const std::string& text) {
    const std::optional<std::vector<std::uint8_t>> bytes = ParseHex(text, zelsim::kSerialCells);
    if (!bytes) Die("a cell list is 1 to 42 bytes in hex: '" + text + "'");
    return *bytes;
}

// ---- Options ----

struct Step {
    int afterFrames;
    enum Kind { Routing, Function, Character, ScanCode, DropAcks } kind;
    std::uint16_t code;
};

struct WireCount {
    WirePattern pattern;
    int count;
};

struct Options {
    LinkOptions link;
    zelsim::SerialDisplayOptions display;
    int timeoutSeconds = 0;
    int stepMs = 50;
    std::vector<Step> script;
    std::optional<std::vector<std::uint8_t>> expectCells;
    std::optional<std::vector<std::uint8_t>> expectShown;
    std::optional<std::vector<WirePattern>> expectWire;
    std::vector<WireCount> expectCounts;
    std::optional<std::uint32_t> faultSeed;
    std::vector<std::string> command;
};

Options Parse(int argc, char** argv) {
    Options o;
    int afterFrames = 0;
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
            // --port, --wineprefix or --devices, taken
        } else if (TakeDisplayOption(arg, value, o.display)) {
            // --cells, --ids, --no-identify-reply or --pace, taken
        } else if (arg == "--timeout") {
            o.timeoutSeconds = static_cast<int>(Number(value("--timeout"), 86400, "--timeout"));
        } else if (arg == "--step-ms") {
            o.stepMs = static_cast<int>(Number(value("--step-ms"), 60000, "--step-ms"));
        } else if (arg == "--after-frames") {
            afterFrames =
                static_cast<int>(Number(value("--after-frames"), 1000000, "--after-frames"));
        } else if (arg == "--press-routing") {
            o.script.push_back({afterFrames, Step::Routing,
                                static_cast<std::uint16_t>(
                                    Number(value("--press-routing"), 0xFF, "--press-routing"))});
        } else if (arg == "--press-function") {
            o.script.push_back({afterFrames, Step::Function,
                                static_cast<std::uint16_t>(
                                    Number(value("--press-function"), 0xFF, "--press-function"))});
        } else if (arg == "--type-char") {
            o.script.push_back(
                {afterFrames, Step::Character,
                 static_cast<std::uint16_t>(Number(value("--type-char"), 0xFFFF, "--type-char"))});
        } else if (arg == "--scan") {
            o.script.push_back(
                {afterFrames, Step::ScanCode,
                 static_cast<std::uint16_t>(Number(value("--scan"), 0xFFFF, "--scan"))});
        } else if (arg == "--drop-acks") {
            o.script.push_back({afterFrames, Step::DropAcks, 0});
        } else if (arg == "--fault-seed") {
            o.faultSeed = static_cast<std::uint32_t>(
                Number(value("--fault-seed"), 0xFFFFFFFFul, "--fault-seed"));
        } else if (arg == "--expect-count") {
            const std::string item = value("--expect-count");
            const std::size_t equals = item.find('=');
            if (equals == std::string::npos) Die("--expect-count wants PATTERN=N");
            o.expectCounts.push_back(
                {ParseWirePattern(item.substr(0, equals)),
                 static_cast<int>(Number(item.substr(equals + 1), 1000000, "--expect-count"))});
        } else if (arg == "--expect-cells") {
            o.expectCells = CellList(value("--expect-cells"));
        } else if (arg == "--expect-shown") {
            o.expectShown = CellList(value("--expect-shown"));
        } else if (arg == "--expect-wire") {
            o.expectWire = ParseWire(value("--expect-wire"));
        } else {
            Usage();
            Die("unknown option '" + arg + "'");
        }
    }
    for (; i < argc; ++i) o.command.push_back(argv[i]);
    if (o.command.empty()) {
        Usage();
        Die("no command given");
    }
    return o;
}

// ---- Running ----

void Send(zelsim::SerialDisplay& display, const Step& step) {
    switch (step.kind) {
        case Step::Routing:
            display.PressRouting(static_cast<std::uint8_t>(step.code));
            break;
        case Step::Function:
            display.PressFunction(static_cast<std::uint8_t>(step.code));
            break;
        case Step::Character:
            display.TypeCharacter(step.code);
            break;
        case Step::ScanCode:
            display.SendScanCode(step.code);
            break;
        case Step::DropAcks:
            display.SetDropAllAcks(true);
            break;
    }
}

const char* StepName(const Step& step) {
    switch (step.kind) {
        case Step::Routing:
            return "routing";
        case Step::Function:
            return "function";
        case Step::Character:
            return "char";
        case Step::ScanCode:
            return "scan";
        case Step::DropAcks:
            return "drop-acks";
    }
    return "?";
}

void PrintWire(const std::vector<zelsim::SerialWireFrame>& wire) {
    std::printf("wire (%zu frames; repeats folded):\n", wire.size());
    constexpr int kMaxLines = 200;
    int lines = 0;
    for (std::size_t i = 0; i < wire.size();) {
        std::size_t j = i + 1;
        while (j < wire.size() && wire[j].fromDriver == wire[i].fromDriver &&
               wire[j].type == wire[i].type && wire[j].payload == wire[i].payload)
            ++j;
        if (++lines > kMaxLines) {
            std::printf("  ... %zu more\n", wire.size() - i);
            break;
        }
        std::printf("  %s", DescribeFrame(wire[i]).c_str());
        if (j - i > 1) std::printf(" (x%zu)", j - i);
        std::printf("\n");
        i = j;
    }
}

bool Matches(const zelsim::SerialWireFrame& frame, const WirePattern& pattern) {
    return frame.type == pattern.type &&
           (!pattern.fromDriver || *pattern.fromDriver == frame.fromDriver);
}

// How far `patterns` match `wire` in order, others allowed between.
std::size_t MatchWire(const std::vector<zelsim::SerialWireFrame>& wire,
                      const std::vector<WirePattern>& patterns) {
    std::size_t matched = 0;
    for (const zelsim::SerialWireFrame& f : wire) {
        if (matched == patterns.size()) break;
        if (Matches(f, patterns[matched])) ++matched;
    }
    return matched;
}

// ---- The seeded misbehaviour ----

// The keys the display presses, in a fixed cycle: the 56 function keys (four groups of 14), then
// the 40 routing keys of each row.
constexpr int kKeyCycle = 56 + 40 + 40;

void PressCycleKey(zelsim::SerialDisplay& display, int index) {
    if (index < 56) {
        display.PressFunction(static_cast<std::uint8_t>((index / 14) * 16 + index % 14 + 1));
    } else if (index < 96) {
        display.PressRouting(static_cast<std::uint8_t>(index - 56 + 3));
    } else {
        display.PressRouting(static_cast<std::uint8_t>(0x80 | (index - 96 + 3)));
    }
}

// Plays faults and keys drawn from a seed, each fault undone after a while, until Calm.
class FaultPlayer {
  public:
    FaultPlayer(std::uint32_t seed, std::uint8_t cells) : m_random(seed), m_cells(cells) {}

    void Step(zelsim::SerialDisplay& display, Clock::time_point now) {
        for (auto undo = m_undo.begin(); undo != m_undo.end();) {
            if (now >= undo->first) {
                undo->second(display);
                undo = m_undo.erase(undo);
            } else {
                ++undo;
            }
        }
        if (now < m_next) return;
        if (m_calm) {
            PressKey(display);
            m_next = now + std::chrono::milliseconds(400);
            return;
        }
        m_next = now + std::chrono::milliseconds(Below(600) + 100);
        ++m_faults;
        const auto later = [&](int minMs, int spanMs) {
            return now +
                   std::chrono::milliseconds(minMs + Below(static_cast<std::uint32_t>(spanMs)));
        };
        const std::uint32_t pick = Below(100);
        if (pick < 35) {
            --m_faults;
            PressKey(display);
        } else if (pick < 45) {
            display.DropNextAcks(static_cast<int>(Below(3) + 1));
        } else if (pick < 51) {
            display.SetDropAllAcks(true);
            m_undo.push_back({later(300, 2700), [](auto& d) { d.SetDropAllAcks(false); }});
        } else if (pick < 59) {
            display.SetAckDelay(Below(3) == 0 ? 0 : Below(1200));
        } else if (pick < 65) {
            display.SetHoldAcks(true);
            m_undo.push_back({later(200, 1800), [](auto& d) { d.SetHoldAcks(false); }});
        } else if (pick < 70) {
            display.SetSilent(true);
            m_undo.push_back({later(300, 1700), [](auto& d) { d.SetSilent(false); }});
        } else if (pick < 78) {
            std::vector<std::uint8_t> bytes(Below(20) + 1);
            for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(Below(256));
            display.SendBytes(bytes);
        } else if (pick < 85) {
            // A routing key with a wrong sum: no key at all.
            display.SendBadChecksumFrame(0x11, {static_cast<std::uint8_t>(Below(40) + 3)});
        } else if (pick < 90) {
            display.SetAnswerIdentify(false);
            m_undo.push_back({later(300, 1700), [](auto& d) { d.SetAnswerIdentify(true); }});
        } else if (pick < 94) {
            static const std::uint8_t kCounts[3] = {0, 20, 80};
            display.SetCellCount(kCounts[Below(3)]);
            const std::uint8_t cells = m_cells;
            m_undo.push_back({later(500, 2500), [cells](auto& d) { d.SetCellCount(cells); }});
        } else {
            --m_faults;  // a quiet moment
        }
    }

    // Stops misbehaving at once; keys go on, one every 400 ms.
    void Calm(zelsim::SerialDisplay& display) {
        m_calm = true;
        m_undo.clear();
        display.SetSilent(false);
        display.SetAnswerIdentify(true);
        display.SetCellCount(m_cells);
        display.SetDropAllAcks(false);
        display.DropNextAcks(0);
        display.SetAckDelay(0);
        display.SetHoldAcks(false);
    }

    int Faults() const { return m_faults; }
    int KeysPressed() const { return m_keys; }

  private:
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(m_random() % n); }
    void PressKey(zelsim::SerialDisplay& display) {
        PressCycleKey(display, m_keys % kKeyCycle);
        ++m_keys;
    }

    std::mt19937 m_random;
    std::uint8_t m_cells;
    bool m_calm = false;
    int m_faults = 0;
    int m_keys = 0;
    Clock::time_point m_next = Clock::time_point::min();
    std::vector<std::pair<Clock::time_point, std::function<void(zelsim::SerialDisplay&)>>> m_undo;
};

// The folder through which COMMAND asks for calm and names the cells it expects, made empty.
// Returns the folder and, in ZEL_SIM_CONTROL, tells COMMAND how it names it.
std::string PrepareControlFolder(const std::string& linkFolder, int port) {
    const std::string name = "COM" + std::to_string(port);
    std::string folder;
    std::string commandName;
    if (IsDirectory(linkFolder + "/../drive_c")) {
        const std::string parent = linkFolder + "/../drive_c/zel-sim";
        mkdir(parent.c_str(), 0755);
        folder = parent + "/" + name;
        commandName = "C:\\zel-sim\\" + name;
    } else {
        folder = linkFolder + "/zel-sim-" + name;
        commandName = folder;
    }
    mkdir(folder.c_str(), 0755);
    if (!IsDirectory(folder)) Die("cannot make the control folder " + folder);
    for (const char* file : {"calm", "calm.ok", "expect", "expect.tmp", "shown"})
        std::remove((folder + "/" + file).c_str());
    setenv("ZEL_SIM_CONTROL", commandName.c_str(), 1);
    return folder;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Makes `path`, whole or not at all.
void MakeFile(const std::string& path) {
    const std::string temporary = path + ".part";
    std::ofstream(temporary) << "\n";
    std::rename(temporary.c_str(), path.c_str());
}

// The cells named in the file, or nothing while it is missing or not a list of hex bytes.
std::optional<std::vector<std::uint8_t>> ReadCells(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    std::string line = text.str();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return ParseHex(line, zelsim::kSerialCells);
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("zel-serial-sim-run");
    const Options options = Parse(argc, argv);

    const std::string folder = PrepareLinkFolder(
        options.link, options.command,
        "no Wine prefix: give --wineprefix, set WINEPREFIX, pass a program of a build "
        "folder, or use --devices");
    const std::string portName = "COM" + std::to_string(options.link.port);

    const std::string control = PrepareControlFolder(folder, options.link.port);
    std::optional<FaultPlayer> faults;
    if (options.faultSeed) faults.emplace(*options.faultSeed, options.display.textCells);
    bool calm = false;
    bool settled = false;
    bool shown = false;
    bool expected = false;

    zelsim::SerialDisplay display(options.display);
    int commandStatus = 0;
    std::size_t stepsSent = 0;
    bool timedOut = false;
    {
        PortLink link(folder, options.link.port, display.SlavePath());
        TerminalKeeper keeper(display.SlavePath());
        std::printf("zel-serial-sim-run: %s -> %s\n", portName.c_str(),
                    display.SlavePath().c_str());
        std::fflush(stdout);

        const pid_t child = StartCommand(options.command);
        ForwardSignalsTo(child);
        const Clock::time_point start = Clock::now();
        Clock::time_point nextStep = start;
        Clock::time_point killAt = Clock::time_point::max();
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) break;
            if (done < 0 && errno != EINTR) Die("waitpid failed");
            const Clock::time_point now = Clock::now();
            if (faults) {
                if (!calm && FileExists(control + "/calm")) {
                    calm = true;
                    faults->Calm(display);
                    MakeFile(control + "/calm.ok");
                }
                faults->Step(display, now);
            }
            if (!shown) {
                const std::optional<std::vector<std::uint8_t>> want =
                    ReadCells(control + "/expect");
                expected = expected || want.has_value();
                const zelsim::SerialCells cells = display.ShownCells();
                if (want && want->size() + 2 <= cells.size() &&
                    std::equal(want->begin(), want->end(), cells.begin() + 2)) {
                    shown = true;
                    MakeFile(control + "/shown");
                }
            }
            if (stepsSent < options.script.size() && now >= nextStep &&
                display.DisplayFramesReceived() >= options.script[stepsSent].afterFrames) {
                Send(display, options.script[stepsSent++]);
                nextStep = now + std::chrono::milliseconds(options.stepMs);
            }
            if (options.timeoutSeconds > 0 && !timedOut &&
                now - start >= std::chrono::seconds(options.timeoutSeconds)) {
                timedOut = true;
                kill(child, SIGTERM);
                killAt = now + std::chrono::seconds(5);
            }
            if (now >= killAt) {
                kill(child, SIGKILL);
                killAt = Clock::time_point::max();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ForwardSignalsTo(0);
        commandStatus = ShellStatus(status);
        settled = Settle(display);
    }

    // ---- Summary ----
    std::printf("command: exit status %d%s\n", commandStatus, timedOut ? " (timed out)" : "");
    std::printf(
        "display frames %d, identify requests %d, identify dones %d, acks received %d, acks "
        "sent %d, bad frames %d, bytes %d (stray %d)\n",
        display.DisplayFramesReceived(), display.IdentifyRequests(),
        display.IdentifyDonesReceived(), display.AcksReceived(), display.AcksSent(),
        display.BadFramesReceived(), display.BytesReceived(), display.StrayBytesReceived());
    const zelsim::SerialCells cells = display.ShownCells();
    std::printf("cells:   %s\n", display.ShownBraille().c_str());
    std::printf("cells:   %s\n", Hex(cells.data(), cells.size()).c_str());
    std::printf("script:  %zu of %zu messages sent", stepsSent, options.script.size());
    for (std::size_t i = 0; i < options.script.size(); ++i)
        std::printf("%s %s %#x", i ? "," : ":", StepName(options.script[i]),
                    static_cast<unsigned>(options.script[i].code));
    std::printf("\n");
    const std::vector<zelsim::SerialWireFrame> wire = display.Wire();
    PrintWire(wire);

    bool failed = false;
    if (!settled) {
        std::printf("FAILED: the display did not take in all the command wrote\n");
        failed = true;
    }
    if (faults) {
        std::printf("fault seed %u: %d faults, %d keys pressed%s\n", *options.faultSeed,
                    faults->Faults(), faults->KeysPressed(), calm ? ", then calm" : "");
    }
    if (expected && !shown) {
        std::printf("FAILED: the cells the command expected were never shown\n");
        failed = true;
    }
    if (stepsSent < options.script.size()) {
        std::printf("FAILED: the command ended before the script did (%zu of %zu sent)\n",
                    stepsSent, options.script.size());
        failed = true;
    }
    if (options.expectCells) {
        const std::vector<std::uint8_t>& want = *options.expectCells;
        if (!std::equal(want.begin(), want.end(), cells.begin())) {
            std::printf("FAILED: cells shown %s, expected %s\n",
                        Hex(cells.data(), want.size()).c_str(),
                        Hex(want.data(), want.size()).c_str());
            failed = true;
        }
    }
    if (options.expectShown) {
        const std::vector<std::uint8_t>& want = *options.expectShown;
        bool seen = false;
        for (const zelsim::SerialCells& line : display.ShownLines()) {
            seen = seen || std::equal(want.begin(), want.end(), line.begin());
        }
        if (!seen) {
            std::printf("FAILED: no line shown began with %s\n",
                        Hex(want.data(), want.size()).c_str());
            failed = true;
        }
    }
    if (options.expectWire) {
        const std::size_t matched = MatchWire(wire, *options.expectWire);
        if (matched < options.expectWire->size()) {
            std::printf("FAILED: wire matched %zu of %zu expected frames; no '%s' after them\n",
                        matched, options.expectWire->size(),
                        (*options.expectWire)[matched].text.c_str());
            failed = true;
        }
    }
    for (const WireCount& expected : options.expectCounts) {
        const auto count = std::count_if(wire.begin(), wire.end(), [&](const auto& frame) {
            return Matches(frame, expected.pattern);
        });
        if (count != expected.count) {
            std::printf("FAILED: %ld '%s' frames on the wire, expected %d\n",
                        static_cast<long>(count), expected.pattern.text.c_str(), expected.count);
            failed = true;
        }
    }
    std::fflush(stdout);
    if (SignalReceived() != 0) return 128 + SignalReceived();
    if (commandStatus != 0) return commandStatus;
    return failed ? 1 : 0;
}
