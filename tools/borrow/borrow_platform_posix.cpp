// zel-borrow's platform part natively: signals, the terminal and fork/exec.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "borrow_platform.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
// The command running now (0: none), to which a signal is passed on.
volatile pid_t g_child = 0;
// A byte is written to the pipe for every signal, so that a wait in poll() cannot miss one that
// comes just before it starts.
int g_wake[2] = {-1, -1};

void OnSignal(int signal) {
    const int saved = errno;
    g_interrupted = 1;
    if (g_child > 0) kill(g_child, signal);
    if (g_wake[1] >= 0) {
        const char byte = 0;
        (void)!write(g_wake[1], &byte, 1);
    }
    errno = saved;
}

// The terminal's settings while a key is waited for: no line editing, no echo; Ctrl-C still
// signals. Put back when the wait ends.
class KeyMode {
  public:
    KeyMode() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
        termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        // Keys typed before the question are not the answer.
        if (m_active) tcflush(STDIN_FILENO, TCIFLUSH);
    }
    ~KeyMode() {
        if (m_active) tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    }
    KeyMode(const KeyMode&) = delete;
    KeyMode& operator=(const KeyMode&) = delete;

    bool Active() const { return m_active; }

  private:
    termios m_saved{};
    bool m_active = false;
};

}  // namespace

void CatchInterrupts(void (*)()) {
    // A signal the handler catches cannot end the program, so there is no last chance to give.
    if (pipe(g_wake) == 0) {
        for (int fd : g_wake) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for the command returns so that the loop around it looks again.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

void WaitForKeyOrInterrupt() {
    KeyMode keyMode;
    pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    while (!Interrupted()) {
        if (poll(watched, g_wake[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((watched[1].revents & POLLIN) != 0) return;
        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char bytes[256];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        // The end of the input (or an error on it) ends the wait, as a key would.
        if (got <= 0 || keyMode.Active()) return;
        if (std::memchr(bytes, '\n', static_cast<std::size_t>(got)) != nullptr) return;
    }
}

int RunCommand(const std::vector<std::string>& command,
               const std::vector<std::pair<std::string, std::string>>& environment,
               std::string& error) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // The exec's failure comes back through a pipe that closes on a successful exec.
    int report[2];
    if (pipe(report) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    fcntl(report[1], F_SETFD, FD_CLOEXEC);
    // Set here rather than in the child, where only async-signal-safe calls belong.
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        close(report[0]);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &standard, nullptr);
        execvp(argv[0], argv.data());
        const int reason = errno;
        (void)!write(report[1], &reason, sizeof reason);
        _exit(127);
    }
    g_child = child;
    close(report[1]);
    int reason = 0;
    ssize_t got;
    do {
        got = read(report[0], &reason, sizeof reason);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    g_child = 0;
    if (got == static_cast<ssize_t>(sizeof reason)) {
        error = "cannot run " + command[0] + ": " + std::strerror(reason);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}
