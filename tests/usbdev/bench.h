// The Windows side of the test HID minidriver: creates and removes its devices through SetupAPI
// and moves their reports through its control device. Test equipment for Windows programs that
// run under Wine; the driver under test never sees it.
//
// A device is a root device "ROOT\ZELUSB\000n" whose slot n is also its index here. Creating one
// loads the minidriver (installed in the prefix by zel-usb-install) and waits, polling with a
// generous time-out, until the HID class has made its HID interface present; removing one waits
// until the minidriver has let it go. Output reports that programs write to a device reach the
// handler given for it, on the bench's own thread, in the order they were written.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelusb {

struct DeviceIdentity {
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT versionNumber = 0;
    // Report lengths as the capabilities count them (report ID included), 2 to 72.
    USHORT inputReportByteLength = 9;
    USHORT outputReportByteLength = 9;
};

// Called on the bench's thread with one output report (report ID first).
using OutputHandler = std::function<void(const std::uint8_t* report, std::size_t length)>;

class Bench {
  public:
    // Removes devices an earlier run left behind. Check Error() before use.
    Bench();
    // Removes every device it created.
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // What went wrong last, for test messages; empty if nothing did.
    std::string Error() const;

    // Creates a device, present and ready to open, and returns its slot; -1 on failure. Without a
    // handler its output reports wait for TakeOutput.
    int Add(const DeviceIdentity& identity, OutputHandler handler = nullptr);
    // Unplugs the device (its HID interface disappears, its handles die); true once it is gone.
    bool Remove(int slot);
    // Plugs a removed device in again with the same identity and handler.
    bool Readd(int slot);
    // Removes the device if it is present and frees its slot for another.
    void Release(int slot);
    // The device's HID interface path as SetupAPI lists it; empty while removed.
    std::string Path(int slot) const;

    // Handles programs hold open on the device as the minidriver counts them; -1 if it cannot be
    // asked. Wine does not refuse an exclusive open of a HID device that is held, so this is how a
    // test sees that a handle was let go. Not counted: the handles of Wine's raw input list (it
    // keeps one on every HID device), and those that died with a removal (their closing reaches
    // no driver).
    int OpenHandles(int slot) const;

    // One input report (report ID first) from the device.
    bool Push(int slot, const std::uint8_t* report, std::size_t length);
    // The next output report of a device without a handler, waiting up to `timeoutMs`.
    bool TakeOutput(int slot, std::vector<std::uint8_t>* report, DWORD timeoutMs);

    // Every `periodMs` while devices exist, `tick` runs on the bench's thread (for firmware whose
    // replies become due with time). 0 stops it; once SetTick returns, the old tick is not running.
    void SetTick(DWORD periodMs, std::function<void()> tick);

  private:
    struct Device {
        bool exists = false;
        bool present = false;
        DeviceIdentity identity;
        OutputHandler handler;
        std::string path;
        std::deque<std::vector<std::uint8_t>> outputs;
    };

    bool Create(int slot);
    bool Destroy(int slot);
    bool OpenControl();
    // State, open handles and whether the HID class reads; false if the minidriver cannot be asked.
    bool SlotState(int slot, unsigned long* state, unsigned long* handles,
                   bool* reading = nullptr) const;
    void Pump();
    void Fail(const std::string& what);

    mutable std::mutex m_mutex;
    std::mutex m_tickMutex;  // held while a tick runs
    std::condition_variable m_outputArrived;
    std::vector<Device> m_devices;
    std::string m_error;
    HANDLE m_control = INVALID_HANDLE_VALUE;
    HANDLE m_stop = nullptr;
    std::thread m_pump;
    DWORD m_tickPeriod = 0;
    std::function<void()> m_tick;
};

}  // namespace zelusb
