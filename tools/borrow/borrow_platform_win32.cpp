// zel-borrow's platform part on Windows: the console's control handler, console input and
// CreateProcessA.
#include <windows.h>

#include <atomic>

#include "borrow_platform.h"

namespace {

std::atomic<bool> g_interrupted{false};
// Set with g_interrupted, so that a wait on handles ends at once. Both events live as long as the
// process: a handler or a reader thread may set them at any moment.
HANDLE g_interruptEvent = nullptr;
// Set by the thread that reads a line from standard input that is no console.
HANDLE g_lineDone = nullptr;
void (*g_lastChance)() = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    g_interrupted = true;
    if (g_interruptEvent != nullptr) SetEvent(g_interruptEvent);
    // For these the system ends the process when the handler returns (or soon after).
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) &&
        g_lastChance != nullptr) {
        g_lastChance();
    }
    return TRUE;
}

// A console key press: the first key to go down.
void WaitForConsoleKey(HANDLE input) {
    // Keys typed before the question are not the answer.
    FlushConsoleInputBuffer(input);
    const HANDLE watched[2] = {g_interruptEvent, input};
    for (;;) {
        const DWORD which = WaitForMultipleObjects(2, watched, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0 + 1) return;
        INPUT_RECORD record;
        DWORD got = 0;
        if (!ReadConsoleInputA(input, &record, 1, &got)) return;
        if (got == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

// Standard input that is no console (a pipe or a file) is read on a thread of its own until a
// line ends or the input does; the thread then sets g_lineDone.
DWORD WINAPI ReadOneLine(LPVOID) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte = 0;
    DWORD got = 0;
    while (ReadFile(input, &byte, 1, &got, nullptr) && got == 1 && byte != '\n') {
    }
    SetEvent(g_lineDone);
    return 0;
}

// One argument in the form that the C runtime's command-line parser takes back apart: quoted when
// it holds blanks or quotes, with the backslashes before a quote doubled.
std::string QuoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

}  // namespace

void CatchInterrupts(void (*lastChance)()) {
    g_lastChance = lastChance;
    g_interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted() { return g_interrupted; }

void WaitForKeyOrInterrupt() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
        WaitForConsoleKey(input);
        return;
    }
    if (g_lineDone == nullptr) g_lineDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_lineDone == nullptr) return;
    // The reader is left behind if an interrupt ends the wait first; the process ends soon after.
    HANDLE reader = CreateThread(nullptr, 0, ReadOneLine, nullptr, 0, nullptr);
    if (reader == nullptr) return;
    CloseHandle(reader);
    const HANDLE watched[2] = {g_interruptEvent, g_lineDone};
    WaitForMultipleObjects(2, watched, FALSE, INFINITE);
}

int RunCommand(const std::vector<std::string>& command,
               const std::vector<std::pair<std::string, std::string>>& environment,
               std::string& error) {
    // The command inherits this process's environment, with these added.
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableA(name.c_str(), value.c_str());
    std::string line;
    for (const std::string& word : command) line += (line.empty() ? "" : " ") + QuoteArgument(word);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // The program is looked for in this program's folder, the current one, the system's and PATH.
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        error = "cannot run " + command[0] + " (CreateProcessA failed with error " +
                std::to_string(GetLastError()) + ")";
        return -1;
    }
    CloseHandle(process.hThread);
    // Ctrl-C reaches the command through the console it shares; it ends, and then the display
    // is handed back.
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
