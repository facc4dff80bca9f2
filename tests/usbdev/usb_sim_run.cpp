// zel-usb-sim: runs a Windows program beside the simulated USB display under Wine. The display's
// firmware (the simulator's, as in the native build) sits behind a device of the test HID
// minidriver; the program finds it through Wine's HID class like any USB device. Once the display
// shows the expected cells it presses the keys given, in order; when the program has ended, the
// device is removed and its exit status returned.
//
//   zel-usb-sim [--timeout S] [--pace] [--wait-cells "HEX HEX ..."] [--route N]...
//               [--key CODE]... -- PROGRAM [ARGS...]
//
// --pace sends the display's input reports one per millisecond at most, as a device polled every
// millisecond would (for latency measurements).
// The display's line is printed as braille whenever it changes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wine_usb_display.h"

namespace {

struct Press {
    bool routing;
    std::uint8_t code;
};

int Usage(const char* why) {
    std::fprintf(
        stderr,
        "zel-usb-sim: %s\nusage: zel-usb-sim [--timeout S] [--pace] [--wait-cells \"HEX ...\"] "
        "[--route N]... [--key CODE]... -- PROGRAM [ARGS...]\n",
        why);
    return 2;
}

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

void Say(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    int timeoutSeconds = 60;
    bool pace = false;
    std::vector<std::uint8_t> waitCells;
    std::vector<Press> presses;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--pace") {
            pace = true;
            continue;
        }
        if (i + 1 >= argc) return Usage(("no value for " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--timeout") {
            timeoutSeconds = std::atoi(value);
        } else if (arg == "--wait-cells") {
            for (const char* p = value; *p;) {
                char* end = nullptr;
                const unsigned long cell = std::strtoul(p, &end, 16);
                if (end == p) break;
                waitCells.push_back(static_cast<std::uint8_t>(cell));
                p = end;
            }
        } else if (arg == "--route") {
            presses.push_back({true, static_cast<std::uint8_t>(std::atoi(value))});
        } else if (arg == "--key") {
            presses.push_back({false, static_cast<std::uint8_t>(std::atoi(value))});
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (i >= argc) return Usage("no program to run");
    std::string command;
    for (; i < argc; ++i) command += (command.empty() ? "" : " ") + Quote(argv[i]);

    zelusb::Bench bench;
    zelusb::WineUsbDisplay display(bench);
    if (display.Slot() < 0) {
        std::fprintf(stderr, "zel-usb-sim: no USB display: %s\n", bench.Error().c_str());
        return 1;
    }
    if (pace) {
        display.SetPaceReports(true);
        // The host's reads cannot be seen from here: the reports that wait leave on a timer.
        bench.SetTick(1, [&display] { display.SendDueAcks(); });
    }
    Say("zel-usb-sim: the USB display is plugged in\n");

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "zel-usb-sim: cannot run %s (error %lu)\n", command.c_str(),
                     GetLastError());
        return 1;
    }

    const DWORD start = GetTickCount();
    std::string shown = display.ShownBraille();
    bool pressed = presses.empty();
    bool ended = false;
    while (!ended) {
        ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        const std::string now = display.ShownBraille();
        if (now != shown) {
            shown = now;
            Say("display: " + shown + "\n");
        }
        if (!pressed) {
            const zelsim::UsbCells cells = display.ShownCells();
            bool showing = true;
            for (std::size_t c = 0; c < waitCells.size() && c < cells.size(); ++c)
                showing = showing && cells[c] == waitCells[c];
            if (showing) {
                for (const Press& press : presses) {
                    if (press.routing)
                        display.PressRouting(press.code);
                    else
                        display.PressFunction(press.code);
                }
                pressed = true;
            }
        }
        if (!ended && GetTickCount() - start > static_cast<DWORD>(timeoutSeconds) * 1000) {
            std::fprintf(stderr, "zel-usb-sim: %s did not end within %d s\n", command.c_str(),
                         timeoutSeconds);
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    bench.SetTick(0, nullptr);
    // The summary counts everything the host wrote, the blank line of its Close included.
    if (!bench.WaitDelivered()) std::fprintf(stderr, "zel-usb-sim: %s\n", bench.Error().c_str());
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!pressed) {
        std::fprintf(stderr, "zel-usb-sim: the display never showed the expected cells\n");
        if (status == 0) status = 1;
    }
    Say("zel-usb-sim: frames " + std::to_string(display.FramesReceived()) + ", hellos " +
        std::to_string(display.HellosReceived()) + ", malformed reports " +
        std::to_string(display.MalformedReports()) + "\n");
    return static_cast<int>(status);
}
