// The simulated display's serial firmware, served on the master side of a pseudo-terminal.
//
// Both directions use one frame format:
//
//   01 02 type N 03 payload[N] sumLow sumHigh
//
// where the sum is (02 + type + N + 03 + every payload byte) in 16 bits, sent XOR AA55, low byte
// first. The display receives byte by byte: it waits for 01; a byte other than 02 after it, or
// other than 03 after the length, breaks the frame and is consumed with it. A good frame that is
// not an acknowledgement (7F) is acknowledged; a bad one is counted and ignored.
//
//   driver to display   00 display frame (42 cells)   24 identify   26 identify done   7F ack
//   display to driver   10 function key   11 routing key   13 character   14 scan code
//                       25 identify reply (cells, 0, 0, 0, id1, id2)   7F ack
//
// One thread serves the line: it reads what the driver wrote, decides the answers, sends the
// acknowledgements that are due by GetTickCount, and writes every byte the display sends, so
// bytes leave in the order they were decided whichever thread decided them.
#include <zel_sim/serial_display.h>

#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "cells.h"

namespace zelsim {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint16_t kSumMask = 0xAA55;

constexpr std::uint8_t kTypeDisplay = 0x00;
constexpr std::uint8_t kTypeFunction = 0x10;
constexpr std::uint8_t kTypeRouting = 0x11;
constexpr std::uint8_t kTypeCharacter = 0x13;
constexpr std::uint8_t kTypeScanCode = 0x14;
constexpr std::uint8_t kTypeIdentify = 0x24;
constexpr std::uint8_t kTypeIdentifyReply = 0x25;
constexpr std::uint8_t kTypeIdentifyDone = 0x26;
constexpr std::uint8_t kTypeAck = 0x7F;

// How long the serving thread sleeps at most (real time) before it looks at the clock again for
// acknowledgements that have become due.
constexpr int kServePollMs = 5;
constexpr std::int64_t kNsPerMs = 1000000;
// A byte on the line: a start bit, 8 data bits and a stop bit.
constexpr std::int64_t kBitsPerByte = 10;

// The checksum as it travels: the 16-bit sum XOR AA55.
std::uint16_t FrameSum(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    std::uint16_t sum = static_cast<std::uint16_t>(kStx + type + payload.size() + kEtx);
    for (std::uint8_t byte : payload) sum = static_cast<std::uint16_t>(sum + byte);
    return static_cast<std::uint16_t>(sum ^ kSumMask);
}

std::vector<std::uint8_t> EncodeFrame(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                                      std::uint16_t sum) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(payload.size() + 7);
    for (std::uint8_t byte : {kSoh, kStx, type, static_cast<std::uint8_t>(payload.size()), kEtx})
        bytes.push_back(byte);
    for (std::uint8_t byte : payload) bytes.push_back(byte);
    bytes.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(sum >> 8));
    return bytes;
}

std::vector<std::uint8_t> Le16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

using detail::DeviceToHost;

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) Fail("tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tio.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail("tcsetattr");
}

}  // namespace

std::int64_t LineClockNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct SerialDisplay::Impl {
    // An answer not sent yet: an acknowledgement, or an identification reply queued behind one.
    struct PendingAnswer {
        DWORD arrived;  // GetTickCount when the frame it answers was complete
        DWORD delay;    // milliseconds it must wait from then (acknowledgements only)
        bool held;      // kept back until ReleaseHeldAcks (acknowledgements only)
        bool ack;
        std::vector<std::uint8_t> payload;  // of an identification reply
    };

    enum class Rx { Soh, Stx, Type, Length, Etx, Payload, SumLow, SumHigh };

    int master = -1;
    // Kept open for the display's whole life: with no slave open, the master reads EIO and polls
    // as hung up between the driver's closing the port and opening it again.
    int slave = -1;
    int wake[2] = {-1, -1};
    std::string slavePath;
    std::thread thread;
    std::atomic<bool> stop{false};

    // Guards everything below.
    mutable std::mutex mutex;
    // Requests to take in what was written (WaitTakenIn), and how many of them the serving thread
    // has answered: it answers all those made before a read that found the line empty, once every
    // byte read is taken in and every answer due by then is written.
    mutable std::uint64_t takeInAsked = 0;
    std::uint64_t takeInDone = 0;
    mutable std::condition_variable takenIn;

    SerialDisplayOptions options;
    bool silent = false;
    int dropNext = 0;
    bool dropAll = false;
    DWORD ackDelay = 0;
    bool holdAcks = false;
    std::deque<PendingAnswer> pending;
    // Bytes decided but not handed to the serving thread's writes yet, each with the time it was
    // decided.
    std::vector<std::pair<std::uint8_t, std::int64_t>> outgoing;
    // The display's frames on their way out: the index in `wire` and the bytes still to leave.
    std::deque<std::pair<std::size_t, std::size_t>> leaving;

    Rx rx = Rx::Soh;
    std::int64_t rxStartNs = 0;
    std::uint8_t rxType = 0;
    std::vector<std::uint8_t> rxPayload;
    std::size_t rxLength = 0;
    std::uint8_t rxSumLow = 0;

    SerialCells cells{};                  // device order
    std::vector<SerialCells> shownLines;  // every line shown, in host order
    std::vector<SerialWireFrame> wire;
    int displayFrames = 0;
    int identifyRequests = 0;
    int identifyDones = 0;
    int acksReceived = 0;
    int acksSent = 0;
    int badFrames = 0;
    int bytesReceived = 0;
    int strayBytes = 0;

    explicit Impl(const SerialDisplayOptions& o)
        : options(o), byteNs(o.lineRate != 0 ? kBitsPerByte * 1000000000 / o.lineRate : 0) {}

    // A byte's wire time; 0 on an unpaced line. Fixed for the display's life.
    const std::int64_t byteNs;

    ~Impl() {
        for (int fd : {master, slave, wake[0], wake[1]})
            if (fd >= 0) close(fd);
    }

    void Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) Fail("posix_openpt");
        if (grantpt(master) != 0) Fail("grantpt");
        if (unlockpt(master) != 0) Fail("unlockpt");
        char name[128];
        if (ptsname_r(master, name, sizeof(name)) != 0) Fail("ptsname_r");
        slavePath = name;
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) Fail("open pseudo-terminal slave");
        MakeRaw(slave);
        MakeRaw(master);
        if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) Fail("fcntl");
        if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) Fail("pipe2");
    }

    // Wakes the serving thread: something is to be sent, or an answer was released.
    void Wake() const {
        const char byte = 0;
        [[maybe_unused]] ssize_t ignored = write(wake[1], &byte, 1);
    }

    // ---- Called with `mutex` held ----

    // Queues one frame of the display's for the line and records it.
    void Emit(std::uint8_t type, std::vector<std::uint8_t> payload) {
        const std::vector<std::uint8_t> bytes = EncodeFrame(type, payload, FrameSum(type, payload));
        const std::int64_t now = LineClockNs();
        Queue(bytes, now);
        leaving.emplace_back(wire.size(), bytes.size());
        wire.push_back(SerialWireFrame{false, type, std::move(payload), now, 0});
    }

    void Queue(const std::vector<std::uint8_t>& bytes, std::int64_t now) {
        for (std::uint8_t byte : bytes) outgoing.emplace_back(byte, now);
    }

    // `count` of the display's bytes have left; the last of them at `endNs`.
    void Left(std::size_t count, std::int64_t endNs) {
        while (count > 0 && !leaving.empty()) {
            auto& [index, remaining] = leaving.front();
            const std::size_t taken = std::min(count, remaining);
            remaining -= taken;
            count -= taken;
            if (remaining == 0) {
                wire[index].endNs = endNs;
                leaving.pop_front();
            }
        }
    }

    // Moves every answer that may leave now, in order, to the line.
    void TakeDueAnswers() {
        const DWORD now = GetTickCount();
        while (!pending.empty()) {
            PendingAnswer& answer = pending.front();
            if (answer.held || static_cast<DWORD>(now - answer.arrived) < answer.delay) break;
            if (answer.ack) {
                Emit(kTypeAck, {});
                ++acksSent;
            } else {
                Emit(kTypeIdentifyReply, std::move(answer.payload));
            }
            pending.pop_front();
        }
    }

    void FrameReceived(std::int64_t endNs) {
        wire.push_back(SerialWireFrame{true, rxType, rxPayload, rxStartNs, endNs});
        if (rxType == kTypeAck) {
            ++acksReceived;
            return;
        }
        const DWORD now = GetTickCount();
        const bool drop = dropAll || dropNext > 0;
        if (!dropAll && dropNext > 0) --dropNext;
        if (!drop) pending.push_back(PendingAnswer{now, ackDelay, holdAcks, true, {}});
        switch (rxType) {
            case kTypeDisplay:
                if (rxPayload.size() == kSerialCells) {
                    std::copy(rxPayload.begin(), rxPayload.end(), cells.begin());
                    SerialCells line = cells;
                    for (std::uint8_t& cell : line) cell = DeviceToHost(cell);
                    shownLines.push_back(line);
                    ++displayFrames;
                }
                break;
            case kTypeIdentify:
                ++identifyRequests;
                if (options.answerIdentify)
                    pending.push_back(PendingAnswer{
                        now,
                        0,
                        false,
                        false,
                        {options.textCells, 0, 0, 0, options.deviceId1, options.deviceId2}});
                break;
            case kTypeIdentifyDone:
                ++identifyDones;
                break;
            default:
                break;
        }
        TakeDueAnswers();
    }

    void BadFrame() {
        ++badFrames;
        rx = Rx::Soh;
    }

    // One byte from the driver, on the line from `startNs` to `endNs`.
    void Receive(std::uint8_t byte, std::int64_t startNs, std::int64_t endNs) {
        ++bytesReceived;
        switch (rx) {
            case Rx::Soh:
                if (byte == kSoh) {
                    rx = Rx::Stx;
                    rxStartNs = startNs;
                } else
                    ++strayBytes;
                break;
            case Rx::Stx:
                if (byte == kStx)
                    rx = Rx::Type;
                else
                    BadFrame();
                break;
            case Rx::Type:
                rxType = byte;
                rx = Rx::Length;
                break;
            case Rx::Length:
                rxLength = byte;
                rx = Rx::Etx;
                break;
            case Rx::Etx:
                if (byte != kEtx) {
                    BadFrame();
                    break;
                }
                rxPayload.clear();
                rx = rxLength > 0 ? Rx::Payload : Rx::SumLow;
                break;
            case Rx::Payload:
                rxPayload.push_back(byte);
                if (rxPayload.size() == rxLength) rx = Rx::SumLow;
                break;
            case Rx::SumLow:
                rxSumLow = byte;
                rx = Rx::SumHigh;
                break;
            case Rx::SumHigh: {
                rx = Rx::Soh;
                const std::uint16_t sum = static_cast<std::uint16_t>(rxSumLow | (byte << 8));
                if (sum == FrameSum(rxType, rxPayload))
                    FrameReceived(endNs);
                else
                    ++badFrames;
                break;
            }
        }
    }

    // ---- The serving thread ----

    void Serve() {
        // Bytes read from the pseudo-terminal but not taken in yet (a paced line takes them one
        // wire time apart), each with the time it arrived; and the display's bytes not written
        // yet, each with the time it was decided.
        std::deque<std::pair<std::uint8_t, std::int64_t>> arriving;
        std::deque<std::pair<std::uint8_t, std::int64_t>> sending;
        std::int64_t rxLineFree = 0;  // when the line in is free for the next byte
        std::int64_t txLineFree = 0;  // when the line out is
        std::uint8_t buffer[4096];
        while (!stop.load()) {
            const std::int64_t wait = WaitNs(arriving, sending, rxLineFree, txLineFree);
            const timespec timeout = {static_cast<time_t>(wait / 1000000000),
                                      static_cast<long>(wait % 1000000000)};
            pollfd fds[2] = {
                {master, static_cast<short>(POLLIN | (sending.empty() ? 0 : POLLOUT)), 0},
                {wake[0], POLLIN, 0}};
            if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) {
                while (read(wake[0], buffer, sizeof(buffer)) > 0) {
                }
            }
            std::uint64_t asked;
            {
                std::lock_guard<std::mutex> lock(mutex);
                asked = takeInAsked;
            }
            // Read until the line is empty: a read that finds nothing has first waited for the
            // kernel to pass on what the other side had written, so every byte written before
            // `asked` was read is in `arriving` now.
            for (;;) {
                const ssize_t got = read(master, buffer, sizeof(buffer));
                if (got <= 0) break;
                const std::int64_t now = LineClockNs();
                for (ssize_t i = 0; i < got; ++i) arriving.emplace_back(buffer[i], now);
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                const std::int64_t now = LineClockNs();
                while (!arriving.empty()) {
                    const auto [byte, arrived] = arriving.front();
                    const std::int64_t startNs = std::max(arrived, rxLineFree);
                    const std::int64_t endNs = startNs + byteNs;
                    if (endNs > now) break;
                    arriving.pop_front();
                    rxLineFree = endNs;
                    if (silent) {
                        ++bytesReceived;
                    } else {
                        Receive(byte, startNs, endNs);
                    }
                }
                if (!silent) TakeDueAnswers();
                sending.insert(sending.end(), outgoing.begin(), outgoing.end());
                outgoing.clear();
            }
            WriteDue(sending, txLineFree);
            if (arriving.empty() && sending.empty()) {
                std::lock_guard<std::mutex> lock(mutex);
                if (takeInDone < asked) {
                    takeInDone = asked;
                    takenIn.notify_all();
                }
            }
        }
    }

    // How long the serving thread may sleep: until the next byte in or out is due on a paced
    // line, and never longer than the poll period.
    std::int64_t WaitNs(const std::deque<std::pair<std::uint8_t, std::int64_t>>& arriving,
                        const std::deque<std::pair<std::uint8_t, std::int64_t>>& sending,
                        std::int64_t rxLineFree, std::int64_t txLineFree) const {
        std::int64_t wait = kServePollMs * kNsPerMs;
        if (byteNs == 0) return wait;
        const std::int64_t now = LineClockNs();
        if (!arriving.empty()) {
            wait = std::min(wait, std::max(arriving.front().second, rxLineFree) + byteNs - now);
        }
        if (!sending.empty()) {
            wait = std::min(wait, std::max(sending.front().second, txLineFree) + byteNs - now);
        }
        return std::max<std::int64_t>(wait, 0);
    }

    // Writes the display's bytes that are due: all of them on an unpaced line, else those whose
    // wire time has passed (each leaves one wire time after the one before it).
    void WriteDue(std::deque<std::pair<std::uint8_t, std::int64_t>>& sending,
                  std::int64_t& txLineFree) {
        std::uint8_t chunk[4096];
        std::int64_t ends[sizeof chunk];
        while (!sending.empty()) {
            const std::int64_t now = LineClockNs();
            std::size_t count = 0;
            std::int64_t lineFree = txLineFree;
            while (count < sending.size() && count < sizeof chunk) {
                std::int64_t end = now;
                if (byteNs != 0) {
                    end = std::max(sending[count].second, lineFree) + byteNs;
                    if (end > now) break;
                }
                chunk[count] = sending[count].first;
                ends[count] = end;
                lineFree = end;
                ++count;
            }
            if (count == 0) return;
            const ssize_t written = write(master, chunk, count);
            if (written <= 0) return;  // the slave's queue is full: wait for POLLOUT
            const std::size_t taken = static_cast<std::size_t>(written);
            txLineFree = ends[taken - 1];
            sending.erase(sending.begin(), sending.begin() + written);
            {
                std::lock_guard<std::mutex> lock(mutex);
                Left(taken, ends[taken - 1]);
            }
            if (taken < count) return;
        }
    }

    // ---- From other threads ----

    void Send(std::uint8_t type, std::vector<std::uint8_t> payload) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (silent) return;
            Emit(type, std::move(payload));
        }
        Wake();
    }
};

std::string BrailleText(const std::uint8_t* cells, std::size_t count) {
    return detail::BrailleText(std::vector<std::uint8_t>(cells, cells + count));
}

SerialDisplay::SerialDisplay(const SerialDisplayOptions& options)
    : m_impl(std::make_unique<Impl>(options)) {
    m_impl->Open();
    m_impl->thread = std::thread([impl = m_impl.get()] { impl->Serve(); });
}

SerialDisplay::~SerialDisplay() {
    m_impl->stop.store(true);
    m_impl->Wake();
    m_impl->thread.join();
}

std::string SerialDisplay::SlavePath() const { return m_impl->slavePath; }

void SerialDisplay::SetAnswerIdentify(bool answer) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->options.answerIdentify = answer;
}

void SerialDisplay::SetCellCount(std::uint8_t textCells) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->options.textCells = textCells;
}

void SerialDisplay::DropNextAcks(int frames) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->dropNext = frames > 0 ? frames : 0;
}

void SerialDisplay::SetDropAllAcks(bool drop) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->dropAll = drop;
}

void SerialDisplay::SetAckDelay(std::uint32_t milliseconds) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->ackDelay = milliseconds;
}

void SerialDisplay::SetHoldAcks(bool hold) {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->holdAcks = hold;
    }
    if (!hold) ReleaseHeldAcks();
}

void SerialDisplay::ReleaseHeldAcks() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        for (Impl::PendingAnswer& answer : m_impl->pending) answer.held = false;
    }
    m_impl->Wake();
}

void SerialDisplay::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (silent && !m_impl->silent) {
        m_impl->rx = Impl::Rx::Soh;
        m_impl->pending.clear();
    }
    m_impl->silent = silent;
}

void SerialDisplay::PressFunction(std::uint8_t code) { m_impl->Send(kTypeFunction, {code}); }

void SerialDisplay::PressRouting(std::uint8_t code) { m_impl->Send(kTypeRouting, {code}); }

void SerialDisplay::TypeCharacter(std::uint16_t code) { m_impl->Send(kTypeCharacter, Le16(code)); }

void SerialDisplay::SendScanCode(std::uint16_t code) { m_impl->Send(kTypeScanCode, Le16(code)); }

void SerialDisplay::SendFrame(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    if (payload.size() > 0xFF) throw std::invalid_argument("a frame carries at most 255 bytes");
    m_impl->Send(type, payload);
}

void SerialDisplay::SendBadChecksumFrame(std::uint8_t type,
                                         const std::vector<std::uint8_t>& payload) {
    if (payload.size() > 0xFF) throw std::invalid_argument("a frame carries at most 255 bytes");
    const std::uint16_t sum = static_cast<std::uint16_t>(FrameSum(type, payload) + 1);
    SendBytes(EncodeFrame(type, payload, sum));
}

void SerialDisplay::SendBytes(const std::vector<std::uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (m_impl->silent) return;
        m_impl->Queue(bytes, LineClockNs());
    }
    m_impl->Wake();
}

SerialCells SerialDisplay::ShownDeviceCells() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->cells;
}

std::vector<SerialCells> SerialDisplay::ShownLines() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->shownLines;
}

std::vector<SerialCells> SerialDisplay::ShownLinesFrom(std::size_t first) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const std::vector<SerialCells>& lines = m_impl->shownLines;
    if (first >= lines.size()) return {};
    return std::vector<SerialCells>(lines.begin() + static_cast<std::ptrdiff_t>(first),
                                    lines.end());
}

SerialCells SerialDisplay::ShownCells() const {
    SerialCells cells = ShownDeviceCells();
    for (std::uint8_t& cell : cells) cell = DeviceToHost(cell);
    return cells;
}

std::string SerialDisplay::ShownBraille() const { return detail::BrailleText(ShownCells()); }

int SerialDisplay::DisplayFramesReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->displayFrames;
}

int SerialDisplay::IdentifyRequests() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->identifyRequests;
}

int SerialDisplay::IdentifyDonesReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->identifyDones;
}

int SerialDisplay::AcksReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->acksReceived;
}

int SerialDisplay::AcksSent() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->acksSent;
}

int SerialDisplay::BadFramesReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->badFrames;
}

int SerialDisplay::BytesReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->bytesReceived;
}

int SerialDisplay::StrayBytesReceived() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->strayBytes;
}

int SerialDisplay::PendingAnswers() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return static_cast<int>(m_impl->pending.size());
}

std::vector<SerialWireFrame> SerialDisplay::Wire() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->wire;
}

std::vector<SerialWireFrame> SerialDisplay::WireFrom(std::size_t first) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const std::vector<SerialWireFrame>& wire = m_impl->wire;
    if (first >= wire.size()) return {};
    return std::vector<SerialWireFrame>(wire.begin() + static_cast<std::ptrdiff_t>(first),
                                        wire.end());
}

bool SerialDisplay::WaitTakenIn(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_impl->mutex);
    const std::uint64_t ticket = ++m_impl->takeInAsked;
    m_impl->Wake();
    return m_impl->takenIn.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return m_impl->takeInDone >= ticket; });
}

bool SerialDisplay::WaitUntil(const std::function<bool(const SerialDisplay&)>& condition,
                              int timeoutMs) const {
    // Real time, whatever clock GetTickCount follows: a test on the manual clock waits here for
    // the serving thread, not for the clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition(*this)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace zelsim
