#include "tool_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace zelsim::tools {

namespace {

const char* g_programName = "zel-sim";

volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_signal = 0;

void ForwardSignal(int number) {
    g_signal = number;
    if (g_child > 0) kill(static_cast<pid_t>(g_child), number);
}

struct TypeName {
    std::uint8_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0x00, "frame"},    {0x10, "function"}, {0x11, "routing"}, {0x13, "char"}, {0x14, "scan"},
    {0x24, "identify"}, {0x25, "reply"},    {0x26, "done"},    {0x7F, "ack"},
};

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

}  // namespace

void SetProgramName(const char* name) { g_programName = name; }

const char* ProgramName() { return g_programName; }

void Die(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", g_programName, message.c_str());
    std::exit(kUsageError);
}

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || value > max) return std::nullopt;
    return value;
}

unsigned long Number(const std::string& text, unsigned long max, const char* what) {
    const std::optional<unsigned long> value = ParseNumber(text, max);
    if (!value) Die(std::string("bad ") + what + ": '" + text + "'");
    return *value;
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text, std::size_t maxBytes) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > maxBytes)
        return std::nullopt;
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

std::string FrameTypeName(std::uint8_t type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type) return t.name;
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", type);
    return text;
}

std::optional<std::uint8_t> FrameTypeOf(const std::string& name) {
    for (const TypeName& t : kTypeNames)
        if (name == t.name) return t.type;
    return std::nullopt;
}

std::string DescribeFrame(const SerialWireFrame& frame) {
    std::string text = frame.fromDriver ? "driver  " : "display ";
    text += FrameTypeName(frame.type);
    if (frame.type == 0x00) {
        text += " (" + std::to_string(frame.payload.size()) + " cells)";
    } else if (!frame.payload.empty()) {
        text += " " + Hex(frame.payload);
    }
    return text;
}

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

std::string FindWinePrefix(const std::string& wineprefix, const std::vector<std::string>& command) {
    if (!wineprefix.empty()) return Absolute(wineprefix);
    for (const char* name : {"ZEL_WINEPREFIX", "WINEPREFIX"}) {
        const char* value = std::getenv(name);
        if (value && *value) return Absolute(value);
    }
    for (const std::string& arg : command) {
        if (!IsFile(arg)) continue;
        for (std::string dir = Parent(Absolute(arg)); dir != "/"; dir = Parent(dir))
            if (IsFile(dir + "/CMakeCache.txt")) return dir + "/wineprefix";
    }
    return "";
}

PortLink::PortLink(const std::string& folder, int port, const std::string& target)
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

PortLink::~PortLink() {
    unlink(m_path.c_str());
    if (m_previous && symlink(m_previous->c_str(), m_path.c_str()) != 0)
        std::fprintf(stderr, "%s: could not restore %s -> %s\n", g_programName, m_path.c_str(),
                     m_previous->c_str());
    close(m_lock);
}

TerminalKeeper::TerminalKeeper(const std::string& slave) {
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
        std::fprintf(stderr, "%s: could not take %s as a terminal\n", g_programName, slave.c_str());
    close(ready[0]);
}

TerminalKeeper::~TerminalKeeper() {
    close(m_hold[1]);  // the keeper reads end of file and leaves
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}

pid_t StartCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) Die("fork failed");
    if (child == 0) {
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "%s: cannot run %s: %s\n", g_programName, argv[0],
                     std::strerror(errno));
        _exit(127);
    }
    return child;
}

void ForwardSignalsTo(pid_t child) {
    g_child = child;
    struct sigaction action {};
    action.sa_handler = ForwardSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

int SignalReceived() { return g_signal; }

int ShellStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return 1;
}

bool Settle(const SerialDisplay& display) {
    constexpr int kTakeInMs = 30000;
    if (display.WaitTakenIn(kTakeInMs)) return true;
    std::fprintf(stderr, "%s: the display did not take in the bytes written to it within %d s\n",
                 ProgramName(), kTakeInMs / 1000);
    return false;
}

std::string PrepareLinkFolder(const LinkOptions& link, const std::vector<std::string>& command,
                              const char* noFolder) {
    std::string folder;
    if (!link.devices.empty()) {
        mkdir(link.devices.c_str(), 0755);  // a folder of the caller's own: made if missing
        folder = Absolute(link.devices);
        setenv("ZEL_DOSDEVICES", folder.c_str(), 1);
    } else {
        const std::string prefix = FindWinePrefix(link.wineprefix, command);
        if (prefix.empty()) Die(noFolder);
        folder = prefix + "/dosdevices";
        setenv("ZEL_WINEPREFIX", prefix.c_str(), 1);
        setenv("WINEPREFIX", prefix.c_str(), 1);
    }
    if (!IsDirectory(folder)) Die(folder + " is no folder (is the Wine prefix made?)");
    const std::string portName = "COM" + std::to_string(link.port);
    setenv("ZEL_PTY_COM", portName.c_str(), 1);
    return folder;
}

}  // namespace zelsim::tools
