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
// Exit status: COMMAND's when it failed (128 + the signal when one ended it); else 1 when an
// expectation failed or the script did not run to its end; 2 for a usage or setup error.
#include <zel_sim/serial_display.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;

volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_signal = 0;

void ForwardSignal(int number) {
    g_signal = number;
    if (g_child > 0) kill(static_cast<pid_t>(g_child), number);
}

[[noreturn]] void Die(const std::string& message) {
    std::fprintf(stderr, "zel-serial-sim-run: %s\n", message.c_str());
    std::exit(kUsageError);
}

void Usage() {
    std::fputs(
        "usage: zel-serial-sim-run [OPTIONS] -- COMMAND [ARGS...]\n"
        "  --port N             the COM port (default 5)\n"
        "  --wineprefix DIR     the Wine prefix whose dosdevices folder gets the link\n"
        "  --devices DIR        link in DIR instead (native programs; sets ZEL_DOSDEVICES)\n"
        "  --cells N            main cells in the identification reply (default 40)\n"
        "  --ids A,B            the two identification bytes (default 0x12,0x34)\n"
        "  --no-identify-reply  acknowledge the identification request, send no reply\n"
        "  --timeout SECONDS    end COMMAND after this long (default: no limit)\n"
        "script, in order (each message waits for the --after-frames before it):\n"
        "  --after-frames K     later messages wait until K display frames have arrived\n"
        "  --press-routing N  --press-function N  --type-char N  --scan N\n"
        "  --step-ms MS         real time between two messages (default 50)\n"
        "expectations:\n"
        "  --expect-cells HEX   the first cells shown, in host dot order (\"47 00 ff\")\n"
        "  --expect-shown HEX   some line shown began with these cells (host dot order)\n"
        "  --expect-wire LIST   these frames in this order, others between allowed; each\n"
        "                       [driver:|display:]NAME, NAME one of frame function routing\n"
        "                       char scan identify reply done ack, or a type (0x42)\n",
        stderr);
}

unsigned long Number(const std::string& text, unsigned long max, const char* what) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value > max)
        Die(std::string("bad ") + what + ": '" + text + "'");
    return value;
}

// ---- Frame names ----

struct TypeName {
    std::uint8_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0x00, "frame"},    {0x10, "function"}, {0x11, "routing"}, {0x13, "char"}, {0x14, "scan"},
    {0x24, "identify"}, {0x25, "reply"},    {0x26, "done"},    {0x7F, "ack"},
};

std::string NameOf(std::uint8_t type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type) return t.name;
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", type);
    return text;
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
    for (const TypeName& t : kTypeNames) {
        if (item == t.name) {
            pattern.type = t.type;
            return pattern;
        }
    }
    pattern.type = static_cast<std::uint8_t>(Number(item, 0xFF, "frame name in --expect-wire"));
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

std::vector<std::uint8_t> ParseHex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) Die("bad cell list: '" + text + "'");
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > zelsim::kSerialCells)
        Die("a cell list is 1 to 42 bytes in hex: '" + text + "'");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), i ? " %02x" : "%02x", bytes[i]);
        text += byte;
    }
    return text;
}

// ---- Options ----

struct Step {
    int afterFrames;
    enum Kind { Routing, Function, Character, ScanCode } kind;
    std::uint16_t code;
};

struct Options {
    int port = 5;
    std::string wineprefix;
    std::string devices;
    zelsim::SerialDisplayOptions display;
    int timeoutSeconds = 0;
    int stepMs = 50;
    std::vector<Step> script;
    std::optional<std::vector<std::uint8_t>> expectCells;
    std::optional<std::vector<std::uint8_t>> expectShown;
    std::optional<std::vector<WirePattern>> expectWire;
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
        } else if (arg == "--port") {
            o.port = static_cast<int>(Number(value("--port"), 256, "--port"));
            if (o.port < 1) Die("--port must be 1 to 256");
        } else if (arg == "--wineprefix") {
            o.wineprefix = value("--wineprefix");
        } else if (arg == "--devices") {
            o.devices = value("--devices");
        } else if (arg == "--cells") {
            o.display.textCells =
                static_cast<std::uint8_t>(Number(value("--cells"), 0xFF, "--cells"));
        } else if (arg == "--ids") {
            const std::string ids = value("--ids");
            const std::size_t comma = ids.find(',');
            if (comma == std::string::npos) Die("--ids wants A,B");
            o.display.deviceId1 =
                static_cast<std::uint8_t>(Number(ids.substr(0, comma), 0xFF, "--ids"));
            o.display.deviceId2 =
                static_cast<std::uint8_t>(Number(ids.substr(comma + 1), 0xFF, "--ids"));
        } else if (arg == "--no-identify-reply") {
            o.display.answerIdentify = false;
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
        } else if (arg == "--expect-cells") {
            o.expectCells = ParseHex(value("--expect-cells"));
        } else if (arg == "--expect-shown") {
            o.expectShown = ParseHex(value("--expect-shown"));
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

// ---- The devices folder ----

bool IsFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Absolute(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string result = real;
    std::free(real);
    return result;
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string FindPrefix(const Options& o) {
    if (!o.wineprefix.empty()) return Absolute(o.wineprefix);
    for (const char* name : {"ZEL_WINEPREFIX", "WINEPREFIX"}) {
        const char* value = std::getenv(name);
        if (value && *value) return Absolute(value);
    }
    for (const std::string& arg : o.command) {
        if (!IsFile(arg)) continue;
        for (std::string dir = Parent(Absolute(arg)); dir != "/"; dir = Parent(dir))
            if (IsFile(dir + "/CMakeCache.txt")) return dir + "/wineprefix";
    }
    Die("no Wine prefix: give --wineprefix, set WINEPREFIX, pass a program of a build folder, or "
        "use --devices");
}

// The link comN -> the display's slave, for the runner's lifetime.
class PortLink {
  public:
    PortLink(const std::string& folder, int port, const std::string& target)
        : m_path(folder + "/com" + std::to_string(port)) {
        const std::string lock = folder + "/.pty-com" + std::to_string(port) + ".lock";
        m_lock = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_lock < 0 || flock(m_lock, LOCK_EX) != 0) Die("cannot lock " + lock);
        struct stat st {};
        if (lstat(m_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) Die(m_path + " exists and is no symbolic link");
            char previous[4096];
            const ssize_t length = readlink(m_path.c_str(), previous, sizeof(previous) - 1);
            if (length < 0) Die("cannot read the link " + m_path);
            m_previous = std::string(previous, static_cast<std::size_t>(length));
            unlink(m_path.c_str());
        }
        if (symlink(target.c_str(), m_path.c_str()) != 0) Die("cannot link " + m_path);
    }
    ~PortLink() {
        unlink(m_path.c_str());
        if (m_previous && symlink(m_previous->c_str(), m_path.c_str()) != 0)
            std::fprintf(stderr, "zel-serial-sim-run: could not restore %s -> %s\n", m_path.c_str(),
                         m_previous->c_str());
        close(m_lock);
    }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

  private:
    std::string m_path;
    std::optional<std::string> m_previous;
    int m_lock = -1;
};

// Wine's server runs as a session leader without a terminal, so opening the COM port's
// pseudo-terminal would make that its controlling terminal, and closing the master at the end
// would hang up on the server (it dumps all its objects to stderr on that SIGHUP). A small process
// in a session of its own takes the terminal first, so that no one else can.
class TerminalKeeper {
  public:
    explicit TerminalKeeper(const std::string& slave) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(m_hold, O_CLOEXEC) != 0) Die("pipe2 failed");
        m_pid = fork();
        if (m_pid < 0) Die("fork failed");
        if (m_pid == 0) {
            // Only async-signal-safe calls: the simulator's thread runs in the parent.
            close(ready[0]);
            close(m_hold[1]);  // else the keeper would hold open the end it waits on
            setsid();
            const int fd = open(slave.c_str(), O_RDWR);  // no O_NOCTTY: this is the point
            const char result = fd >= 0 ? '1' : '0';
            [[maybe_unused]] const ssize_t ignored = write(ready[1], &result, 1);
            char byte;
            while (read(m_hold[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(m_hold[0]);
        char result = '0';
        if (read(ready[0], &result, 1) != 1 || result != '1')
            std::fprintf(stderr, "zel-serial-sim-run: could not take %s as a terminal\n",
                         slave.c_str());
        close(ready[0]);
    }
    ~TerminalKeeper() {
        close(m_hold[1]);  // the keeper reads end of file and leaves
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    TerminalKeeper(const TerminalKeeper&) = delete;
    TerminalKeeper& operator=(const TerminalKeeper&) = delete;

  private:
    pid_t m_pid = -1;
    int m_hold[2] = {-1, -1};
};

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
    }
    return "?";
}

pid_t Start(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) Die("fork failed");
    if (child == 0) {
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "zel-serial-sim-run: cannot run %s: %s\n", argv[0],
                     std::strerror(errno));
        _exit(127);
    }
    return child;
}

// The exit status in the shell's terms: the code, or 128 + the signal.
int StatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// Lets the display read what the command wrote last: waits until no byte has come for a while.
void Settle(const zelsim::SerialDisplay& display) {
    int last = display.BytesReceived();
    for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 50; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int now = display.BytesReceived();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
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
        const zelsim::SerialWireFrame& f = wire[i];
        std::printf("  %-7s %s", f.fromDriver ? "driver" : "display", NameOf(f.type).c_str());
        if (!f.payload.empty() && f.type != 0x00)  // display frames: the cells line shows the last
            std::printf(" %s", Hex(f.payload.data(), f.payload.size()).c_str());
        if (j - i > 1) std::printf(" (x%zu)", j - i);
        std::printf("\n");
        i = j;
    }
}

// How far `patterns` match `wire` in order, others allowed between.
std::size_t MatchWire(const std::vector<zelsim::SerialWireFrame>& wire,
                      const std::vector<WirePattern>& patterns) {
    std::size_t matched = 0;
    for (const zelsim::SerialWireFrame& f : wire) {
        if (matched == patterns.size()) break;
        const WirePattern& p = patterns[matched];
        if (f.type == p.type && (!p.fromDriver || *p.fromDriver == f.fromDriver)) ++matched;
    }
    return matched;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);

    std::string folder;
    if (!options.devices.empty()) {
        mkdir(options.devices.c_str(), 0755);  // a folder of the caller's own: made if missing
        folder = Absolute(options.devices);
        setenv("ZEL_DOSDEVICES", folder.c_str(), 1);
    } else {
        const std::string prefix = FindPrefix(options);
        folder = prefix + "/dosdevices";
        setenv("ZEL_WINEPREFIX", prefix.c_str(), 1);
        setenv("WINEPREFIX", prefix.c_str(), 1);
    }
    if (!IsDirectory(folder)) Die(folder + " is no folder (is the Wine prefix made?)");
    const std::string portName = "COM" + std::to_string(options.port);
    setenv("ZEL_PTY_COM", portName.c_str(), 1);

    zelsim::SerialDisplay display(options.display);
    int commandStatus = 0;
    std::size_t stepsSent = 0;
    bool timedOut = false;
    {
        PortLink link(folder, options.port, display.SlavePath());
        TerminalKeeper keeper(display.SlavePath());
        std::printf("zel-serial-sim-run: %s -> %s\n", portName.c_str(),
                    display.SlavePath().c_str());
        std::fflush(stdout);

        struct sigaction action {};
        action.sa_handler = ForwardSignal;
        sigemptyset(&action.sa_mask);
        for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);

        const pid_t child = Start(options.command);
        g_child = child;
        const Clock::time_point start = Clock::now();
        Clock::time_point nextStep = start;
        Clock::time_point killAt = Clock::time_point::max();
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) break;
            if (done < 0 && errno != EINTR) Die("waitpid failed");
            const Clock::time_point now = Clock::now();
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
        g_child = 0;
        commandStatus = StatusOf(status);
        Settle(display);
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
    std::fflush(stdout);
    if (g_signal != 0) return 128 + g_signal;
    if (commandStatus != 0) return commandStatus;
    return failed ? 1 : 0;
}
