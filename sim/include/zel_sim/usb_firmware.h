// The simulated display's USB firmware: a 40-cell display that speaks in 8-byte HID reports.
//
// It answers the hello, reassembles the six reports of a display frame into the 42 cells it
// shows, acknowledges every frame and sends routing and function key reports. Knobs make it
// misbehave the way real hardware can: no hello reply, a wrong version number, acknowledgements
// dropped, delayed or held back, unplugging and replugging.
//
// The firmware does not know how its reports travel. A UsbLink carries them: natively the
// compatibility layer's virtual HID devices (UsbDisplay), under Wine a HID minidriver's control
// device. Whoever owns the link hands every output report the host wrote to OnOutputReport and
// calls SendDueAcks when the host issues a read (or often, where reads cannot be seen).
//
// Everything here is written from the display's side of the wire and shares no code with the
// driver. Thread-safe: the host's writes arrive on one thread while a test presses keys on another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zelsim {

constexpr std::size_t kUsbCells = 42;
using UsbCells = std::array<std::uint8_t, kUsbCells>;

struct UsbDisplayOptions {
    std::uint16_t vendorId = 0x04D8;
    std::uint16_t productId = 0xABD7;
    std::uint16_t versionNumber = 0xF100;
    // The two device values the display puts in bytes 3 and 4 of its hello reply.
    std::uint8_t helloValue1 = 0x28;
    std::uint8_t helloValue2 = 0x01;
    bool answerHello = true;
    // Lengths declared in the device's capabilities (report ID included).
    std::uint16_t inputReportByteLength = 9;
    std::uint16_t outputReportByteLength = 9;
};

// How the firmware's reports reach the host. Never called with a lock of the firmware held.
class UsbLink {
  public:
    virtual ~UsbLink() = default;
    // One input report, report ID first, of the length the device declares.
    virtual void SendInputReport(const std::uint8_t* report, std::size_t length) = 0;
    // The device leaves the bus (handles on it die, input not read yet is lost) and comes back.
    virtual void Unplug() = 0;
    virtual void Replug() = 0;
};

class UsbFirmware {
  public:
    explicit UsbFirmware(const UsbDisplayOptions& options = {});
    virtual ~UsbFirmware();
    UsbFirmware(const UsbFirmware&) = delete;
    UsbFirmware& operator=(const UsbFirmware&) = delete;

    const UsbDisplayOptions& Options() const;

    // ---- The wire ----
    // Sets the link the firmware sends through; before the first report moves. Null detaches.
    void Attach(UsbLink* link);
    // One output report the host wrote (report ID first), exactly as written.
    void OnOutputReport(const std::uint8_t* report, std::size_t length);
    // Sends the acknowledgements whose delay has passed and that are not held.
    void SendDueAcks();

    // ---- Knobs ----
    void SetAnswerHello(bool answer);
    // Drops the acknowledgements of the next `frames` frames (the frames are still shown).
    void DropNextAcks(int frames);
    // Drops every acknowledgement while set.
    void SetDropAllAcks(bool drop);
    // Sends each acknowledgement only once `milliseconds` of GetTickCount have passed since its
    // frame arrived (delivered when the driver next reads). 0 acknowledges at once.
    void SetAckDelay(std::uint32_t milliseconds);
    // While holding, acknowledgements are kept back until ReleaseHeldAcks sends them all; holding
    // stays on after a release. Turning holding off releases the held ones too. A released
    // acknowledgement still waits out its delay, and acknowledgements always leave in the order of
    // their frames, so one that is kept back keeps back those after it.
    void SetHoldAcks(bool hold);
    // While set (off by default), input reports leave one per millisecond at most, in order, as a
    // device polled every millisecond sends them: one goes at once if its millisecond of
    // GetTickCount is free, the others wait and leave one per later call of SendDueAcks (a read
    // by the host) in a later millisecond. Turning it off sends the waiting ones at once.
    void SetPaceReports(bool pace);
    void ReleaseHeldAcks();
    // A display unplugged goes blank (every cell zero), forgets a frame it was receiving and any
    // acknowledgement it had not sent yet; writes racing the unplug are lost and keys pressed
    // while unplugged are not sent. Knobs and counters are kept. Replugged, it shows nothing until
    // the next frame and takes frames without a new hello.
    void Unplug();
    void Replug();
    bool Plugged() const;

    // ---- Keys (each queues one input report) ----
    void PressRouting(std::uint8_t code);
    void PressFunction(std::uint8_t code);
    // Any 8 data bytes, sent as one input report.
    void SendReport(const std::array<std::uint8_t, 8>& data);

    // ---- What it shows and what it saw ----
    // The 42 cells of the last complete frame, decoded back to the host's dot order (bit i = dot
    // i+1). All zero before the first frame.
    UsbCells ShownCells() const;
    // The same cells as the display holds them (device dot order).
    UsbCells ShownDeviceCells() const;
    // Complete frames received, hellos received, output reports received in all, reports that fit
    // no frame (a frame cut short, a bad trailer, an unknown first byte outside a frame), and
    // acknowledgements sent.
    //
    // A frame is positional: after its header report the next five reports are its data whatever
    // they begin with, so a header in the middle of a frame is taken as cells. A frame counts once
    // in MalformedReports when its trailer is wrong, and once when a report too short for a
    // message or with a report ID other than 0 cuts it short (that report counts as well). Outside
    // a frame, every report that is neither a frame header nor exactly the hello counts once.
    int FramesReceived() const;
    int HellosReceived() const;
    int ReportsReceived() const;
    int MalformedReports() const;
    int AcksSent() const;
    // Acknowledgements decided but not sent yet (delayed or held).
    int PendingAcks() const;
    // Cells as Unicode braille (U+2800 block), 42 characters in UTF-8, for messages and tools.
    std::string ShownBraille() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace zelsim
