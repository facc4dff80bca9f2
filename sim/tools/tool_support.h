// What the simulator's command-line tools share: numbers and cells on the command line, the names
// of the serial frames, the COM port link in a devices folder, and running a command beside the
// simulated display.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <zel_sim/serial_display.h>

namespace zelsim::tools {

// The exit status of a usage or set-up error.
constexpr int kUsageError = 2;

// The name that Die puts in front of its message ("zel-sim").
void SetProgramName(const char* name);
const char* ProgramName();

// Prints "<program>: message" on stderr and exits with kUsageError.
[[noreturn]] void Die(const std::string& message);

// ---- Numbers and cells ----

// A whole number in C notation (12, 0x1C, 017) no larger than `max`; nothing when it is not one.
std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long max);
// The same, or Die naming `what`.
unsigned long Number(const std::string& text, unsigned long max, const char* what);
// Bytes in hex, with spaces, commas or colons allowed between them ("47 00 ff", "4700ff");
// nothing when the text is no such list or holds more than `maxBytes` bytes or none.
std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text, std::size_t maxBytes);
// Bytes as lower-case hex, separated by spaces.
std::string Hex(const std::uint8_t* bytes, std::size_t count);
inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
    return Hex(bytes.data(), bytes.size());
}

// ---- The display's options ----

// Where the display's line is linked: the COM port number and the folder of its comN entry.
struct LinkOptions {
    int port = 5;
    std::string wineprefix;  // --wineprefix DIR: DIR/dosdevices
    std::string devices;     // --devices DIR: DIR itself, for native programs
};

// Prepares the link's folder for a command run beside the display, and returns it: the devices
// folder (made if missing; sets ZEL_DOSDEVICES) or the Wine prefix's dosdevices folder (sets
// ZEL_WINEPREFIX and WINEPREFIX). Also sets ZEL_PTY_COM=COMn. Dies with `noFolder` when there is
// neither, or when the folder is missing.
std::string PrepareLinkFolder(const LinkOptions& link, const std::vector<std::string>& command,
                              const char* noFolder);

// Takes --port N, --wineprefix DIR or --devices DIR into `link`; false when `arg` is none of them.
template <typename Value>
bool TakeLinkOption(const std::string& arg, Value value, LinkOptions& link) {
    if (arg == "--port") {
        link.port = static_cast<int>(Number(value("--port"), 256, "--port"));
        if (link.port < 1) Die("--port must be 1 to 256");
    } else if (arg == "--wineprefix") {
        link.wineprefix = value("--wineprefix");
    } else if (arg == "--devices") {
        link.devices = value("--devices");
    } else {
        return false;
    }
    return true;
}

// Takes one of the display's own options (--cells N, --ids A,B, --no-identify-reply) into
// `display`, asking `value` for its value; false when `arg` is none of them. Bad values Die.
template <typename Value>
bool TakeDisplayOption(const std::string& arg, Value value, SerialDisplayOptions& display);

// ---- Frames ----

// The name of a frame type ("frame", "ack", "routing", ...), or the type in hex ("0x42").
std::string FrameTypeName(std::uint8_t type);
// The type of a name that FrameTypeName gives.
std::optional<std::uint8_t> FrameTypeOf(const std::string& name);
// One frame on one line: its direction, its name and its payload ("display routing 05"). The
// cells of a display frame are left out: they are shown as braille elsewhere.
std::string DescribeFrame(const SerialWireFrame& frame);

// ---- Files ----

bool IsFile(const std::string& path);
bool IsDirectory(const std::string& path);
// The path with symbolic links resolved, or the path itself when it does not exist.
std::string Absolute(const std::string& path);

// The Wine prefix for a command: `wineprefix` when given, else $ZEL_WINEPREFIX, else $WINEPREFIX,
// else the "wineprefix" folder of the build folder (the one with CMakeCache.txt) holding the first
// argument of `command` that names an existing file, as tools/wine-run finds it. "" when none.
std::string FindWinePrefix(const std::string& wineprefix, const std::vector<std::string>& command);

// The link comN -> the display's slave in a devices folder, for this object's lifetime. Programs
// linking the same port in the same folder take turns (the lock file that tools/pty-com uses);
// an entry that was there before is put back afterwards.
class PortLink {
  public:
    PortLink(const std::string& folder, int port, const std::string& target);
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& Path() const { return m_path; }

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
    explicit TerminalKeeper(const std::string& slave);
    ~TerminalKeeper();
    TerminalKeeper(const TerminalKeeper&) = delete;
    TerminalKeeper& operator=(const TerminalKeeper&) = delete;

  private:
    pid_t m_pid = -1;
    int m_hold[2] = {-1, -1};
};

// ---- Running a command ----

// Starts `command` (searched in PATH); the child reports on stderr and exits 127 when it cannot.
pid_t StartCommand(const std::vector<std::string>& command);
// Sends SIGINT, SIGTERM and SIGHUP on to `child` from now on (0: to nobody), and remembers the
// last one that came.
void ForwardSignalsTo(pid_t child);
// The last signal forwarded, or 0.
int SignalReceived();
// An exit status in the shell's terms: the code, or 128 + the signal.
int ShellStatus(int waitStatus);

// Once the other side is done writing: waits until the display has taken in every byte written
// to it, so that what it shows and counts is final; false, with a message, if it did not.
bool Settle(const SerialDisplay& display);

template <typename Value>
bool TakeDisplayOption(const std::string& arg, Value value, SerialDisplayOptions& display) {
    if (arg == "--cells") {
        display.textCells = static_cast<std::uint8_t>(Number(value("--cells"), 0xFF, "--cells"));
    } else if (arg == "--ids") {
        const std::string ids = value("--ids");
        const std::size_t comma = ids.find(',');
        if (comma == std::string::npos) Die("--ids wants A,B");
        display.deviceId1 = static_cast<std::uint8_t>(Number(ids.substr(0, comma), 0xFF, "--ids"));
        display.deviceId2 = static_cast<std::uint8_t>(Number(ids.substr(comma + 1), 0xFF, "--ids"));
    } else if (arg == "--no-identify-reply") {
        display.answerIdentify = false;
    } else if (arg == "--pace") {
        display.lineRate = zelsim::kLineRate;
    } else {
        return false;
    }
    return true;
}

}  // namespace zelsim::tools
