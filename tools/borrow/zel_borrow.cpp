// zel-borrow: borrows the braille display from the ZEL driver for another program, and hands it
// back. It is the other program's side of the shared control block: the tool a firmware or
// settings program can run, or copy, to have the display's COM port to itself for a while.
//
//   zel-borrow [OPTIONS] [-- COMMAND [ARGS...]]
//
// It makes the section "qx517sharemem", waits until the driver publishes its COM port number,
// asks for the display (101) and waits for the answer (102), prints the port and the display's
// two identification bytes, and then waits for a key, holds the display for --hold seconds, or
// runs COMMAND with the port free. Then it hands the display back (200 plus --leave), also after
// Ctrl-C, and waits until the driver has taken it.
//
// Exit status: 0 (with COMMAND, the command's status); 1 with a sentence on stderr when no driver
// answered, another program has the display, or the driver did not take it back; 2 for a usage
// error; 130 when an interrupt ended the wait (the display was handed back all the same).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "borrow_platform.h"
#include "shared_block_client.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsageError = 2;
constexpr int kInterruptedStatus = 130;
constexpr int kCommandNotRun = 127;

struct Options {
    int timeoutSeconds = 5;
    std::optional<int> holdSeconds;
    std::int32_t leave = 0;
    std::vector<std::string> command;
};

// The block lives as long as the program: the console's last-chance handler hands the display
// back through it.
SharedBlockClient g_block;
std::int32_t g_leave = 0;

void HandBackAtOnce() { g_block.HandBack(g_leave); }

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Fail(const std::string& sentence) {
    std::fflush(stdout);
    std::fprintf(stderr, "zel-borrow: %s\n", sentence.c_str());
    std::fflush(stderr);
    return kFailure;
}

void Usage(FILE* out) {
    std::fputs(
        "usage: zel-borrow [OPTIONS] [-- COMMAND [ARGS...]]\n"
        "Borrows the braille display from the ZEL driver, then hands it back.\n"
        "  --hold SECONDS     hold the display this long, then hand it back\n"
        "  --leave N          the value (0-199) the driver leaves in the block when it takes\n"
        "                     the display back (default 0)\n"
        "  --timeout SECONDS  how long to wait for the driver at each step (default 5)\n"
        "Without --hold or COMMAND it waits for a key (or a line, or the end of the input).\n"
        "COMMAND runs with the port free and ZEL_BORROW_PORT (COMn, empty when none),\n"
        "ZEL_BORROW_ID1 and ZEL_BORROW_ID2 in its environment; its status is zel-borrow's.\n"
        "Ctrl-C hands the display back too.\n",
        out);
}

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "zel-borrow: %s\n", message.c_str());
    std::exit(kUsageError);
}

int Number(const std::string& text, int min, int max, const std::string& what) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < min || value > max)
        UsageError(what + " wants a number from " + std::to_string(min) + " to " +
                   std::to_string(max));
    return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) UsageError(arg + " wants a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--hold") {
            o.holdSeconds = Number(value(), 0, 86400, arg);
        } else if (arg == "--leave") {
            // 200 and above would read as another hand-back.
            o.leave = Number(value(), 0, SharedBlockClient::kResumeRequest - 1, arg);
        } else if (arg == "--timeout") {
            o.timeoutSeconds = Number(value(), 1, 3600, arg);
        } else if (arg == "--") {
            o.command.assign(argv + i + 1, argv + argc);
            if (o.command.empty()) UsageError("-- wants a command");
            break;
        } else {
            Usage(stderr);
            UsageError("unknown argument '" + arg + "'");
        }
    }
    if (o.holdSeconds && !o.command.empty()) UsageError("--hold and a command exclude each other");
    return o;
}

std::string PortName(std::int32_t port) {
    return port == 0 ? std::string() : "COM" + std::to_string(port);
}

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

// Holds the display for `seconds`, or until an interrupt.
void Hold(int seconds) {
    const DWORD start = GetTickCount();
    const DWORD total = static_cast<DWORD>(seconds) * 1000;
    while (!Interrupted()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= total) return;
        Sleep(total - elapsed < 50 ? total - elapsed : 50);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    g_leave = options.leave;
    const DWORD timeoutMs = static_cast<DWORD>(options.timeoutSeconds) * 1000;
    CatchInterrupts(HandBackAtOnce);

    std::string error;
    if (!g_block.Open(error)) return Fail("cannot make the shared control block: " + error + ".");

    std::int32_t port = 0;
    switch (g_block.WaitForDriver(timeoutMs, Interrupted, port)) {
        case BlockWait::Done:
            break;
        case BlockWait::TimedOut:
            return Fail("no driver answered within " + std::to_string(options.timeoutSeconds) +
                        " s: no program has the ZEL driver open on this machine.");
        case BlockWait::Busy:
            return Fail("another program is borrowing the display (the block holds " +
                        std::to_string(port) + ").");
        case BlockWait::Interrupted:
            return kInterruptedStatus;
    }

    std::uint8_t id1 = 0;
    std::uint8_t id2 = 0;
    const BlockWait asked = g_block.RequestDisplay(timeoutMs, Interrupted, id1, id2);
    int status = 0;
    if (asked == BlockWait::Done) {
        Say("borrowed the display: port %s, identification bytes %s %s",
            port == 0 ? "none" : PortName(port).c_str(), Hex(id1).c_str(), Hex(id2).c_str());
        if (!options.command.empty()) {
            const std::vector<std::pair<std::string, std::string>> environment = {
                {"ZEL_BORROW_PORT", PortName(port)},
                {"ZEL_BORROW_ID1", Hex(id1)},
                {"ZEL_BORROW_ID2", Hex(id2)}};
            status = RunCommand(options.command, environment, error);
            if (status < 0) {
                Fail(error + ".");
                status = kCommandNotRun;
            }
        } else if (options.holdSeconds) {
            Say("holding it for %d s", *options.holdSeconds);
            Hold(*options.holdSeconds);
        } else {
            Say("press Enter to hand it back");
            WaitForKeyOrInterrupt();
        }
    } else if (asked == BlockWait::TimedOut) {
        status = Fail("the driver did not let the display go within " +
                      std::to_string(options.timeoutSeconds) + " s.");
    }

    // Asked for is borrowed: it goes back whatever happened since.
    if (Interrupted()) Say("interrupted: handing the display back");
    g_block.HandBack(options.leave);
    if (g_block.WaitForHandBack(timeoutMs) != BlockWait::Done) {
        return Fail("the driver has not taken the display back within " +
                    std::to_string(options.timeoutSeconds) + " s.");
    }
    Say("handed the display back");
    g_block.Close();
    if (!options.command.empty() && asked == BlockWait::Done) return status;
    if (Interrupted()) return kInterruptedStatus;
    return status;
}
