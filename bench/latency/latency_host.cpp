// zel-latency-host: the host's half of the end-to-end latency tool (zel-latency runs it).
//
//   zel-latency-host [--library PATH]
//
// A screen-reader host reduced to what a measurement needs. It loads the driver, reads commands on
// standard input and answers on standard output, one line each, every event stamped with the
// line clock in nanoseconds: CLOCK_MONOTONIC_RAW natively, QueryPerformanceCounter on Windows
// (which Wine reads from the same clock), so the display's times and these can be set side by
// side.
//
//   open PORT            -> opened RESULT T0 T1          (Open called at T0, returned at T1)
//   write ID             -> wrote ID T                   (WriteMain of the line of ID, called at T)
//   scroll N MS ID       -> wrote ID T ... scrolled      (N lines from ID on, one every MS ms)
//   idle MS              -> idled                        (the message loop runs for MS ms)
//   cpu                  -> cpu NS WORKER_NS             (the process's CPU time so far, and that
//   of
//                                                        the threads the driver started in Open:
//                                                        its worker; -1 where not measured)
//   close                -> closed T0 T1
//   quit
//   (from the driver)    -> key NAME VALUE T             (OnKey, on this thread)
//
// The line of ID: 40 cells whose first two carry ID (low byte, high byte) and the rest a pattern.
// The thread that opened the driver runs a message loop whenever it is not running a command.
#include <windows.h>

#if defined(_WIN32)
#include <tlhelp32.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "host_interface.h"

namespace {

// A command line read from standard input: lParam is a std::string* the main thread takes.
constexpr UINT kLineMessage = WM_APP + 1;
constexpr UINT kInputEndedMessage = WM_APP + 2;

std::mutex g_printMutex;

// Command lines that arrived while a command ran its message loop, kept for the main loop.
std::deque<MSG> g_deferred;

bool IsCommandLine(const MSG& msg) {
    return msg.hwnd == nullptr &&
           (msg.message == kLineMessage || msg.message == kInputEndedMessage);
}

// Runs one message of this thread's loop; a command line is kept for later, in order.
void Handle(const MSG& msg) {
    if (IsCommandLine(msg)) {
        g_deferred.push_back(msg);
    } else {
        DispatchMessageA(&msg);
    }
}

void Say(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_printMutex);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

long long NowNs() {
#if defined(_WIN32)
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const long long seconds = count.QuadPart / frequency.QuadPart;
    const long long rest = count.QuadPart % frequency.QuadPart;
    return seconds * 1000000000LL + rest * 1000000000LL / frequency.QuadPart;
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
#endif
}

// The CPU time this process has used, user and kernel, in nanoseconds.
long long CpuNs() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    const auto value = [](const FILETIME& time) {
        return (static_cast<long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime) * 100;
    };
    return value(kernel) + value(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto value = [](const timeval& time) {
        return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_usec * 1000LL;
    };
    return value(usage.ru_utime) + value(usage.ru_stime);
#endif
}

// The IDs of this process's threads (Windows only; empty elsewhere).
std::vector<DWORD> ThreadIds() {
    std::vector<DWORD> ids;
#if defined(_WIN32)
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
#endif
    return ids;
}

// The CPU time of the threads `ids`, user and kernel, in nanoseconds; -1 where not measured.
long long ThreadsCpuNs(const std::vector<DWORD>& ids) {
#if defined(_WIN32)
    if (ids.empty()) return -1;
    long long total = 0;
    for (DWORD id : ids) {
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (thread == nullptr) continue;  // ended: a worker of an earlier session
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            for (const FILETIME* time : {&kernel, &user})
                total +=
                    (static_cast<long long>(time->dwHighDateTime) << 32 | time->dwLowDateTime) *
                    100;
        }
        CloseHandle(thread);
    }
    return total;
#else
    static_cast<void>(ids);
    return -1;
#endif
}

class StampingSink : public host::HostSink {
  public:
    int OnKey(host::HostDriver*, const char* name, int value) override {
        const long long now = NowNs();
        Say("key %s %d %lld", name != nullptr ? name : "", value, now);
        return 0;
    }
};

std::vector<unsigned char> LineOf(unsigned id) {
    std::vector<unsigned char> cells(40);
    cells[0] = static_cast<unsigned char>(id & 0xFF);
    cells[1] = static_cast<unsigned char>((id >> 8) & 0xFF);
    for (std::size_t i = 2; i < cells.size(); ++i) cells[i] = static_cast<unsigned char>(i * 5);
    return cells;
}

// Runs this thread's messages for `ms` milliseconds (the driver's keys arrive through them).
void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) Handle(msg);
    }
}

// Runs this thread's messages until `deadlineNs` on the line clock.
void PumpUntil(long long deadlineNs) {
    for (;;) {
        const long long left = deadlineNs - NowNs();
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left / 1000000),
                                  QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) Handle(msg);
    }
}

class Host {
  public:
    bool Load(const std::string& library) {
        std::string reason;
        if (!m_library.Load(library, reason)) {
            std::fprintf(stderr, "zel-latency-host: cannot load %s: %s\n", library.c_str(),
                         reason.c_str());
            return false;
        }
        GetInterfaceFunction getInterface = m_library.FindInterfaceExport();
        if (getInterface != nullptr) getInterface(&m_driver);
        if (m_driver == nullptr) {
            std::fprintf(stderr, "zel-latency-host: %s has no driver\n", library.c_str());
            return false;
        }
        return true;
    }

    // Runs one command; false once the host is to end.
    bool Run(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "open") {
            std::string port;
            in >> port;
            const std::vector<DWORD> before = ThreadIds();
            const long long start = NowNs();
            const int result = m_driver->Open(port.c_str(), &m_sink, "", "");
            const long long end = NowNs();
            // The threads Open started: the driver's worker.
            m_driverThreads.clear();
            for (DWORD id : ThreadIds())
                if (std::find(before.begin(), before.end(), id) == before.end())
                    m_driverThreads.push_back(id);
            m_open = m_open || result == 1;
            Say("opened %d %lld %lld", result, start, end);
        } else if (verb == "write") {
            unsigned id = 0;
            in >> id;
            Write(id);
        } else if (verb == "scroll") {
            unsigned count = 0, periodMs = 0, first = 0;
            in >> count >> periodMs >> first;
            const long long start = NowNs();
            for (unsigned i = 0; i < count; ++i) {
                // Paced on the clock, not on the previous write, so the period does not drift.
                PumpUntil(start + static_cast<long long>(i) * periodMs * 1000000LL);
                Write(first + i);
            }
            Say("scrolled");
        } else if (verb == "idle") {
            DWORD ms = 0;
            in >> ms;
            Pump(ms);
            Say("idled");
        } else if (verb == "cpu") {
            Say("cpu %lld %lld", CpuNs(), ThreadsCpuNs(m_driverThreads));
        } else if (verb == "close") {
            const long long start = NowNs();
            m_driver->Close();
            m_open = false;
            Say("closed %lld %lld", start, NowNs());
        } else if (verb == "quit") {
            return false;
        } else if (!verb.empty()) {
            Say("error unknown command '%s'", verb.c_str());
        }
        return true;
    }

    ~Host() {
        if (m_open) m_driver->Close();
    }

  private:
    void Write(unsigned id) {
        const std::vector<unsigned char> cells = LineOf(id);
        const long long now = NowNs();
        const int result = m_driver->WriteMain(cells.data(), static_cast<int>(cells.size()));
        Say("wrote %u %lld %d", id, now, result);
    }

    DriverLibrary m_library;
    host::HostDriver* m_driver = nullptr;
    StampingSink m_sink;
    bool m_open = false;
    std::vector<DWORD> m_driverThreads;  // the threads the last Open started
};

}  // namespace

int main(int argc, char** argv) {
    std::string library = DefaultDriverLibrary();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
            library = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zel-latency-host [--library PATH]\n");
            return 2;
        }
    }
    Host host;
    if (!host.Load(library)) return 1;

    // A thread of its own reads the commands, so that this one keeps its message loop running.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    const DWORD mainThread = GetCurrentThreadId();
    std::thread reader([mainThread] {
        std::string line;
        while (std::getline(std::cin, line)) {
            PostThreadMessageA(mainThread, kLineMessage, 0,
                               reinterpret_cast<LPARAM>(new std::string(line)));
        }
        PostThreadMessageA(mainThread, kInputEndedMessage, 0, 0);
    });
    bool running = true;
    while (running) {
        if (g_deferred.empty()) {
            if (GetMessageA(&msg, nullptr, 0, 0) <= 0) break;
        } else {
            msg = g_deferred.front();
            g_deferred.pop_front();
        }
        if (msg.hwnd == nullptr && msg.message == kLineMessage) {
            const std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(msg.lParam));
            running = host.Run(*line);
        } else if (msg.hwnd == nullptr && msg.message == kInputEndedMessage) {
            running = false;
        } else {
            DispatchMessageA(&msg);
        }
    }
    for (const MSG& left : g_deferred) {
        if (left.message == kLineMessage) delete reinterpret_cast<std::string*>(left.lParam);
    }
    reader.detach();
    return 0;
}
