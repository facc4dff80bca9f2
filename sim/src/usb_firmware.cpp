// The simulated display's USB firmware. Layout of the wire, from the display's side (offsets
// within the 8 data bytes that follow the report ID):
//
//   hello in      FB AA 55 00 00 00 00 00      hello out   FB AA 55 v1 v2 00 00 00
//   frame in      six reports carrying FF AA 55, 42 cells, 55 AA FF (48 bytes)
//   ack out       FF 00 00 00 00 00 00 00      (one per complete frame)
//   routing out   FD k 00 00 00 00 00 00       function out  FE k 00 00 00 00 00 00
//
// A frame is positional: once its first report has arrived, the next five reports belong to it
// whatever they begin with, and only the trailer at the end of the sixth decides whether it was
// whole.
#include <zel_sim/usb_firmware.h>
#include <zel_sim/slim_mutex.h>

#include <windows.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "cells.h"

namespace zelsim {

namespace {

constexpr std::size_t kDataBytes = 8;
constexpr std::size_t kReportBytes = kDataBytes + 1;  // report ID first
using Data = std::array<std::uint8_t, kDataBytes>;

constexpr std::uint8_t kHelloByte = 0xFB;
constexpr std::uint8_t kFrameByte = 0xFF;
constexpr std::uint8_t kRoutingByte = 0xFD;
constexpr std::uint8_t kFunctionByte = 0xFE;
constexpr std::uint8_t kMagic1 = 0xAA;
constexpr std::uint8_t kMagic2 = 0x55;

constexpr int kReportsPerFrame = 6;
constexpr std::size_t kFrameBytes = kReportsPerFrame * kDataBytes;  // 48
constexpr std::size_t kHeaderBytes = 3;
static_assert(kHeaderBytes + kUsbCells + 3 == kFrameBytes, "a frame fills six reports exactly");

using detail::DeviceToHost;

bool IsHello(const Data& d) {
    return d[0] == kHelloByte && d[1] == kMagic1 && d[2] == kMagic2 && d[3] == 0 && d[4] == 0 &&
           d[5] == 0 && d[6] == 0 && d[7] == 0;
}

bool IsFrameHeader(const Data& d) {
    return d[0] == kFrameByte && d[1] == kMagic1 && d[2] == kMagic2;
}

bool HasFrameTrailer(const std::array<std::uint8_t, kFrameBytes>& frame) {
    return frame[kFrameBytes - 3] == kMagic2 && frame[kFrameBytes - 2] == kMagic1 &&
           frame[kFrameBytes - 1] == kFrameByte;
}

}  // namespace

struct UsbFirmware::Impl {
    // One acknowledgement not sent yet.
    struct PendingAck {
        DWORD arrived;  // GetTickCount when its frame was complete
        DWORD delay;    // milliseconds it must wait from then
        bool held;      // kept back until ReleaseHeldAcks
    };

    UsbDisplayOptions options;
    // Set before reports move; read under sendMutex.
    UsbLink* link = nullptr;

    // Taken for every step that may send input reports, around the step's decision and its
    // link's SendInputReport calls, so that reports leave in the order they were decided and none
    // decided before an unplug is sent after it. Never held across a link call that could call
    // the firmware or wait for it (only SendInputReport is called under it).
    SlimMutex sendMutex;
    // Guards everything below. Taken after sendMutex when both are needed; never held across a
    // link call.
    mutable SlimMutex mutex;

    bool plugged = true;
    UsbCells cells{};  // device order
    std::array<std::uint8_t, kFrameBytes> frame{};
    int frameReports = 0;  // reports of the current frame received so far; 0 outside a frame

    bool answerHello = true;
    int dropNext = 0;
    bool dropAll = false;
    DWORD ackDelay = 0;
    bool holdAcks = false;
    std::deque<PendingAck> pendingAcks;

    // Pacing, guarded by sendMutex: reports waiting for their millisecond, and when the last one
    // left.
    bool pace = false;
    std::deque<Data> paced;
    bool pacedAny = false;
    DWORD lastPaced = 0;

    int framesReceived = 0;
    int hellosReceived = 0;
    int reportsReceived = 0;
    int malformedReports = 0;
    int acksSent = 0;

    explicit Impl(const UsbDisplayOptions& o) : options(o), answerHello(o.answerHello) {}

    // ---- Called with `mutex` held: decide, and collect what to send ----

    // Moves every acknowledgement that may leave now, in order, to `out`.
    void TakeDueAcks(std::vector<Data>& out) {
        const DWORD now = GetTickCount();
        while (!pendingAcks.empty()) {
            const PendingAck& ack = pendingAcks.front();
            if (ack.held || static_cast<DWORD>(now - ack.arrived) < ack.delay) break;
            pendingAcks.pop_front();
            out.push_back(Data{kFrameByte});
            ++acksSent;
        }
    }

    void FrameComplete(std::vector<Data>& out) {
        frameReports = 0;
        if (!HasFrameTrailer(frame)) {
            ++malformedReports;
            return;
        }
        for (std::size_t i = 0; i < kUsbCells; ++i) cells[i] = frame[kHeaderBytes + i];
        ++framesReceived;
        if (dropAll) return;
        if (dropNext > 0) {
            --dropNext;
            return;
        }
        pendingAcks.push_back(PendingAck{GetTickCount(), ackDelay, holdAcks});
        TakeDueAcks(out);
    }

    void Receive(const std::uint8_t* report, std::size_t length, std::vector<Data>& out) {
        ++reportsReceived;
        // The report ID is always 0; anything shorter than a whole report carries no message. A
        // report longer than 9 bytes (a device declaring a longer output report) is read for its
        // first 8 data bytes.
        if (length < kReportBytes || report[0] != 0) {
            if (frameReports > 0) {
                frameReports = 0;
                ++malformedReports;  // the frame it cut short
            }
            ++malformedReports;
            return;
        }
        Data data;
        for (std::size_t i = 0; i < kDataBytes; ++i) data[i] = report[1 + i];

        if (frameReports > 0) {
            for (std::size_t i = 0; i < kDataBytes; ++i)
                frame[static_cast<std::size_t>(frameReports) * kDataBytes + i] = data[i];
            if (++frameReports == kReportsPerFrame) FrameComplete(out);
            return;
        }
        if (IsFrameHeader(data)) {
            for (std::size_t i = 0; i < kDataBytes; ++i) frame[i] = data[i];
            frameReports = 1;
            return;
        }
        if (IsHello(data)) {
            ++hellosReceived;
            if (answerHello)
                out.push_back(
                    Data{kHelloByte, kMagic1, kMagic2, options.helloValue1, options.helloValue2});
            return;
        }
        ++malformedReports;
    }

    // ---- Called with `sendMutex` held and `mutex` not held ----

    void Push(const std::vector<Data>& reports) {
        if (!pace) {
            Send(reports);
            return;
        }
        paced.insert(paced.end(), reports.begin(), reports.end());
        SendPaced();
    }

    // Sends the oldest paced report if its millisecond has come: at most one per tick count step.
    void SendPaced() {
        if (paced.empty()) return;
        const DWORD now = GetTickCount();
        if (pacedAny && now == lastPaced) return;
        pacedAny = true;
        lastPaced = now;
        const Data data = paced.front();
        paced.pop_front();
        Send({data});
    }

    void Send(const std::vector<Data>& reports) {
        // Input reports have the length the device declares, report ID 0 first.
        const std::size_t length =
            options.inputReportByteLength > 0 ? options.inputReportByteLength : kReportBytes;
        std::vector<std::uint8_t> report(length, 0);
        for (const Data& data : reports) {
            std::fill(report.begin(), report.end(), 0);
            for (std::size_t i = 0; i < kDataBytes && 1 + i < length; ++i) report[1 + i] = data[i];
            if (link) link->SendInputReport(report.data(), report.size());
        }
    }

    // Sends one report from the test's side, unless the display is unplugged.
    void SendKey(const Data& data) {
        std::lock_guard<SlimMutex> send(sendMutex);
        {
            std::lock_guard<SlimMutex> lock(mutex);
            if (!plugged) return;
        }
        Push({data});
    }

    // Sends the acknowledgements that may leave now.
    void FlushAcks() {
        std::lock_guard<SlimMutex> send(sendMutex);
        std::vector<Data> out;
        {
            std::lock_guard<SlimMutex> lock(mutex);
            if (!plugged) return;
            TakeDueAcks(out);
        }
        Push(out);
        SendPaced();
    }

    void OnOutputReport(const std::uint8_t* report, std::size_t length) {
        std::lock_guard<SlimMutex> send(sendMutex);
        std::vector<Data> out;
        {
            std::lock_guard<SlimMutex> lock(mutex);
            // A write racing an unplug reaches a display that is already gone.
            if (!plugged) return;
            Receive(report, length, out);
        }
        Push(out);
    }
};

UsbFirmware::UsbFirmware(const UsbDisplayOptions& options)
    : m_impl(std::make_unique<Impl>(options)) {}

UsbFirmware::~UsbFirmware() = default;

const UsbDisplayOptions& UsbFirmware::Options() const { return m_impl->options; }

void UsbFirmware::Attach(UsbLink* link) {
    std::lock_guard<SlimMutex> send(m_impl->sendMutex);
    m_impl->link = link;
}

void UsbFirmware::OnOutputReport(const std::uint8_t* report, std::size_t length) {
    m_impl->OnOutputReport(report, length);
}

void UsbFirmware::SendDueAcks() { m_impl->FlushAcks(); }

void UsbFirmware::SetAnswerHello(bool answer) {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    m_impl->answerHello = answer;
}

void UsbFirmware::DropNextAcks(int frames) {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    m_impl->dropNext = frames > 0 ? frames : 0;
}

void UsbFirmware::SetDropAllAcks(bool drop) {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    m_impl->dropAll = drop;
}

void UsbFirmware::SetAckDelay(std::uint32_t milliseconds) {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    m_impl->ackDelay = milliseconds;
}

void UsbFirmware::SetHoldAcks(bool hold) {
    {
        std::lock_guard<SlimMutex> lock(m_impl->mutex);
        m_impl->holdAcks = hold;
    }
    if (!hold) ReleaseHeldAcks();
}

void UsbFirmware::SetPaceReports(bool pace) {
    std::lock_guard<SlimMutex> send(m_impl->sendMutex);
    m_impl->pace = pace;
    if (!pace) {
        const std::vector<Data> waiting(m_impl->paced.begin(), m_impl->paced.end());
        m_impl->paced.clear();
        m_impl->Send(waiting);
    }
}

void UsbFirmware::ReleaseHeldAcks() {
    {
        std::lock_guard<SlimMutex> lock(m_impl->mutex);
        for (Impl::PendingAck& ack : m_impl->pendingAcks) ack.held = false;
    }
    m_impl->FlushAcks();
}

void UsbFirmware::Unplug() {
    {
        std::lock_guard<SlimMutex> send(m_impl->sendMutex);
        std::lock_guard<SlimMutex> lock(m_impl->mutex);
        if (!m_impl->plugged) return;
        m_impl->plugged = false;
        m_impl->cells.fill(0);
        m_impl->frameReports = 0;
        m_impl->pendingAcks.clear();
        m_impl->paced.clear();
    }
    // Anything sent before the flag fell may still wait on the link, which drops it here.
    UsbLink* link = m_impl->link;
    if (link) link->Unplug();
}

void UsbFirmware::Replug() {
    {
        std::lock_guard<SlimMutex> send(m_impl->sendMutex);
        std::lock_guard<SlimMutex> lock(m_impl->mutex);
        if (m_impl->plugged) return;
        m_impl->plugged = true;
    }
    UsbLink* link = m_impl->link;
    if (link) link->Replug();
}

bool UsbFirmware::Plugged() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->plugged;
}

void UsbFirmware::PressRouting(std::uint8_t code) { m_impl->SendKey(Data{kRoutingByte, code}); }

void UsbFirmware::PressFunction(std::uint8_t code) { m_impl->SendKey(Data{kFunctionByte, code}); }

void UsbFirmware::SendReport(const std::array<std::uint8_t, 8>& data) { m_impl->SendKey(data); }

UsbCells UsbFirmware::ShownDeviceCells() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->cells;
}

UsbCells UsbFirmware::ShownCells() const {
    UsbCells cells = ShownDeviceCells();
    for (std::uint8_t& cell : cells) cell = DeviceToHost(cell);
    return cells;
}

std::string UsbFirmware::ShownBraille() const { return detail::BrailleText(ShownCells()); }

int UsbFirmware::FramesReceived() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->framesReceived;
}

int UsbFirmware::HellosReceived() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->hellosReceived;
}

int UsbFirmware::ReportsReceived() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->reportsReceived;
}

int UsbFirmware::MalformedReports() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->malformedReports;
}

int UsbFirmware::AcksSent() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return m_impl->acksSent;
}

int UsbFirmware::PendingAcks() const {
    std::lock_guard<SlimMutex> lock(m_impl->mutex);
    return static_cast<int>(m_impl->pendingAcks.size());
}

}  // namespace zelsim
