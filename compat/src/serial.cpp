// COM ports on ttys: CreateFileA's opens of them, the Comm calls and the seam of
// zel_compat/serial.h.
//
// A port is a tty opened non-blocking and raw. Like Windows' serial driver, the layer keeps an
// input queue of its own: a poller thread per open port moves bytes from the tty into it as they
// arrive (recording EV_RXCHAR and EV_RXFLAG for WaitCommEvent) and from there into the oldest
// pending read; it writes what a write could not hand to the tty at once, and it ends reads,
// writes and event waits when their time-outs have passed on GetTickCount. Everything but the
// poller's poll() runs under the State's mutex.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <zel_compat/seams.h>
#include <zel_compat/serial.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <system_error>
#include <thread>

#include "files.h"

namespace zelcompat::detail {
namespace {

// The input queue holds at least this many bytes (Windows' serial driver's default too), or more
// if SetupComm asks for more. While it is full, further bytes wait in the tty.
constexpr std::size_t kDefaultInQueue = 4096;
constexpr int kMaxComPort = 256;
// The XonLim and XoffLim a port reports until SetCommState sets others (Wine's values).
constexpr WORD kDefaultFlowLimit = 10;

struct Speed {
    DWORD baud;
    speed_t code;
};
// The speeds termios can set; SetCommState applies a BaudRate only if it is one of these.
constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

// How a read ends, decided by the COMMTIMEOUTS in force when it was issued.
enum class ReadMode {
    kAtOnce,     // ReadIntervalTimeout MAXDWORD, both totals 0: with what has arrived
    kFirstByte,  // interval and multiplier MAXDWORD, a constant: at the first byte or the constant
    kTimed,      // at the full count, the total time-out or the interval time-out
};

// A read, write or WaitCommEvent on a port, with its timing.
struct SerialIo : PendingIo {
    ReadMode mode = ReadMode::kTimed;
    DWORD totalMs = INFINITE;     // from the start
    DWORD intervalMs = INFINITE;  // from the last byte, once one has come
    bool started = false;         // its time-outs run from when it is the oldest of its kind
    DWORD start = 0;
    DWORD lastByte = 0;
    LPDWORD eventMask = nullptr;  // a WaitCommEvent's
};

// A total time-out of `multiplier` per byte plus `constant`; INFINITE when both are 0.
DWORD TotalTimeout(DWORD multiplier, DWORD constant, DWORD length) {
    if (multiplier == 0 && constant == 0) {
        return INFINITE;
    }
    std::uint64_t total = std::uint64_t{multiplier} * length + constant;
    return static_cast<DWORD>(std::min<std::uint64_t>(total, INFINITE - 1));
}

bool Elapsed(DWORD since, DWORD timeout, DWORD now) {
    return timeout != INFINITE && now - since >= timeout;
}

DWORD BaudFromTermios(const termios& tty) {
    speed_t code = cfgetospeed(&tty);
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) {
            return speed.baud;
        }
    }
    return 0;
}

// The DCB that a newly opened port reports: what termios holds, and Windows' usual defaults for
// what it does not.
DCB DcbFromTermios(const termios& tty) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudFromTermios(tty);
    dcb.fBinary = 1;
    dcb.fParity = (tty.c_iflag & INPCK) != 0;
    dcb.fOutxCtsFlow = (tty.c_cflag & CRTSCTS) != 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = (tty.c_cflag & CRTSCTS) != 0 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (tty.c_iflag & IXON) != 0;
    dcb.fInX = (tty.c_iflag & IXOFF) != 0;
    dcb.XonLim = kDefaultFlowLimit;
    dcb.XoffLim = kDefaultFlowLimit;
    switch (tty.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if ((tty.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else if ((tty.c_cflag & CMSPAR) != 0) {
        dcb.Parity = (tty.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (tty.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (tty.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(tty.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tty.c_cc[VSTOP]);
    dcb.EofChar = static_cast<char>(tty.c_cc[VEOF]);
    return dcb;
}

// Raw: no line editing, echo, signals or translation; reads of an empty queue fail with EAGAIN.
void MakeRaw(termios& tty) {
    cfmakeraw(&tty);
    tty.c_cflag |= CLOCAL | CREAD;
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 0;
}

// What a DCB means for termios and the modem lines; what termios has no place for (the limits,
// the error, EOF and event characters, DSR flow control, fAbortOnError, RTS toggling) is only
// remembered. A pty keeps none of the data bits and parity either: it is always 8N.
void ApplyDcb(int fd, const DCB& dcb) {
    termios tty{};
    if (tcgetattr(fd, &tty) != 0) {
        return;
    }
    MakeRaw(tty);
    for (const Speed& speed : kSpeeds) {
        if (speed.baud == dcb.BaudRate) {
            cfsetispeed(&tty, speed.code);
            cfsetospeed(&tty, speed.code);
        }
    }
    tty.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tty.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            tty.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tty.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tty.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tty.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // termios has one or two stop bits; 1.5 becomes two.
    if (dcb.StopBits != ONESTOPBIT) {
        tty.c_cflag |= CSTOPB;
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tty.c_cflag |= CRTSCTS;
    }
    if (dcb.fParity) {
        tty.c_iflag |= INPCK;
    }
    if (dcb.fOutX) {
        tty.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        tty.c_iflag |= IXOFF;
    }
    tty.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tty.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tcsetattr(fd, TCSANOW, &tty);
    // A pty has no modem lines; these fail there, which changes nothing.
    int dtr = TIOCM_DTR;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        ioctl(fd, dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &dtr);
    }
    int rts = TIOCM_RTS;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        ioctl(fd, dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rts);
    }
}

// The devices folder, read from the environment on first use. Call with the mutex held.
const std::string& Folder(State& state) {
    if (!state.devicesFolderKnown) {
        const char* folder = std::getenv("ZEL_DOSDEVICES");
        state.devicesFolder = folder != nullptr ? folder : "";
        state.devicesFolderKnown = true;
    }
    return state.devicesFolder;
}

// Where COM port `number` leads: the devices folder's entry if there is one, else the serial
// port Linux numbers from 0. Call without the mutex.
std::string PortPath(int number) {
    std::string folder;
    {
        State& state = GlobalState();
        std::lock_guard<std::mutex> guard(state.mutex);
        folder = Folder(state);
    }
    if (!folder.empty()) {
        std::string entry = folder + "/com" + std::to_string(number);
        struct stat link {};
        if (lstat(entry.c_str(), &link) == 0) {
            return entry;
        }
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

// The n of "comn" (lower case): 1 to `highest`, without leading zeros; 0 for anything else.
int ParseComName(const std::string& name, int highest) {
    if (name.size() < 4 || name.compare(0, 3, "com") != 0 || name[3] == '0') {
        return 0;
    }
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) || number > highest) {
            return 0;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number <= highest ? number : 0;
}

}  // namespace

class SerialFile final : public OpenFile {
  public:
    SerialFile(int fd, int wake, dev_t device, DWORD access, bool overlapped)
        : OpenFile(access, overlapped), fd_(fd), wake_(wake), device_(device) {}
    ~SerialFile() override { CloseDescriptors(); }

    dev_t Device() const { return device_; }
    int Descriptor() const { return fd_; }

    // Takes the tty's settings as the port's own and starts the poller. False if the thread
    // cannot be started. Called before anyone else knows the port.
    bool Start() {
        termios tty{};
        tcgetattr(fd_, &tty);
        MakeRaw(tty);
        tcsetattr(fd_, TCSANOW, &tty);
        dcb_ = DcbFromTermios(tty);
        try {
            poller_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    BOOL Read(const std::shared_ptr<KernelObject>& self, BYTE* buffer, DWORD length,
              LPDWORD bytesRead, LPOVERLAPPED overlapped) override;
    BOOL Write(const std::shared_ptr<KernelObject>& self, const BYTE* buffer, DWORD length,
               LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;
    BOOL WaitEvent(const std::shared_ptr<KernelObject>& self, LPDWORD eventMask,
                   LPOVERLAPPED overlapped);

    void Closed(State&) override {
        closing_ = true;
        input_.clear();
        Wake();
    }

    void Shutdown() override {
        if (poller_.joinable()) {
            poller_.join();
        }
        {
            State& state = GlobalState();
            std::lock_guard<std::mutex> guard(state.mutex);
            auto& ports = state.serialPorts;
            ports.erase(std::remove(ports.begin(), ports.end(), this), ports.end());
            NotifyAll(state);
        }
        // Out of the list, nothing wakes the port any more. Without the mutex: closing a real
        // serial port may wait for its output to drain.
        CloseDescriptors();
    }

    SerialFile* AsSerial() override { return this; }

    // The rest is called with the mutex held.

    // Makes the poller look at the port again.
    void Wake() {
        ++wakeSeq_;
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_, &one, sizeof(one));
    }
    // True once the poller has looked at the port since the last Wake, or when it is closing.
    bool Settled() const { return closing_ || servicedSeq_ == wakeSeq_; }

    const DCB& GetDcb() const { return dcb_; }
    void SetDcb(const DCB& dcb) {
        ApplyDcb(fd_, dcb);
        dcb_ = dcb;
        dcb_.DCBlength = sizeof(DCB);
    }

    COMMTIMEOUTS timeouts{};

    DWORD Mask() const { return mask_; }
    // Sets the event mask; a wait in progress ends with no events, and events recorded before
    // are forgotten.
    void SetMask(State& state, DWORD mask) {
        mask_ = mask;
        history_ = 0;
        if (auto wait = OldestPendingIo(state, &waitTag_)) {
            CompleteWait(state, static_cast<SerialIo&>(*wait), 0);
        }
    }

    void SetInQueue(DWORD bytes) {
        inQueueLimit_ = std::max<std::size_t>(kDefaultInQueue, bytes);
        Wake();
    }

    void Purge(State& state, DWORD flags) {
        auto abort = [&state](const void* tag) {
            AbortPendingIo(
                state, [tag](const PendingIo& io) { return io.device == tag; }, kStatusCancelled);
        };
        if ((flags & PURGE_TXABORT) != 0) {
            abort(&writeTag_);
        }
        if ((flags & PURGE_RXABORT) != 0) {
            abort(&readTag_);
        }
        if ((flags & PURGE_TXCLEAR) != 0) {
            tcflush(fd_, TCOFLUSH);
        }
        if ((flags & PURGE_RXCLEAR) != 0) {
            input_.clear();
            tcflush(fd_, TCIFLUSH);
        }
        Wake();
    }

    // Bytes received and not read yet: in the layer's queue and in the tty's.
    DWORD InQueue(State& state) {
        Pump(state);
        AdvanceReads(state);
        int waiting = 0;
        if (hungUp_ || ioctl(fd_, FIONREAD, &waiting) != 0) {
            waiting = 0;
        }
        return static_cast<DWORD>(input_.size() + static_cast<std::size_t>(waiting));
    }

    // Bytes written and not sent yet: those of pending writes and those in the tty's queue.
    DWORD OutQueue(State& state) const {
        int queued = 0;
        if (hungUp_ || ioctl(fd_, TIOCOUTQ, &queued) != 0) {
            queued = 0;
        }
        DWORD bytes = static_cast<DWORD>(queued);
        for (const auto& io : state.pendingIo) {
            if (io->device == &writeTag_) {
                bytes += io->length - io->transferred;
            }
        }
        return bytes;
    }

    bool HungUp() const { return hungUp_; }

  private:
    void Run();
    // Moves what the tty has into the input queue and records the events that come with it.
    void Pump(State& state);
    // Feeds the oldest reads from the queue and ends those that are due, in issue order.
    void AdvanceReads(State& state);
    // Hands the oldest writes to the tty and ends those that are done or due, in issue order.
    void AdvanceWrites(State& state);
    // An event happened: it ends a wait in progress or is recorded for the next one.
    void Signal(State& state, DWORD events);
    void CompleteWait(State& state, SerialIo& wait, DWORD events) {
        *wait.eventMask = events;
        CompletePendingIo(state, wait, kStatusSuccess, sizeof(DWORD));
    }
    // How long the poller may sleep with the real clock: until the first time-out, or -1.
    int PollTimeout(State& state) const;

    void CloseDescriptors() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (wake_ >= 0) {
            ::close(wake_);
            wake_ = -1;
        }
    }

    int fd_;
    int wake_;
    dev_t device_;
    std::thread poller_;
    // What the layer's pending I/O is keyed on, one per kind.
    char readTag_ = 0;
    char writeTag_ = 0;
    char waitTag_ = 0;

    DCB dcb_{};
    DWORD mask_ = 0;
    // Events of the mask that came while no wait was in progress.
    DWORD history_ = 0;
    std::deque<BYTE> input_;
    std::size_t inQueueLimit_ = kDefaultInQueue;
    bool closing_ = false;
    // The far end is gone (a pty whose master was closed): the line stays quiet and what is
    // written goes nowhere, as on a port with the cable pulled.
    bool hungUp_ = false;
    std::uint64_t wakeSeq_ = 0;
    std::uint64_t servicedSeq_ = 0;
};

void SerialFile::Signal(State& state, DWORD events) {
    events &= mask_;
    if (events == 0) {
        return;
    }
    if (auto wait = OldestPendingIo(state, &waitTag_)) {
        CompleteWait(state, static_cast<SerialIo&>(*wait), events);
    } else {
        history_ |= events;
    }
}

void SerialFile::Pump(State& state) {
    BYTE chunk[512];
    while (!hungUp_ && input_.size() < inQueueLimit_) {
        std::size_t room = std::min(sizeof(chunk), inQueueLimit_ - input_.size());
        ssize_t got = ::read(fd_, chunk, room);
        if (got > 0) {
            input_.insert(input_.end(), chunk, chunk + got);
            DWORD events = EV_RXCHAR;
            if (std::memchr(chunk, static_cast<unsigned char>(dcb_.EvtChar),
                            static_cast<std::size_t>(got)) != nullptr) {
                events |= EV_RXFLAG;
            }
            Signal(state, events);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // With VMIN 1 an empty queue fails with EAGAIN; end of file or another error means the
        // tty was hung up.
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            hungUp_ = true;
        }
        break;
    }
}

void SerialFile::AdvanceReads(State& state) {
    while (auto pending = OldestPendingIo(state, &readTag_)) {
        auto& read = static_cast<SerialIo&>(*pending);
        DWORD now = GetTickCount();
        if (!read.started) {
            read.started = true;
            read.start = now;
        }
        if (!input_.empty() && read.transferred < read.length) {
            DWORD take = static_cast<DWORD>(
                std::min<std::size_t>(input_.size(), read.length - read.transferred));
            std::copy_n(input_.begin(), take, read.buffer + read.transferred);
            input_.erase(input_.begin(), input_.begin() + take);
            read.transferred += take;
            read.lastByte = now;
            // Room in the queue again: what waits in the tty may follow.
            Pump(state);
            continue;
        }
        DWORD status = kStatusSuccess;
        bool done = read.transferred == read.length;
        if (!done) {
            switch (read.mode) {
                case ReadMode::kAtOnce:
                    done = true;
                    break;
                case ReadMode::kFirstByte:
                    done = read.transferred > 0;
                    if (!done && Elapsed(read.start, read.totalMs, now)) {
                        done = true;
                        status = kStatusTimeout;
                    }
                    break;
                case ReadMode::kTimed:
                    if (Elapsed(read.start, read.totalMs, now) ||
                        (read.transferred > 0 && Elapsed(read.lastByte, read.intervalMs, now))) {
                        done = true;
                        status = kStatusTimeout;
                    }
                    break;
            }
        }
        if (!done) {
            return;
        }
        CompletePendingIo(state, read, status, read.transferred);
    }
}

void SerialFile::AdvanceWrites(State& state) {
    bool wrote = false;
    while (auto pending = OldestPendingIo(state, &writeTag_)) {
        auto& write = static_cast<SerialIo&>(*pending);
        DWORD now = GetTickCount();
        if (!write.started) {
            write.started = true;
            write.start = now;
        }
        while (!hungUp_ && write.transferred < write.length) {
            ssize_t put =
                ::write(fd_, write.buffer + write.transferred, write.length - write.transferred);
            if (put > 0) {
                write.transferred += static_cast<DWORD>(put);
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else {
                if (put == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    hungUp_ = true;
                }
                break;
            }
        }
        if (hungUp_) {
            write.transferred = write.length;
        }
        if (write.transferred == write.length) {
            CompletePendingIo(state, write, kStatusSuccess, write.transferred);
            wrote = true;
        } else if (Elapsed(write.start, write.totalMs, now)) {
            CompletePendingIo(state, write, kStatusTimeout, write.transferred);
        } else {
            return;
        }
    }
    if (wrote) {
        Signal(state, EV_TXEMPTY);
    }
}

int SerialFile::PollTimeout(State& state) const {
    // The manual clock moves only through the seam, which wakes the poller.
    if (ManualClockActive()) {
        return -1;
    }
    DWORD wait = INFINITE;
    auto until = [&wait](DWORD since, DWORD timeout) {
        if (timeout != INFINITE) {
            wait = std::min(wait, RemainingMs(since, timeout));
        }
    };
    if (auto pending = OldestPendingIo(state, &readTag_)) {
        const auto& read = static_cast<const SerialIo&>(*pending);
        if (read.mode != ReadMode::kAtOnce) {
            until(read.start, read.totalMs);
        }
        if (read.mode == ReadMode::kTimed && read.transferred > 0) {
            until(read.lastByte, read.intervalMs);
        }
    }
    if (auto pending = OldestPendingIo(state, &writeTag_)) {
        const auto& write = static_cast<const SerialIo&>(*pending);
        until(write.start, write.totalMs);
    }
    return wait == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(wait, 60000));
}

void SerialFile::Run() {
    State& state = GlobalState();
    Lock lock(state.mutex);
    while (!closing_) {
        std::uint64_t seen = wakeSeq_;
        Pump(state);
        AdvanceReads(state);
        AdvanceWrites(state);
        pollfd fds[2] = {{-1, 0, 0}, {wake_, POLLIN, 0}};
        if (!hungUp_) {
            fds[0].fd = fd_;
            if (input_.size() < inQueueLimit_) {
                fds[0].events |= POLLIN;
            }
            if (OldestPendingIo(state, &writeTag_)) {
                fds[0].events |= POLLOUT;
            }
        }
        int timeout = PollTimeout(state);
        if (servicedSeq_ != seen) {
            servicedSeq_ = seen;
            NotifyAll(state);
        }
        lock.unlock();
        ::poll(fds, 2, timeout);
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t got = ::read(wake_, &count, sizeof(count));
        }
        lock.lock();
        if (!closing_ && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            Pump(state);  // what came before the hang-up
            hungUp_ = true;
        }
    }
}

BOOL SerialFile::Read(const std::shared_ptr<KernelObject>& self, BYTE* buffer, DWORD length,
                      LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    DWORD thread = CurrentThread().id;
    State& state = GlobalState();
    Lock lock(state.mutex);
    if (closing_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<KernelObject> event;
    if (!FindCompletionEvent(state, overlapped, &event)) {
        return FALSE;
    }
    auto io = std::make_shared<SerialIo>();
    const COMMTIMEOUTS& t = timeouts;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        io->mode = ReadMode::kAtOnce;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        io->mode = ReadMode::kFirstByte;
        io->totalMs = t.ReadTotalTimeoutConstant;
    } else {
        io->totalMs =
            TotalTimeout(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, length);
        if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
            io->intervalMs = t.ReadIntervalTimeout;
        }
    }
    AddPendingIo(state, self, &readTag_, thread, buffer, length, overlapped, std::move(event), io);
    Pump(state);
    AdvanceReads(state);
    // Also when the read is done: it may have made room in a full queue, for which the poller no
    // longer watches the tty.
    Wake();
    if (!io->done && Overlapped()) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return WaitForBlockingIo(lock, *io, bytesRead);
}

BOOL SerialFile::Write(const std::shared_ptr<KernelObject>& self, const BYTE* buffer, DWORD length,
                       LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
    DWORD thread = CurrentThread().id;
    State& state = GlobalState();
    Lock lock(state.mutex);
    if (closing_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<KernelObject> event;
    if (!FindCompletionEvent(state, overlapped, &event)) {
        return FALSE;
    }
    auto io = std::make_shared<SerialIo>();
    io->totalMs = TotalTimeout(timeouts.WriteTotalTimeoutMultiplier,
                               timeouts.WriteTotalTimeoutConstant, length);
    // Never written through: the pointer is only the source of what still has to go.
    AddPendingIo(state, self, &writeTag_, thread, const_cast<BYTE*>(buffer), length, overlapped,
                 std::move(event), io);
    AdvanceWrites(state);
    if (!io->done) {
        Wake();
        if (Overlapped()) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
    }
    return WaitForBlockingIo(lock, *io, bytesWritten);
}

BOOL SerialFile::WaitEvent(const std::shared_ptr<KernelObject>& self, LPDWORD eventMask,
                           LPOVERLAPPED overlapped) {
    DWORD thread = CurrentThread().id;
    State& state = GlobalState();
    Lock lock(state.mutex);
    if (closing_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Overlapped() && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows' serial driver refuses a wait without events to wait for, and a second wait.
    if (eventMask == nullptr || mask_ == 0 || OldestPendingIo(state, &waitTag_)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<KernelObject> event;
    if (!FindCompletionEvent(state, overlapped, &event)) {
        return FALSE;
    }
    *eventMask = 0;
    auto io = std::make_shared<SerialIo>();
    io->eventMask = eventMask;
    AddPendingIo(state, self, &waitTag_, thread, nullptr, 0, overlapped, std::move(event), io);
    Pump(state);
    AdvanceReads(state);
    if (history_ != 0) {
        DWORD events = history_;
        history_ = 0;
        CompleteWait(state, *io, events);
    }
    if (!io->done) {
        Wake();
        if (Overlapped()) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
    }
    DWORD bytes = 0;
    return WaitForBlockingIo(lock, *io, &bytes);
}

int ComPortNumber(const std::string& key) {
    static const std::string kDevicePrefix = "\\\\?\\";
    if (key.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0) {
        return ParseComName(key.substr(kDevicePrefix.size()), kMaxComPort);
    }
    return ParseComName(key, 9);
}

std::shared_ptr<OpenFile> OpenSerialPort(int number, DWORD access, bool overlapped, DWORD* error) {
    std::string path = PortPath(number);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = (errno == EACCES || errno == EPERM || errno == EBUSY) ? ERROR_ACCESS_DENIED
                                                                       : ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd)) {
        ::close(fd);
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ::close(fd);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto file = std::make_shared<SerialFile>(fd, wake, info.st_rdev, access, overlapped);
    State& state = GlobalState();
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        // Share mode or not, a port has one open at a time, as on Windows.
        for (SerialFile* port : state.serialPorts) {
            if (port->Device() == info.st_rdev) {
                *error = ERROR_ACCESS_DENIED;
                return nullptr;
            }
        }
        state.serialPorts.push_back(file.get());
    }
    if (!file->Start()) {
        file->Shutdown();
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return file;
}

void WakeSerialPorts(State& state) {
    for (SerialFile* port : state.serialPorts) {
        port->Wake();
    }
}

namespace {

// The port behind a handle, or null with the error set: ERROR_INVALID_HANDLE for anything but
// a file, ERROR_INVALID_FUNCTION for a file that is no COM port. Call with the mutex held.
SerialFile* FindPort(State& state, HANDLE handle, std::shared_ptr<KernelObject>* object = nullptr) {
    auto found = FindObject(state, handle);
    if (!found || found->kind != KernelObject::Kind::kFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SerialFile* port = found->file->AsSerial();
    if (port == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (object != nullptr) {
        *object = std::move(found);
    }
    return port;
}

// Runs `call` on the port behind `handle` with the mutex held; FALSE if there is none.
template <class Call>
BOOL WithPort(HANDLE handle, Call call) {
    State& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    SerialFile* port = FindPort(state, handle);
    if (port == nullptr) {
        return FALSE;
    }
    return call(state, *port);
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The error of a failed ioctl on a port's tty.
DWORD IoctlError(int error) {
    return (error == ENOTTY || error == EINVAL) ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE;
}

}  // namespace
}  // namespace zelcompat::detail

using zelcompat::detail::Fail;
using zelcompat::detail::SerialFile;
using zelcompat::detail::State;
using zelcompat::detail::WithPort;

BOOL WINAPI SetupComm(HANDLE file, DWORD inQueue, DWORD) {
    return WithPort(file, [inQueue](State&, SerialFile& port) {
        port.SetInQueue(inQueue);
        return TRUE;
    });
}

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
    return WithPort(file, [dcb](State&, SerialFile& port) {
        if (dcb == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *dcb = port.GetDcb();
        return TRUE;
    });
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
    return WithPort(file, [dcb](State&, SerialFile& port) {
        if (dcb == nullptr || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
            dcb->StopBits > TWOSTOPBITS || dcb->fDtrControl > DTR_CONTROL_HANDSHAKE) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        port.SetDcb(*dcb);
        return TRUE;
    });
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return WithPort(file, [timeouts](State&, SerialFile& port) {
        if (timeouts == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *timeouts = port.timeouts;
        return TRUE;
    });
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return WithPort(file, [timeouts](State&, SerialFile& port) {
        // Windows' serial driver refuses the one combination that means nothing.
        if (timeouts == nullptr || (timeouts->ReadIntervalTimeout == MAXDWORD &&
                                    timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
                                    timeouts->ReadTotalTimeoutConstant == MAXDWORD)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        port.timeouts = *timeouts;
        return TRUE;
    });
}

BOOL WINAPI GetCommMask(HANDLE file, LPDWORD eventMask) {
    return WithPort(file, [eventMask](State&, SerialFile& port) {
        if (eventMask == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *eventMask = port.Mask();
        return TRUE;
    });
}

BOOL WINAPI SetCommMask(HANDLE file, DWORD eventMask) {
    return WithPort(file, [eventMask](State& state, SerialFile& port) {
        port.SetMask(state, eventMask);
        return TRUE;
    });
}

BOOL WINAPI WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
    std::shared_ptr<zelcompat::detail::KernelObject> object;
    SerialFile* port;
    {
        State& state = zelcompat::detail::GlobalState();
        std::lock_guard<std::mutex> guard(state.mutex);
        port = zelcompat::detail::FindPort(state, file, &object);
        if (port == nullptr) {
            return FALSE;
        }
    }
    // `object` keeps the port alive; a close in between makes WaitEvent fail.
    return port->WaitEvent(object, eventMask, overlapped);
}

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags) {
    return WithPort(file, [flags](State& state, SerialFile& port) {
        port.Purge(state, flags);
        return TRUE;
    });
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    return WithPort(file, [errors, status](State& state, SerialFile& port) {
        // A tty reports no line errors that could be told apart here.
        if (errors != nullptr) {
            *errors = 0;
        }
        if (status != nullptr) {
            std::memset(status, 0, sizeof(*status));
            status->cbInQue = port.InQueue(state);
            status->cbOutQue = port.OutQueue(state);
        }
        return TRUE;
    });
}

BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    return WithPort(file, [modemStatus](State&, SerialFile& port) {
        if (modemStatus == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        int lines = 0;
        if (!port.HungUp() && ioctl(port.Descriptor(), TIOCMGET, &lines) != 0) {
            // A pty has no modem lines: none is on, as on a port with nothing plugged in.
            if (errno != ENOTTY && errno != EINVAL) {
                return Fail(ERROR_GEN_FAILURE);
            }
            lines = 0;
        }
        DWORD bits = 0;
        bits |= (lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0;
        bits |= (lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0;
        bits |= (lines & TIOCM_RNG) != 0 ? MS_RING_ON : 0;
        bits |= (lines & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0;
        *modemStatus = bits;
        return TRUE;
    });
}

namespace {

BOOL Break(HANDLE file, unsigned long request) {
    return WithPort(file, [request](State&, SerialFile& port) {
        if (!port.HungUp() && ioctl(port.Descriptor(), request, 0) != 0) {
            return Fail(zelcompat::detail::IoctlError(errno));
        }
        return TRUE;
    });
}

}  // namespace

BOOL WINAPI SetCommBreak(HANDLE file) { return Break(file, TIOCSBRK); }

BOOL WINAPI ClearCommBreak(HANDLE file) { return Break(file, TIOCCBRK); }

BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size) {
    if (name == nullptr || size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    int number = zelcompat::detail::ParseComName(key, zelcompat::detail::kMaxComPort);
    // Wine's answer for what names no port.
    if (number == 0) {
        return Fail(ERROR_BADKEY);
    }
    if (config == nullptr || *size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    struct stat info {};
    if (stat(zelcompat::detail::PortPath(number).c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    std::memset(config, 0, sizeof(COMMCONFIG));
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dwProviderSubType = PST_RS232;
    DCB& dcb = config->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    *size = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE file, LPCOMMCONFIG config, DWORD size) {
    if (config == nullptr || size < sizeof(COMMCONFIG)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return SetCommState(file, &config->dcb);
}

namespace zelcompat {

void SetDevicesFolder(const std::string& folder) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.devicesFolder = folder;
    state.devicesFolderKnown = true;
}

std::string DevicesFolder() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return detail::Folder(state);
}

void SettleSerialPorts() {
    auto& state = detail::GlobalState();
    detail::Lock lock(state.mutex);
    // Each port's poller looks once more after this call: it writes what is due and reads until
    // the line is empty, so bytes that reached the line before the call are in its queue after.
    for (detail::SerialFile* port : state.serialPorts) port->Wake();
    auto settled = [&state] {
        return std::all_of(state.serialPorts.begin(), state.serialPorts.end(),
                           [](const detail::SerialFile* port) { return port->Settled(); });
    };
    while (!settled()) {
        detail::WaitForChange(lock, INFINITE);
    }
}

std::size_t OpenSerialPortCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.serialPorts.size();
}

}  // namespace zelcompat
