// zel-sim: the simulated serial display in a terminal.
//
//   zel-sim [OPTIONS] [COMMAND...] [-- PROGRAM [ARGS...]]
//
// Serves the simulated display on a pseudo-terminal and links the entry comN of a devices folder
// to it: a folder of the caller's (--devices DIR, the folder the native build's COM ports are
// looked up in through ZEL_DOSDEVICES) or a Wine prefix's dosdevices folder (--wineprefix DIR).
// It prints each line the display shows as Unicode braille (the two status cells, then the text
// cells), and with --trace every frame on the line in both directions.
//
// Commands press the display's keys, wait for what the driver does and turn the fault knobs. They
// come from --script FILE, then from the arguments; with neither, from standard input, one a line,
// as a person types them. With a PROGRAM the display serves it (it gets ZEL_PTY_COM=COMn and
// ZEL_DOSDEVICES or WINEPREFIX) and zel-sim ends when it does; without one, zel-sim ends when the
// commands have run (or at "quit", the end of its input, or Ctrl-C).
//
// Exit status: the PROGRAM's when it failed; else 1 when a command failed or the PROGRAM ended
// before the commands did; 2 for a usage or set-up error; 0 otherwise.
#include <zel_sim/serial_display.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_support.h"

namespace {

using namespace zelsim::tools;
using zelsim::SerialCells;
using zelsim::SerialDisplay;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kStatusCells = 2;
// How often the display's state is looked at for new frames and satisfied waits.
constexpr int kTickMs = 10;

void Usage(FILE* out) {
    std::fputs(
        "usage: zel-sim [OPTIONS] [COMMAND...] [-- PROGRAM [ARGS...]]\n"
        "  --port N              the COM port (default 5)\n"
        "  --devices DIR         link comN in DIR (native programs read it as ZEL_DOSDEVICES)\n"
        "  --wineprefix DIR      link comN in DIR/dosdevices (Windows programs under Wine)\n"
        "  --script FILE         run the commands in FILE (one a line, # starts a comment)\n"
        "  --trace               print every frame on the line, both directions\n"
        "  --timeout SECONDS     how long a wait command waits (default 30)\n"
        "the display and its faults:\n"
        "  --cells N             text cells it reports (default 40)\n"
        "  --ids A,B             its two identification bytes (default 0x12,0x34)\n"
        "  --no-identify-reply   acknowledge the identification request but never answer it\n"
        "  --pace                keep the line's pace: 38400 baud, 8N1, both ways\n"
        "  --drop-acks N|all     acknowledge none of the next N frames (or of any frame)\n"
        "  --ack-delay MS        acknowledge each frame MS milliseconds late\n"
        "  --hold-acks           keep acknowledgements back until release-acks\n"
        "  --silent              read nothing and answer nothing, as if switched off\n"
        "  --garbage HEX         send these bytes in front of each key message\n"
        "Without COMMANDs or --script, commands are read from standard input; 'help' lists them.\n",
        out);
}

void CommandHelp() {
    std::fputs(
        "keys:   route N (routing key over text cell N, from 1)   route2 N (second row)\n"
        "        status N (status key 1-4)   F1 .. F10 LF UP RG DN, prefixed S, L or SL (SLDN)\n"
        "        key NAME|CODE (function key by name, or code 1-64; 63/64 switch the row)\n"
        "        type TEXT (ASCII characters from the braille keyboard)   char CODE\n"
        "        scan CODE... (PS/2 set-2 scan codes, E0 and F0 prefixes on their own)\n"
        "waits:  wait frame | wait frames N | wait dots | wait blank | wait cells HEX |\n"
        "        wait open (identification done) | sleep MS\n"
        "faults: drop-acks N|all|off   ack-delay MS   hold-acks on|off   release-acks\n"
        "        silent on|off   identify on|off   text-cells N   garbage HEX\n"
        "other:  show   stats   help   quit\n",
        stdout);
}

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---- Function keys by the driver's names ----

// Code = 16 * group + position: the group gives the prefix, the position (1 to 14) the name.
constexpr const char* kKeyPrefixes[] = {"", "S", "L", "SL"};
constexpr const char* kKeyBases[] = {"F1", "F2", "F3",  "F4", "F5", "F6", "F7",
                                     "F8", "F9", "F10", "LF", "UP", "RG", "DN"};
static_assert(std::size(kKeyPrefixes) * 16 == 64, "four groups of sixteen codes");

std::optional<std::uint8_t> FunctionKeyCode(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t group = 0; group < std::size(kKeyPrefixes); ++group)
        for (std::size_t position = 0; position < std::size(kKeyBases); ++position)
            if (name == std::string(kKeyPrefixes[group]) + kKeyBases[position])
                return static_cast<std::uint8_t>(group * 16 + position + 1);
    return std::nullopt;
}

std::string FunctionKeyName(std::uint8_t code) {
    const std::size_t position = (code - 1u) % 16;
    if (code == 0 || code > 64 || position >= std::size(kKeyBases))
        return "code " + std::to_string(code);
    return std::string(kKeyPrefixes[(code - 1u) / 16]) + kKeyBases[position];
}

// ---- Commands ----

struct Command {
    enum Kind {
        Routing,     // code
        Function,    // code
        Characters,  // bytes, each one character message
        CharCode,    // number
        ScanCodes,   // numbers
        WaitFrame,
        WaitFrames,  // number
        WaitDots,
        WaitBlank,
        WaitCells,  // bytes
        WaitOpen,
        Sleep,     // number
        DropAcks,  // number, or flag (all / off)
        AckDelay,  // number
        HoldAcks,  // flag
        ReleaseAcks,
        Silent,     // flag
        Identify,   // flag
        TextCells,  // number
        Garbage,    // bytes
        Show,
        Stats,
        Help,
        Quit,
    } kind;
    std::vector<std::uint8_t> bytes;
    std::vector<unsigned long> numbers;
    bool flag = false;
    std::string text;  // the line as written, for messages
    // When a wait or sleep gives up or ends; set when it first runs.
    std::optional<Clock::time_point> deadline;
};

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// The command on `line`, or an error sentence. A line with nothing but a comment gives neither.
struct Parsed {
    std::optional<Command> command;
    std::string error;
};

Parsed ParseCommand(const std::string& line) {
    std::string trimmed = line;
    trimmed.erase(0, trimmed.find_first_not_of(" \t\r"));
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
        trimmed.pop_back();
    if (trimmed.empty() || trimmed[0] == '#') return {};
    const std::vector<std::string> words = Words(trimmed);
    const std::string& verb = words[0];
    const std::size_t count = words.size() - 1;
    Command c{Command::Show, {}, {}, false, trimmed, std::nullopt};
    auto fail = [&](const std::string& why) {
        return Parsed{std::nullopt, "'" + trimmed + "': " + why};
    };
    auto number = [&](std::size_t index, unsigned long max) {
        return index < words.size() ? ParseNumber(words[index], max) : std::nullopt;
    };
    auto onOff = [&](Command::Kind kind) -> Parsed {
        if (count != 1 || (words[1] != "on" && words[1] != "off")) return fail("say on or off");
        c.kind = kind;
        c.flag = words[1] == "on";
        return {c, ""};
    };
    // The rest of the line after the verb, as written.
    const std::string rest = trimmed.size() > verb.size()
                                 ? trimmed.substr(trimmed.find_first_not_of(" \t", verb.size()))
                                 : "";

    if (verb == "route" || verb == "route2") {
        // The driver reports code 3 as the first text cell; bit 7 marks the second row.
        const std::optional<unsigned long> cell = number(1, 0x7F - 2);
        if (count != 1 || !cell || *cell < 1) return fail("give a text cell from 1");
        c.kind = Command::Routing;
        c.numbers = {(*cell + 2) | (verb == "route2" ? 0x80u : 0u)};
        return {c, ""};
    }
    if (verb == "status") {
        const std::optional<unsigned long> key = number(1, 4);
        if (count != 1 || !key || *key < 1) return fail("give a status key from 1 to 4");
        c.kind = Command::Routing;
        c.numbers = {*key <= 2 ? *key : (*key - 2) | 0x80u};
        return {c, ""};
    }
    if (verb == "key") {
        if (count != 1) return fail("give a key name (F1, SLDN) or a code from 1 to 64");
        std::optional<unsigned long> code = FunctionKeyCode(words[1]);
        if (!code) code = number(1, 64);
        if (!code || *code < 1) return fail("no such function key");
        c.kind = Command::Function;
        c.numbers = {*code};
        return {c, ""};
    }
    if (const std::optional<std::uint8_t> code = FunctionKeyCode(verb)) {
        if (count != 0) return fail("a key name stands alone");
        c.kind = Command::Function;
        c.numbers = {*code};
        return {c, ""};
    }
    if (verb == "type") {
        if (rest.empty()) return fail("give the text to type");
        for (char ch : rest) {
            if (static_cast<unsigned char>(ch) >= 0x80)
                return fail("type takes ASCII text; send other characters with char CODE");
        }
        c.kind = Command::Characters;
        c.bytes.assign(rest.begin(), rest.end());
        return {c, ""};
    }
    if (verb == "char") {
        const std::optional<unsigned long> code = number(1, 0xFFFF);
        if (count != 1 || !code) return fail("give one character code up to 0xFFFF");
        c.kind = Command::CharCode;
        c.numbers = {*code};
        return {c, ""};
    }
    if (verb == "scan") {
        if (count == 0) return fail("give scan codes");
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::optional<unsigned long> code = number(i, 0xFFFF);
            if (!code) return fail("bad scan code '" + words[i] + "'");
            c.numbers.push_back(*code);
        }
        c.kind = Command::ScanCodes;
        return {c, ""};
    }
    if (verb == "wait") {
        const std::string what = count >= 1 ? words[1] : "";
        if (what == "frame" && count == 1) {
            c.kind = Command::WaitFrame;
        } else if (what == "frames" && count == 2 && number(2, 1000000)) {
            c.kind = Command::WaitFrames;
            c.numbers = {*number(2, 1000000)};
        } else if (what == "dots" && count == 1) {
            c.kind = Command::WaitDots;
        } else if (what == "blank" && count == 1) {
            c.kind = Command::WaitBlank;
        } else if (what == "open" && count == 1) {
            c.kind = Command::WaitOpen;
        } else if (what == "cells" && count >= 2) {
            const std::size_t at = trimmed.find("cells") + 5;
            const std::optional<std::vector<std::uint8_t>> cells =
                ParseHex(trimmed.substr(at), zelsim::kSerialCells - kStatusCells);
            if (!cells) return fail("give 1 to 40 text cells in hex");
            c.kind = Command::WaitCells;
            c.bytes = *cells;
        } else {
            return fail("wait for: frame, frames N, dots, blank, cells HEX or open");
        }
        return {c, ""};
    }
    if (verb == "sleep") {
        const std::optional<unsigned long> ms = number(1, 3600000);
        if (count != 1 || !ms) return fail("give milliseconds");
        c.kind = Command::Sleep;
        c.numbers = {*ms};
        return {c, ""};
    }
    if (verb == "drop-acks") {
        c.kind = Command::DropAcks;
        if (count == 1 && (words[1] == "all" || words[1] == "off")) {
            c.flag = words[1] == "all";
            return {c, ""};
        }
        const std::optional<unsigned long> frames = number(1, 1000000);
        if (count != 1 || !frames) return fail("give a number of frames, all or off");
        c.numbers = {*frames};
        return {c, ""};
    }
    if (verb == "ack-delay") {
        const std::optional<unsigned long> ms = number(1, 600000);
        if (count != 1 || !ms) return fail("give milliseconds");
        c.kind = Command::AckDelay;
        c.numbers = {*ms};
        return {c, ""};
    }
    if (verb == "hold-acks") return onOff(Command::HoldAcks);
    if (verb == "silent") return onOff(Command::Silent);
    if (verb == "identify") return onOff(Command::Identify);
    if (verb == "text-cells") {
        const std::optional<unsigned long> cells = number(1, 0xFF);
        if (count != 1 || !cells) return fail("give a cell count up to 255");
        c.kind = Command::TextCells;
        c.numbers = {*cells};
        return {c, ""};
    }
    if (verb == "garbage") {
        const std::optional<std::vector<std::uint8_t>> bytes = ParseHex(rest, 4096);
        if (!bytes) return fail("give bytes in hex");
        c.kind = Command::Garbage;
        c.bytes = *bytes;
        return {c, ""};
    }
    const struct {
        const char* name;
        Command::Kind kind;
    } plain[] = {{"release-acks", Command::ReleaseAcks},
                 {"show", Command::Show},
                 {"stats", Command::Stats},
                 {"help", Command::Help},
                 {"quit", Command::Quit}};
    for (const auto& p : plain) {
        if (verb == p.name) {
            if (count != 0) return fail("takes no argument");
            c.kind = p.kind;
            return {c, ""};
        }
    }
    return fail("unknown command (try help)");
}

// ---- Options ----

struct Options {
    LinkOptions link;
    std::string script;
    bool trace = false;
    int timeoutSeconds = 30;
    zelsim::SerialDisplayOptions display;
    std::optional<unsigned long> dropAcks;  // kDropAll: every frame
    std::uint32_t ackDelay = 0;
    bool holdAcks = false;
    bool silent = false;
    std::vector<std::uint8_t> garbage;
    std::vector<std::string> commands;
    std::vector<std::string> program;
};

constexpr unsigned long kDropAll = ~0ul;

Options ParseOptions(int argc, char** argv) {
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
            Usage(stdout);
            std::exit(0);
        } else if (TakeLinkOption(arg, value, o.link)) {
            // --port, --wineprefix or --devices, taken
        } else if (arg == "--script") {
            o.script = value("--script");
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--timeout") {
            o.timeoutSeconds = static_cast<int>(Number(value("--timeout"), 86400, "--timeout"));
        } else if (TakeDisplayOption(arg, value, o.display)) {
            // --cells, --ids, --no-identify-reply or --pace, taken
        } else if (arg == "--drop-acks") {
            const std::string frames = value("--drop-acks");
            o.dropAcks = frames == "all" ? kDropAll : Number(frames, 1000000, "--drop-acks");
        } else if (arg == "--ack-delay") {
            o.ackDelay =
                static_cast<std::uint32_t>(Number(value("--ack-delay"), 600000, "--ack-delay"));
        } else if (arg == "--hold-acks") {
            o.holdAcks = true;
        } else if (arg == "--silent") {
            o.silent = true;
        } else if (arg == "--garbage") {
            const std::optional<std::vector<std::uint8_t>> bytes =
                ParseHex(value("--garbage"), 4096);
            if (!bytes) Die("--garbage wants bytes in hex");
            o.garbage = *bytes;
        } else if (arg.size() > 1 && arg[0] == '-' && arg.rfind("--", 0) == 0) {
            Usage(stderr);
            Die("unknown option '" + arg + "'");
        } else {
            o.commands.push_back(arg);
        }
    }
    for (; i < argc; ++i) o.program.push_back(argv[i]);
    if (!o.link.devices.empty() && !o.link.wineprefix.empty())
        Die("give --devices or --wineprefix, not both");
    return o;
}

// ---- The session ----

class Session {
  public:
    Session(SerialDisplay& display, const Options& options)
        : m_display(display), m_options(options) {}

    void Add(Command command) { m_pending.push_back(std::move(command)); }
    bool Idle() const { return m_pending.empty(); }
    bool Failed() const { return m_failed; }
    bool QuitAsked() const { return m_quit; }
    // In interactive use a failed command is reported and the next one runs; in a script the rest
    // is dropped.
    void SetInteractive(bool interactive) { m_interactive = interactive; }

    // Prints what came on the line since the last call.
    void ShowNew() {
        const std::vector<zelsim::SerialWireFrame> frames = m_display.WireFrom(m_wireSeen);
        m_wireSeen += frames.size();
        for (const zelsim::SerialWireFrame& frame : frames) {
            if (m_options.trace) Print("  " + DescribeFrame(frame));
            if (frame.fromDriver && frame.type == 0x00 &&
                frame.payload.size() == zelsim::kSerialCells) {
                // The display showed it: its line is the next one not printed yet.
                const std::vector<SerialCells> lines = m_display.ShownLinesFrom(m_linesPrinted);
                if (!lines.empty()) {
                    ++m_linesPrinted;
                    Print(DisplayLine(lines.front()));
                }
            }
        }
    }

    // Runs commands until one has to wait or none is left.
    void Run() {
        while (!m_pending.empty() && !m_quit) {
            Command& command = m_pending.front();
            std::string error;
            if (!Step(command, error)) {
                if (error.empty()) return;  // still waiting
                std::fflush(stdout);
                std::fprintf(stderr, "%s: %s\n", ProgramName(), error.c_str());
                if (!m_interactive) {
                    m_failed = true;
                    m_pending.clear();
                    return;
                }
            }
            m_pending.pop_front();
        }
    }

    // The commands left when the program ended.
    void Abandon() {
        if (m_pending.empty()) return;
        std::fprintf(stderr, "%s: the program ended before the commands did (next: '%s')\n",
                     ProgramName(), m_pending.front().text.c_str());
        m_failed = true;
        m_pending.clear();
    }

    void PrintStats() const {
        std::printf(
            "display frames %d, identify requests %d, acks sent %d, acks received %d, bad frames "
            "%d, bytes received %d (stray %d), answers pending %d\n",
            m_display.DisplayFramesReceived(), m_display.IdentifyRequests(), m_display.AcksSent(),
            m_display.AcksReceived(), m_display.BadFramesReceived(), m_display.BytesReceived(),
            m_display.StrayBytesReceived(), m_display.PendingAnswers());
        std::fflush(stdout);
    }

  private:
    static std::string DisplayLine(const SerialCells& cells) {
        return "display \u2502" + zelsim::BrailleText(cells.data(), kStatusCells) + "\u2502" +
               zelsim::BrailleText(cells.data() + kStatusCells, cells.size() - kStatusCells) +
               "\u2502";
    }

    void Garbage() {
        if (!m_options.garbage.empty()) m_display.SendBytes(m_options.garbage);
    }

    // Finds the first line shown after those already waited for that `matches`; moves past it.
    template <class Match>
    bool WaitLine(Match matches) {
        const std::vector<SerialCells> lines = m_display.ShownLinesFrom(m_linesWaited);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (matches(lines[i])) {
                m_linesWaited += i + 1;
                return true;
            }
        }
        return false;
    }

    // True when `command` is done; false while it waits (error empty) or when it failed.
    bool Step(Command& command, std::string& error) {
        const Clock::time_point now = Clock::now();
        switch (command.kind) {
            case Command::Routing: {
                const std::uint8_t code = static_cast<std::uint8_t>(command.numbers[0]);
                Garbage();
                m_display.PressRouting(code);
                Print("press " + RoutingName(code));
                return true;
            }
            case Command::Function: {
                const std::uint8_t code = static_cast<std::uint8_t>(command.numbers[0]);
                Garbage();
                m_display.PressFunction(code);
                Print("press " + FunctionKeyName(code));
                return true;
            }
            case Command::Characters:
                for (std::uint8_t ch : command.bytes) {
                    Garbage();
                    m_display.TypeCharacter(ch);
                }
                Print("type " + std::string(command.bytes.begin(), command.bytes.end()));
                return true;
            case Command::CharCode:
                Garbage();
                m_display.TypeCharacter(static_cast<std::uint16_t>(command.numbers[0]));
                Print(command.text);
                return true;
            case Command::ScanCodes:
                for (unsigned long code : command.numbers) {
                    Garbage();
                    m_display.SendScanCode(static_cast<std::uint16_t>(code));
                }
                Print(command.text);
                return true;
            case Command::Sleep:
                if (!command.deadline)
                    command.deadline = now + std::chrono::milliseconds(command.numbers[0]);
                return now >= *command.deadline;
            case Command::WaitFrame:
            case Command::WaitFrames:
            case Command::WaitDots:
            case Command::WaitBlank:
            case Command::WaitCells:
            case Command::WaitOpen: {
                if (!command.deadline)
                    command.deadline = now + std::chrono::seconds(m_options.timeoutSeconds);
                if (Satisfied(command)) return true;
                if (now >= *command.deadline)
                    error = "'" + command.text + "' timed out after " +
                            std::to_string(m_options.timeoutSeconds) + " s";
                return false;
            }
            case Command::DropAcks:
                if (command.numbers.empty()) {
                    m_display.SetDropAllAcks(command.flag);
                    if (!command.flag) m_display.DropNextAcks(0);
                } else {
                    m_display.SetDropAllAcks(false);
                    m_display.DropNextAcks(static_cast<int>(command.numbers[0]));
                }
                return true;
            case Command::AckDelay:
                m_display.SetAckDelay(static_cast<std::uint32_t>(command.numbers[0]));
                return true;
            case Command::HoldAcks:
                m_display.SetHoldAcks(command.flag);
                return true;
            case Command::ReleaseAcks:
                m_display.ReleaseHeldAcks();
                return true;
            case Command::Silent:
                m_display.SetSilent(command.flag);
                return true;
            case Command::Identify:
                m_display.SetAnswerIdentify(command.flag);
                return true;
            case Command::TextCells:
                m_display.SetCellCount(static_cast<std::uint8_t>(command.numbers[0]));
                return true;
            case Command::Garbage:
                m_display.SendBytes(command.bytes);
                return true;
            case Command::Show:
                Print(DisplayLine(m_display.ShownCells()));
                return true;
            case Command::Stats:
                PrintStats();
                return true;
            case Command::Help:
                CommandHelp();
                return true;
            case Command::Quit:
                m_quit = true;
                return true;
        }
        return true;
    }

    bool Satisfied(const Command& command) {
        switch (command.kind) {
            case Command::WaitFrame:
                return WaitLine([](const SerialCells&) { return true; });
            case Command::WaitFrames: {
                const std::size_t frames = command.numbers[0];
                if (static_cast<std::size_t>(m_display.DisplayFramesReceived()) < frames)
                    return false;
                m_linesWaited = std::max(m_linesWaited, frames);
                return true;
            }
            case Command::WaitDots:
                return WaitLine([](const SerialCells& cells) {
                    return std::any_of(cells.begin(), cells.end(),
                                       [](std::uint8_t c) { return c; });
                });
            case Command::WaitBlank:
                return WaitLine([](const SerialCells& cells) {
                    return std::all_of(cells.begin(), cells.end(),
                                       [](std::uint8_t c) { return c == 0; });
                });
            case Command::WaitCells:
                return WaitLine([&](const SerialCells& cells) {
                    return std::equal(command.bytes.begin(), command.bytes.end(),
                                      cells.begin() + kStatusCells);
                });
            case Command::WaitOpen: {
                const int dones = m_display.IdentifyDonesReceived();
                if (dones <= m_dones) return false;
                m_dones = dones;
                return true;
            }
            default:
                return true;
        }
    }

    static std::string RoutingName(std::uint8_t code) {
        const bool second = (code & 0x80) != 0;
        const int key = code & 0x7F;
        if (key == 1 || key == 2) return "STATUS" + std::to_string(key + (second ? 2 : 0));
        return std::string(second ? "Routing2 " : "Routing ") + std::to_string(key - 2);
    }

    SerialDisplay& m_display;
    const Options& m_options;
    std::deque<Command> m_pending;
    bool m_interactive = false;
    bool m_failed = false;
    bool m_quit = false;
    std::size_t m_wireSeen = 0;
    std::size_t m_linesPrinted = 0;
    std::size_t m_linesWaited = 0;
    int m_dones = 0;
};

// Lines typed on standard input, read without blocking.
class InputLines {
  public:
    // Complete lines that have come since the last call; `ended` once the input has ended.
    std::vector<std::string> Take() {
        std::vector<std::string> lines;
        if (m_ended) return lines;
        pollfd ready = {STDIN_FILENO, POLLIN, 0};
        while (poll(&ready, 1, 0) > 0) {
            char chunk[1024];
            const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                m_ended = true;
                break;
            }
            m_partial.append(chunk, static_cast<std::size_t>(got));
        }
        for (std::size_t newline; (newline = m_partial.find('\n')) != std::string::npos;) {
            lines.push_back(m_partial.substr(0, newline));
            m_partial.erase(0, newline + 1);
        }
        // A last line without a newline counts once the input has ended.
        if (m_ended && !m_partial.empty()) {
            lines.push_back(m_partial);
            m_partial.clear();
        }
        return lines;
    }
    bool Ended() const { return m_ended; }

  private:
    std::string m_partial;
    bool m_ended = false;
};

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("zel-sim");
    const Options options = ParseOptions(argc, argv);

    // Every command of the script and the arguments is read before the display starts, so that a
    // mistake in one stops nothing half-way.
    std::vector<Command> commands;
    auto take = [&](const std::string& line, const std::string& where) {
        Parsed parsed = ParseCommand(line);
        if (!parsed.error.empty()) Die(where + parsed.error);
        if (parsed.command) commands.push_back(std::move(*parsed.command));
    };
    if (!options.script.empty()) {
        std::ifstream script(options.script);
        if (!script) Die("cannot read the script " + options.script);
        int number = 0;
        for (std::string line; std::getline(script, line);)
            take(line, options.script + ":" + std::to_string(++number) + ": ");
    }
    for (const std::string& arg : options.commands) take(arg, "");
    const bool interactive = options.script.empty() && options.commands.empty();

    const std::string folder = PrepareLinkFolder(
        options.link, options.program,
        "no devices folder: give --devices DIR (native programs) or --wineprefix DIR");
    const std::string portName = "COM" + std::to_string(options.link.port);

    SerialDisplay display(options.display);
    if (options.dropAcks) {
        if (*options.dropAcks == kDropAll)
            display.SetDropAllAcks(true);
        else
            display.DropNextAcks(static_cast<int>(*options.dropAcks));
    }
    display.SetAckDelay(options.ackDelay);
    display.SetHoldAcks(options.holdAcks);
    display.SetSilent(options.silent);

    Session session(display, options);
    session.SetInteractive(interactive);
    for (Command& command : commands) session.Add(std::move(command));

    int programStatus = 0;
    {
        PortLink link(folder, options.link.port, display.SlavePath());
        TerminalKeeper keeper(display.SlavePath());
        Print("zel-sim: the display is on " + portName + " (" + link.Path() + " -> " +
              display.SlavePath() + ")");
        if (interactive && isatty(STDIN_FILENO))
            Print("zel-sim: type commands ('help' lists them, 'quit' ends)");

        pid_t child = 0;
        if (!options.program.empty()) child = StartCommand(options.program);
        ForwardSignalsTo(child);

        InputLines input;
        bool childRunning = child > 0;
        for (;;) {
            session.ShowNew();
            session.Run();
            if (interactive) {
                for (const std::string& line : input.Take()) {
                    Parsed parsed = ParseCommand(line);
                    if (!parsed.error.empty())
                        std::fprintf(stderr, "zel-sim: %s\n", parsed.error.c_str());
                    else if (parsed.command)
                        session.Add(std::move(*parsed.command));
                }
                session.Run();
            }
            if (childRunning) {
                int status = 0;
                const pid_t done = waitpid(child, &status, WNOHANG);
                if (done == child) {
                    childRunning = false;
                    programStatus = ShellStatus(status);
                    // What the program wrote last may still be on its way, and a wait may be
                    // about to be met by it.
                    Settle(display);
                    session.ShowNew();
                    session.Run();
                    session.Abandon();
                    break;
                }
                if (done < 0 && errno != EINTR) Die("waitpid failed");
                if (session.QuitAsked()) kill(child, SIGTERM);
            } else {
                if (session.QuitAsked() || session.Failed()) break;
                if (!interactive && session.Idle()) break;
                if (interactive && input.Ended() && session.Idle()) break;
            }
            if (SignalReceived() != 0 && !childRunning) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        }
        ForwardSignalsTo(0);
        session.ShowNew();
    }

    if (options.trace) session.PrintStats();
    if (SignalReceived() != 0) return 128 + SignalReceived();
    if (programStatus != 0) return programStatus;
    return session.Failed() ? 1 : 0;
}
