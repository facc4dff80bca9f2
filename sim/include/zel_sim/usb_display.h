// The simulated display's USB side: the firmware of a 40-cell display behind a virtual HID device.
//
// It answers the hello, reassembles the six reports of a display frame into the 42 cells it
// shows, acknowledges every frame and sends routing and function key reports. Knobs make it
// misbehave the way real hardware can: no hello reply, a wrong version number, acknowledgements
// dropped, delayed or held back, unplugging and replugging.
//
// Everything here is written from the display's side of the wire and shares no code with the
// driver. Thread-safe: the driver's worker thread writes reports while a test presses keys.
#pragma once

#include <zel_compat/hid.h>

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

class UsbDisplay {
  public:
    // Registers the device with the compatibility layer, plugged in.
    explicit UsbDisplay(const UsbDisplayOptions& options = {});
    // Unregisters the device.
    ~UsbDisplay();
    UsbDisplay(const UsbDisplay&) = delete;
    UsbDisplay& operator=(const UsbDisplay&) = delete;

    zelcompat::HidDeviceId DeviceId() const;

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
