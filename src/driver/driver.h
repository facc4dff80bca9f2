// The driver object: the one instance of CBrailleSampleDriver that a host reaches through
// GetBrailleInterface, with the state of every subsystem. Each subsystem's own types and constants
// are in its folder's header (hid/hid_link.h, serial/serial_link.h, session/session.h); this one
// keeps the worker's commands and constants and the class with its fields in their order.
//
// Threads: the host's thread runs the interface slots and the key window; the worker thread runs
// every command handler and the poll cycle. Each field says which thread writes it and which reads
// it. Fields that both threads touch are SharedField (a relaxed atomic 32-bit value); the rest have
// one thread only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver/braille_interface.h"
#include "driver/shared_field.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"
#include "session/session.h"

// Window message that carries one key event to the key window: first parameter the address of a
// static key name, second the key's value.
constexpr UINT WM_DRIVER_KEY = WM_USER + 1;

// The commands that the host's slots post to the worker thread. Each travels as thread message
// kCommandMessageBase + code, with the payload pointer (or 0) as first parameter and the payload's
// length (for CmdSuspend, the flag) as second.
enum DriverCommand : std::uint32_t {
    CmdStop = 0,
    CmdNone = 1,
    CmdOpenPort = 2,
    CmdClosePort = 3,
    CmdSuspend = 4,
    CmdWriteMain = 5,
    CmdWriteAll = 6,
    CmdClear = 7,
    CmdPoll = 8,
};
constexpr UINT kCommandMessageBase = WM_USER + 2;
constexpr UINT kLastCommandMessage = kCommandMessageBase + CmdPoll;

// Timing of the host side and the worker, in milliseconds.
constexpr DWORD kWorkerWaitMs = 5000;  // ready wait, stop wait, and the renewal of command waits
constexpr UINT kPollPeriodMs = 100;

constexpr int kVersionCode = 0x300;
constexpr std::size_t kOpenParamSize = 256;
constexpr std::size_t kDriverNameSize = 80;

class CSerial;

// The driver's identifier {D5D2D9E8-4637-4A07-BF46-42543A3CAACC}.
constexpr GUID kDriverIdentity = {
    0xD5D2D9E8, 0x4637, 0x4A07, {0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC}};

class CBrailleSampleDriver : public IBrailleDriver {
  public:
    CBrailleSampleDriver() noexcept;
    // Runs when the library unloads: kills the worker's timer if one is left and lets go of the
    // shared control block. The host closes the driver before unloading it, so nothing else is
    // released here. Not virtual: the interface has
    // no destructor slot and the object is never deleted through it.
    ~CBrailleSampleDriver();
    CBrailleSampleDriver(const CBrailleSampleDriver&) = delete;
    CBrailleSampleDriver& operator=(const CBrailleSampleDriver&) = delete;

    // IBrailleDriver, slots 0 to 34 (host_slots.cpp).
    int Open(const char* portName, IBrailleSink* sink, const char* openParam1,
             const char* openParam2) override;
    void Close() override;
    IBrailleSink* SetSink(IBrailleSink* sink) override;
    int GetOpenParam1(char* buffer, int size) override;
    int GetOpenParam2(char* buffer, int size) override;
    int Reserved5(int first, int second) override;
    int GetVersionCode() override;
    int Reserved7() override;
    int Reserved8() override;
    int Reserved9() override;
    int Reserved10(int first) override;
    int WriteMain(const unsigned char* cells, int count) override;
    int WriteAll(const unsigned char* cells, int count) override;
    int ClearDisplay() override;
    int Reserved14(int first, int second) override;
    int Reserved15() override;
    int Suspend(int flag) override;
    void Reserved17() override;
    int GetTextCellCount() override;
    int Reserved19() override;
    int GetStatusCellCount() override;
    int GetTotalCellCount() override;
    int Reserved22() override;
    int Reserved23(int first, int second, int third, int fourth) override;
    int Reserved24() override;
    int Reserved25(int first, int second) override;
    int Reserved26(int first, int second, int third) override;
    int Reserved27(int first) override;
    int Reserved28(int first) override;
    int Reserved29() override;
    void Reserved30(int first) override;
    int Reserved31() override;
    void Reserved32(int first) override;
    int Reserved33() override;
    int GetIdentity(char* nameBuffer, int nameBufferSize, GUID* identifier) override;

    // Slots 35 and 36: the class's own, outside IBrailleDriver; they do nothing.
    virtual void Reserved35(int first);
    virtual void Reserved36(int first);

    // Worker thread and command channel (worker.cpp).
    int StartWorker();
    static unsigned __stdcall WorkerThreadProc(void* driver);
    int PostCommand(DriverCommand code, const void* data, std::uint32_t count, int wait);
    int HandleCommand(std::uint32_t code, std::uint8_t* payload, std::uint32_t param);

    // Key window (key_window.cpp).
    ATOM RegisterKeyWindowClass(HINSTANCE instance);
    HWND CreateKeyWindow(HINSTANCE instance);

    // Device session, worker thread only (src/session).
    int OpenTransport(const char* name);
    void CloseTransport();
    void WriteMainCells(const std::uint8_t* cells, std::uint32_t count);
    void WriteAllCells(const std::uint8_t* cells, std::uint32_t count);
    void ClearCells();
    void ResendImage();
    // Stores host cells into the image from cell `start` and sends the image (display_image.cpp).
    void WriteImage(std::uint32_t start, const std::uint8_t* cells, std::uint32_t count);
    // Sends a blank image before the host's Close lets the display go (display_image.cpp).
    void BlankBeforeClose();
    void Poll();
    // The first step of every tick: attaches to the shared control block and acts on it; 0 when
    // the rest of the tick must not run (shared_block.cpp).
    int ServiceSharedBlock();
    // Pauses (non-zero) or resumes (0) on behalf of the other program (shared_block.cpp).
    void SetSharedPause(int flag);
    // Unmaps the shared control block and closes its section (shared_block.cpp).
    void DetachSharedBlock();

    // USB display: discovery and report I/O (src/hid/hid_link.cpp), worker thread only.
    int FindDisplay();
    int WriteReport(const std::uint8_t* data);
    int ReadReport(std::uint8_t* data);
    // USB display protocol (src/hid/hid_protocol.cpp), worker thread only.
    int Handshake();
    int SendDisplayFrame(const std::uint8_t* frame);
    void SendQueuedFrame();
    void HandleInputReport(const std::uint8_t* data);

    // Serial link (src/serial), worker thread only.
    void SendFrame(std::uint8_t command, std::uint8_t length, const std::uint8_t* payload);
    void FeedByte(std::uint8_t byte);
    void HandleSerialMessage(std::uint8_t type, std::uint8_t length, const std::uint8_t* payload);
    int OpenSerialPort();
    int IdentifySerialDevice();

    // Keyboard emulation (src/input/keyboard_emulation.cpp), worker thread only.
    void InjectCharacter(std::uint16_t code);
    void InjectScanCode(std::uint16_t code);

    // Key naming (src/input/key_naming.cpp), worker thread only.
    void HandleFunctionKey(std::uint8_t code);
    void HandleHidRoutingKey(std::uint8_t code);
    void HandleSerialRoutingKey(std::uint8_t code);

    // ---- Fields, in declaration order ----

    // Worker thread: the USB display, opened for attributes and synchronous writes; null when no
    // USB display is open (the test for a closed link everywhere).
    HANDLE deviceHandle = nullptr;
    // Host thread. 1 after a successful Open; only Close tests it.
    int m_opened = 0;
    // Written by Suspend (host) and by the poll cycle's own suspension (worker); read by both.
    SharedField<std::int32_t> m_suspended;
    // Host thread: the two strings given to the last successful Open, zero-terminated.
    char m_openParam1[kOpenParamSize] = {};
    char m_openParam2[kOpenParamSize] = {};
    // Written by Open and SetSink (host); read by the key window (host) and keyboard emulation
    // (worker).
    SharedField<IBrailleSink*> m_sink;
    // Written by the open attempt (worker); read by the cell-count slots and Open (host).
    SharedField<std::int32_t> m_textCells;
    SharedField<std::int32_t> m_statusCells;
    // Host thread: the worker thread's handle, null when there is no worker.
    HANDLE m_thread = nullptr;
    // Created and closed by the host; set by the worker after every command and tick.
    SharedField<HANDLE> m_commandDone;
    // Host thread: the worker's thread id, target of every posted command.
    DWORD m_threadId = 0;
    // Written by the host; read by the key window procedure (host) and key producers (worker).
    SharedField<HWND> m_keyWindow;
    // The driver's name, also the key window's class name. Never changed.
    char m_driverName[kDriverNameSize] = {};
    // Worker thread: 1 while an open attempt runs its handshake or identification.
    int m_opening = 0;
    // Worker thread: the tick count when the last display frame was sent.
    DWORD m_lastSendTick = 0;
    // Written by the worker; read by the tear-down at unload.
    SharedField<UINT_PTR> m_timerId;
    // Worker thread: 1 when the open display is the USB one, 0 for serial.
    int m_useHid = 0;
    // Worker thread: the rest of the USB link. `caps` is loaded at each discovery; `readEvent`
    // and `readOverlapped` are set up at the first match and kept for the life of the driver;
    // `readHandle` is the display opened a second time, for overlapped reads; `readReport` is the
    // buffer those reads fill, owned by the link so that it outlives a cancelled read.
    HIDP_CAPS caps = {};
    HANDLE readEvent = nullptr;
    OVERLAPPED readOverlapped = {};
    HANDLE readHandle = nullptr;
    std::uint8_t readReport[kReportSize] = {};
    // Worker thread: the display image in device dot order (CellBuffer).
    std::uint8_t m_cellBuffer[kImageCells] = {};
    // Worker thread: 1 while routing and status keys are named after the second row.
    std::int32_t m_secondRow = 0;
    // Worker thread: USB frames held back while an acknowledgement is awaited.
    FrameQueue m_frameQueue;
    // Worker thread: non-zero while a sent display frame is unacknowledged.
    std::int32_t m_awaitingAck = 0;
    // Worker thread: the serial port object while a serial port is open or being identified.
    CSerial* m_serial = nullptr;
    // Worker thread: the port name of the last open attempt, uppercased.
    char m_portName[kPortNameSize] = {};
    // Worker thread: the serial protocol's state. The port number is the number after "COM".
    std::int32_t m_portNumber = 0;
    FrameParser m_parser;
    std::int32_t m_deviceIdentified = 0;
    DeferredFrame m_deferredFrame;
    LastFrame m_lastFrame;
    std::int32_t m_deferredPending = 0;
    // Worker thread (and the tear-down at unload): the shared control block's section and its
    // view; null while detached.
    HANDLE m_sectionHandle = nullptr;
    SharedControlBlock* m_blockView = nullptr;
    // Worker thread: the serial display's identification bytes; consecutive serial time-outs.
    std::uint8_t m_deviceId1 = 0;
    std::uint8_t m_deviceId2 = 0;
    std::uint8_t m_serialTimeouts = 0;
    // Worker thread: the frame being received or dispatched.
    ReceivedMessage m_message;
    // Worker thread: keyboard-event flags announced by scan-code prefixes.
    std::uint32_t m_pendingKeyFlags = 0;
    // Worker thread: 1 while the display is lent to the other program through the shared block.
    std::int32_t m_sharedPause = 0;

    // Completion bookkeeping of the waiting slots. Every command and every tick sets the one
    // completion event, so a waiting slot cannot take the event alone as the sign that its own
    // command ran. Only Open, Close and Suspend post the three waiting commands (CmdOpenPort,
    // CmdClosePort, CmdSuspend); the worker counts those it has handled, and a slot waits until the
    // count reaches the number it drew when it posted. The queue is in order, so the count reaching
    // a slot's number means its own command has run.
    std::uint32_t m_waitsPosted = 0;            // host thread only
    SharedField<std::uint32_t> m_waitsHandled;  // written by the worker, read by the host
    // Written by the worker when it has run an open attempt for CmdOpenPort: that attempt's result.
    // Read by Open (host) after its wait.
    SharedField<std::int32_t> m_openResult;
    // Set by the host when it gives up on a worker that never became ready; a worker that starts
    // late sees it once its queue exists and ends at once.
    std::atomic<std::int32_t> m_abandonWorker{0};

  private:
    // Opens the HID interface at `path` and keeps it when it is the display (hid_link.cpp).
    int OpenIfDisplay(const HidLibrary& hid, const char* path);
    // Copies a finished read's data bytes out of the link's report buffer (hid_link.cpp).
    void TakeReport(std::uint8_t* data);
    void EmptyFrameQueue();
    // Sends a display frame now, as six reports, and starts awaiting its acknowledgement.
    int TransmitFrame(const std::uint8_t* frame);
    // Closes both handles of the USB display and forgets them (transport.cpp).
    void CloseHidHandles();
    // True while the link in use has its display open: the USB handles or the serial port
    // (transport.cpp).
    bool TransportIsOpen() const;
    // The serial branch of the poll cycle (poll_cycle.cpp).
    void PollSerial();
    // Suspends the driver from the worker thread, as Suspend(1) would (poll_cycle.cpp).
    void SuspendFromWorker();
    // Waits (spinning) until the display has acknowledged the frame in flight, handling what it
    // sends meanwhile, or until the acknowledgement time-out has passed on the tick count since
    // the frame went out (serial_link.cpp).
    void AwaitSerialAck();
    // Reads what the serial port holds, at most `size` bytes, without waiting (serial_link.cpp).
    std::uint32_t ReadArrivedBytes(std::uint8_t* buffer, std::uint32_t size);
    // Checks a completed frame and acts on it (serial_protocol.cpp).
    void CheckFrame();
    // The HID branch of the poll cycle (poll_cycle.cpp).
    void PollHid();
    // Posts one key event to the key window (key_naming.cpp).
    void PostKeyEvent(const char* name, std::int32_t value);

    // Closes the completion event and destroys the key window; runs on the host's thread.
    void ReleaseHostObjects();
    // Waits for the worker thread to end (at most kWorkerWaitMs), closes its handle and forgets it.
    void ForgetWorker();
    // Waits, pumping this thread's sent messages, until the worker has handled waiting command
    // number `ticket` (or has ended).
    void WaitForCompletion(std::uint32_t ticket);
    void RunMessageLoop();
    static int CopyOpenParam(const char* source, char* buffer, int size);
};

extern CBrailleSampleDriver g_driver;
extern HINSTANCE g_moduleInstance;

// The .def file exports GetBrailleInterface from zel.dll; natively every other symbol of the
// library is hidden, and the export is made visible here.
#if defined(_WIN32)
#define ZEL_EXPORT
#else
#define ZEL_EXPORT __attribute__((visibility("default")))
#endif

// The library's one export: stores the address of g_driver in `*driver` and returns `driver`. It
// is a C function in the C calling convention: the caller removes the argument.
extern "C" ZEL_EXPORT IBrailleDriver** __cdecl GetBrailleInterface(IBrailleDriver** driver);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
