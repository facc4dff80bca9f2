// zel-host: a small screen-reader host that loads the driver and drives a display.
//
//   zel-host [OPTIONS] [COMMAND...]
//
// Loads the driver library, checks that it is ZEL, and runs commands: open the display on a port,
// write a line of text (translated to 8-dot computer braille) or cells, suspend, resume, close.
// Every key the display reports (OnKey) and every keyboard report (OnData) is printed as it
// arrives. Commands come from --script FILE, then from the arguments; with neither, from standard
// input, one a line.
//
// The thread that opens the driver runs a message loop whenever it is not running a command: the
// driver's key events arrive through a hidden window on that thread. Lines typed on standard input
// are read by a thread of their own and posted to it.
//
// Exit status: 0 when every command ran; 1 with a sentence on stderr when one failed (no such
// port, no display answering, a library that is no ZEL driver, a wait that timed out); 2 for a
// usage error. The driver is closed before the program ends.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "braille_text.h"
#include "driver_library.h"
#include "host_interface.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// A line typed on standard input, posted to the main thread: lParam is a std::string* it takes.
constexpr UINT kLineMessage = WM_APP + 1;
// Standard input has ended.
constexpr UINT kInputEndedMessage = WM_APP + 2;

std::mutex g_printMutex;

// One line on stdout; OnData prints from the driver's worker thread, so lines are whole.
void Say(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: zel-host [OPTIONS] [COMMAND...]\n"
                 "  --library PATH     the driver library (default %s)\n"
                 "  --script FILE      run the commands in FILE (one a line, # starts a comment)\n"
                 "  --table TABLE      liblouis table for text (default %s)\n"
                 "  --timeout SECONDS  how long wait-key and wait-data wait (default 30)\n"
                 "  --translate TEXT   print the cells of TEXT in hex and end (no driver)\n"
#ifndef _WIN32
                 "  --devices DIR      the folder whose comN entries are the COM ports\n"
                 "                     (sets ZEL_DOSDEVICES)\n"
#endif
                 "Without COMMANDs or --script, commands are read from standard input.\n",
                 DefaultDriverLibrary(), kDefaultBrailleTable);
}

void CommandHelp() {
    Say("open [PORT]         open the display on PORT (default $ZEL_PTY_COM)\n"
        "text TEXT           write TEXT to the text cells as 8-dot computer braille\n"
        "cells HEX           write cells (host dot order, bit 0 = dot 1) to the text cells\n"
        "all HEX             write cells from the first status cell on\n"
        "clear               blank the display\n"
        "suspend | resume    let the display go without blanking it, and take it back\n"
        "close               blank and close the display\n"
        "wait-key [NAME [VALUE]]  run the message loop until such a key comes\n"
        "wait-data           run the message loop until a keyboard report comes\n"
        "pump MS             run the message loop for MS milliseconds\n"
        "info                the driver's identity, version and cell counts\n"
        "help | quit");
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
        text += byte;
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::optional<long> ParseInt(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0') return std::nullopt;
    return value;
}

// The host's sink: prints and records what the driver reports.
class PrintingSink : public host::HostSink {
  public:
    struct Key {
        std::string name;
        int value;
    };

    // Host thread, from its message loop.
    int OnKey(host::HostDriver*, const char* name, int value) override {
        m_keys.push_back({name != nullptr ? name : "", value});
        Say("key %s %d", m_keys.back().name.c_str(), value);
        return 0;
    }

    // The driver's worker thread.
    int OnData(host::HostDriver*, const unsigned char* bytes, int count) override {
        const std::size_t size =
            bytes != nullptr && count > 0 ? static_cast<std::size_t>(count) : 0;
        Say("data %s", Hex(bytes, size).c_str());
        std::lock_guard<std::mutex> lock(m_dataMutex);
        ++m_dataReports;
        return 0;
    }

    // Host thread: finds the first key after those already waited for that is `name` (any key
    // when empty) with `value` (any when none), and moves past it.
    bool TakeKey(const std::string& name, std::optional<int> value) {
        for (std::size_t i = m_keysWaited; i < m_keys.size(); ++i) {
            if ((name.empty() || m_keys[i].name == name) && (!value || m_keys[i].value == *value)) {
                m_keysWaited = i + 1;
                return true;
            }
        }
        return false;
    }

    bool TakeData() {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (m_dataReports <= m_dataWaited) return false;
        ++m_dataWaited;
        return true;
    }

  private:
    std::vector<Key> m_keys;  // host thread only
    std::size_t m_keysWaited = 0;
    std::mutex m_dataMutex;
    int m_dataReports = 0;  // guarded by m_dataMutex
    int m_dataWaited = 0;   // guarded by m_dataMutex
};

// Whether a port can be opened: it exists and is free.
enum class PortState { Free, Missing, Busy, Other };

PortState CheckPort(const std::string& port, DWORD& error) {
    // "COM10" and above need the device namespace on Windows; the compatibility layer takes both.
    const std::string path = port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return PortState::Free;
    }
    error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PortState::Missing;
    if (error == ERROR_ACCESS_DENIED) return PortState::Busy;
    return PortState::Other;
}

struct Options {
    std::string library = DefaultDriverLibrary();
    std::string script;
    std::string table = kDefaultBrailleTable;
    int timeoutSeconds = 30;
    std::optional<std::string> translate;
    std::vector<std::string> commands;
};

class Host {
  public:
    explicit Host(const Options& options) : m_options(options) {}

    // Loads the library and checks that it is a ZEL driver.
    bool Load() {
        std::string reason;
        if (!m_library.Load(m_options.library, reason))
            return Fail("cannot load the driver library " + m_options.library + ": " + reason +
                        ".");
        GetInterfaceFunction getInterface = m_library.FindInterfaceExport();
        if (getInterface == nullptr)
            return Fail(m_options.library +
                        " is not a ZEL driver: it has no GetBrailleInterface export.");
        host::HostDriver* driver = nullptr;
        getInterface(&driver);
        if (driver == nullptr)
            return Fail(m_options.library + " is not a ZEL driver: GetBrailleInterface gave none.");
        char name[64] = {};
        GUID id{};
        if (driver->GetIdentity(name, sizeof name, &id) == 0 || std::strcmp(name, "ZEL") != 0)
            return Fail(m_options.library + " is not a ZEL driver: it calls itself '" +
                        std::string(name) + "'.");
        m_driver = driver;
        return true;
    }

    // Runs one command line; false (the reason said) when it failed.
    bool Run(const std::string& line) {
        std::string trimmed = line;
        trimmed.erase(0, trimmed.find_first_not_of(" \t\r"));
        while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
            trimmed.pop_back();
        if (trimmed.empty() || trimmed[0] == '#') return true;
        std::istringstream in(trimmed);
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        const std::string& verb = words[0];
        const std::size_t first = trimmed.find_first_not_of(" \t", verb.size());
        const std::string rest = first == std::string::npos ? "" : trimmed.substr(first);

        if (verb == "open") return Open(words.size() > 1 ? words[1] : "");
        if (verb == "text") {
            std::string error;
            const std::optional<std::vector<std::uint8_t>> cells =
                TranslateText(rest, m_options.table, error);
            if (!cells) return Fail(error + ".");
            return Write(*cells, false, "\"" + rest + "\"");
        }
        if (verb == "cells" || verb == "all") {
            const std::optional<std::vector<std::uint8_t>> cells = ParseHex(rest);
            if (!cells) return Fail("'" + trimmed + "': give the cells in hex.");
            return Write(*cells, verb == "all", "cells");
        }
        if (verb == "clear") {
            if (!NeedOpen()) return false;
            if (m_driver->ClearDisplay() == 0) return Fail("the driver did not clear the display.");
            Say("cleared");
            return true;
        }
        if (verb == "suspend" || verb == "resume") {
            if (!NeedOpen()) return false;
            const bool suspend = verb == "suspend";
            if (m_driver->Suspend(suspend ? 1 : 0) == 0)
                return Fail(std::string("the driver could not ") + verb + ".");
            m_suspended = suspend;
            Say(suspend ? "suspended" : "resumed");
            return true;
        }
        if (verb == "close") {
            if (!NeedOpen()) return false;
            Close();
            return true;
        }
        if (verb == "wait-key") {
            std::optional<int> value;
            if (words.size() > 2) {
                const std::optional<long> number = ParseInt(words[2]);
                if (!number || words.size() > 3)
                    return Fail("'" + trimmed + "': wait-key NAME VALUE.");
                value = static_cast<int>(*number);
            }
            const std::string name = words.size() > 1 ? words[1] : "";
            if (!Pump([&] { return m_sink.TakeKey(name, value); }, m_options.timeoutSeconds * 1000))
                return Fail("no key " + (name.empty() ? std::string("came") : name + " came") +
                            " within " + std::to_string(m_options.timeoutSeconds) + " s.");
            return true;
        }
        if (verb == "wait-data") {
            if (!Pump([&] { return m_sink.TakeData(); }, m_options.timeoutSeconds * 1000))
                return Fail("no keyboard report came within " +
                            std::to_string(m_options.timeoutSeconds) + " s.");
            return true;
        }
        if (verb == "pump" || verb == "sleep") {
            const std::optional<long> ms = words.size() == 2 ? ParseInt(words[1]) : std::nullopt;
            if (!ms || *ms < 0) return Fail("'" + trimmed + "': give milliseconds.");
            Pump([] { return false; }, static_cast<DWORD>(*ms));
            return true;
        }
        if (verb == "info") {
            char name[64] = {};
            GUID id{};
            m_driver->GetIdentity(name, sizeof name, &id);
            Say("driver %s, version 0x%x, %d text cells, %d status cells", name,
                static_cast<unsigned>(m_driver->GetVersionCode()), m_driver->GetTextCellCount(),
                m_driver->GetStatusCellCount());
            return true;
        }
        if (verb == "help") {
            CommandHelp();
            return true;
        }
        if (verb == "quit") {
            m_quit = true;
            return true;
        }
        return Fail("'" + trimmed + "': unknown command (try help).");
    }

    bool QuitAsked() const { return m_quit; }

    // Closes the driver if it is open; the library is unloaded only after this.
    void Close() {
        if (!m_open) return;
        m_driver->Close();
        m_open = false;
        m_suspended = false;
        Say("closed");
    }

    void Unload() {
        Close();
        m_driver = nullptr;
        m_library.Unload();
    }

    // Runs this thread's messages (the key window's among them) until `done` holds or `ms` have
    // passed; true when `done` held. Lines typed meanwhile wait in the queue of lines.
    bool Pump(const std::function<bool()>& done, DWORD ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == kLineMessage) {
                    std::string* line = reinterpret_cast<std::string*>(msg.lParam);
                    m_lines.push_back(*line);
                    delete line;
                } else if (msg.message == kInputEndedMessage) {
                    m_inputEnded = true;
                } else {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            }
            if (done()) return true;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(ms - elapsed, 100),
                                      QS_ALLINPUT);
        }
    }

    std::deque<std::string>& Lines() { return m_lines; }
    bool InputEnded() const { return m_inputEnded; }

  private:
    bool Fail(const std::string& sentence) {
        std::lock_guard<std::mutex> lock(g_printMutex);
        std::fflush(stdout);
        std::fprintf(stderr, "zel-host: %s\n", sentence.c_str());
        std::fflush(stderr);
        return false;
    }

    bool NeedOpen() {
        if (m_open) return true;
        return Fail("the display is not open (use open first).");
    }

    bool Open(std::string port) {
        if (m_open) return Fail("the display is open already.");
        if (port.empty()) {
            const char* given = std::getenv("ZEL_PTY_COM");
            if (given == nullptr || *given == '\0')
                return Fail("open needs a port, such as COM5 (or ZEL_PTY_COM set).");
            port = given;
        }
        // The driver looks for a USB display before it opens the port, so the port is looked at
        // only when no display was found: it tells a port that is not there from a display that
        // does not answer, which Open reports alike.
        if (m_driver->Open(port.c_str(), &m_sink, "", "") == 0) {
            DWORD error = 0;
            switch (CheckPort(port, error)) {
                case PortState::Missing:
                    return Fail("there is no serial port " + port + ".");
                case PortState::Busy:
                    return Fail(port + " is in use by another program.");
                case PortState::Other:
                    return Fail("cannot open " + port + " (error " + std::to_string(error) + ").");
                case PortState::Free:
                    break;
            }
            return Fail("no display answered on " + port + ".");
        }
        m_open = true;
        Say("opened %s: %d text cells, %d status cells", port.c_str(), m_driver->GetTextCellCount(),
            m_driver->GetStatusCellCount());
        return true;
    }

    bool Write(std::vector<std::uint8_t> cells, bool all, const std::string& what) {
        if (!NeedOpen()) return false;
        const int room = all ? m_driver->GetTotalCellCount() : m_driver->GetTextCellCount();
        const std::size_t given = cells.size();
        if (cells.size() > static_cast<std::size_t>(room))
            cells.resize(static_cast<std::size_t>(room));
        if (cells.empty()) {
            Say("wrote nothing: no cells");
            return true;
        }
        const int count = static_cast<int>(cells.size());
        const int taken = all ? m_driver->WriteAll(cells.data(), count)
                              : m_driver->WriteMain(cells.data(), count);
        if (taken == 0) {
            if (m_suspended) {
                Say("not written: the driver is suspended");
                return true;
            }
            return Fail("the driver did not take the cells.");
        }
        if (given > cells.size())
            Say("wrote %s: the first %d of %zu cells (%s)", what.c_str(), count, given,
                Hex(cells.data(), cells.size()).c_str());
        else
            Say("wrote %s: %d cells (%s)", what.c_str(), count,
                Hex(cells.data(), cells.size()).c_str());
        return true;
    }

    const Options& m_options;
    DriverLibrary m_library;
    host::HostDriver* m_driver = nullptr;
    PrintingSink m_sink;
    bool m_open = false;
    bool m_suspended = false;
    bool m_quit = false;
    std::deque<std::string> m_lines;
    bool m_inputEnded = false;
};

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "zel-host: %s\n", message.c_str());
    std::exit(kUsageError);
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
        } else if (arg == "--library") {
            o.library = value();
        } else if (arg == "--script") {
            o.script = value();
        } else if (arg == "--table") {
            o.table = value();
        } else if (arg == "--timeout") {
            const std::optional<long> seconds = ParseInt(value());
            if (!seconds || *seconds < 1 || *seconds > 86400) UsageError("bad --timeout");
            o.timeoutSeconds = static_cast<int>(*seconds);
        } else if (arg == "--translate") {
            o.translate = value();
#ifndef _WIN32
        } else if (arg == "--devices") {
            // Read by the layer's COM port lookup whenever a port is opened.
            setenv("ZEL_DOSDEVICES", value().c_str(), 1);
#endif
        } else if (arg.rfind("--", 0) == 0) {
            Usage(stderr);
            UsageError("unknown option '" + arg + "'");
        } else {
            o.commands.push_back(arg);
        }
    }
    return o;
}

// Reads standard input on a thread of its own and posts each line to `thread`, whose message
// loop must keep running for the driver's key events.
void StartInputThread(DWORD thread) {
    std::thread([thread] {
        for (std::string line; std::getline(std::cin, line);)
            PostThreadMessageA(thread, kLineMessage, 0,
                               reinterpret_cast<LPARAM>(new std::string(line)));
        PostThreadMessageA(thread, kInputEndedMessage, 0, 0);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);

    if (options.translate) {
        std::string error;
        const std::optional<std::vector<std::uint8_t>> cells =
            TranslateText(*options.translate, options.table, error);
        if (!cells) {
            std::fprintf(stderr, "zel-host: %s.\n", error.c_str());
            return kFailure;
        }
        std::printf("%s\n", Hex(cells->data(), cells->size()).c_str());
        return 0;
    }

    std::vector<std::string> commands;
    if (!options.script.empty()) {
        std::ifstream script(options.script);
        if (!script) UsageError("cannot read the script " + options.script);
        for (std::string line; std::getline(script, line);) commands.push_back(line);
    }
    commands.insert(commands.end(), options.commands.begin(), options.commands.end());
    const bool interactive = options.script.empty() && options.commands.empty();

    Host host(options);
    if (!host.Load()) return kFailure;

    // This thread's message queue exists before anything is posted to it.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);

    bool ok = true;
    if (interactive) {
        StartInputThread(GetCurrentThreadId());
        while (!host.QuitAsked()) {
            if (!host.Lines().empty()) {
                const std::string line = host.Lines().front();
                host.Lines().pop_front();
                host.Run(line);  // a failed command is reported; the next one runs
                continue;
            }
            if (host.InputEnded()) break;
            host.Pump([&] { return !host.Lines().empty() || host.InputEnded(); }, INFINITE);
        }
    } else {
        for (const std::string& command : commands) {
            // Keys that came while the last command ran are printed before the next one starts.
            host.Pump([] { return true; }, 0);
            if (!host.Run(command)) {
                ok = false;
                break;
            }
            if (host.QuitAsked()) break;
        }
        host.Pump([] { return true; }, 0);
    }
    host.Unload();
    return ok ? 0 : kFailure;
}
