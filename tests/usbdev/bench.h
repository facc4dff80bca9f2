// The Windows side of the test HID minidriver: creates and removes its devices through SetupAPI
// and moves their reports through its control device. Test equipment for Windows programs that
// run under Wine; the driver under test never sees it.
//
// A device is a root device "ROOT\ZELUSB\000n" whose slot n is also its index here. Creating one
// loads the minidriver (installed in the prefix by zel-usb-install) and waits, polling with a
// generous time-out, until the HID class has made its HID interface present; removing one waits
// until the minidriver has let it go. Output reports that programs write to a device reach the
// handler given for it, on the bench's own thread, in the order they were written.
//
// That thread delivers them a little after the writer's WriteFile has returned. A check that
// looks at what a device was given (a simulated display's cells, its counters) after a call that
// wrote to it first waits with WaitDelivered; a check that counts the process's handles does so
// inside Quiet, since the bench's own calls hold handles for a moment.
//
// Wine now and then cancels the bench's waiting take of output reports although nobody asked it
// to: a cancel request that wineserver queues for another request of the same driver (a HID read
// that a program cancels at the moment a report completes it) carries only the address of that
// request, which the minidriver's process may already have freed and given to the next take. The
// take then ends with ERROR_OPERATION_ABORTED and takes no report (they stay queued in the
// minidriver), so the bench makes it again; on Windows a cancel names a live request only.
#pragma once

#include <windows.h>
#include <zel_sim/slim_mutex.h>

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

// A condition variable that holds no handle (std::condition_variable of this build makes two the
// first time it waits, and keeps them), for the bench's SlimMutex.
class SlimCondition {
  public:
    void notify_all() { WakeAllConditionVariable(&m_condition); }
    // With `mutex` held: waits until `done` holds, at most `timeoutMs`; `done` is the answer.
    template <class Done>
    bool wait_for(zelsim::SlimMutex& mutex, DWORD timeoutMs, Done done) {
        const DWORD start = GetTickCount();
        while (!done()) {
            const DWORD waited = GetTickCount() - start;
            if (waited >= timeoutMs) return false;
            SleepConditionVariableSRW(&m_condition, mutex.native_handle(), timeoutMs - waited, 0);
        }
        return true;
    }

  private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
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

    // Waits until every output report written to any device before the call has been handed to
    // its handler (or queued for TakeOutput), and the handler has returned; false (with Error())
    // if that has not happened within `timeoutMs`. Not from a handler or a tick.
    bool WaitDelivered(DWORD timeoutMs = 30000);
    // While the returned lock is held no handler or tick runs and the bench makes no call of its
    // own on another thread: the process's handles are the program's. Hold it only to look;
    // WaitDelivered and anything that needs a handler to run would wait for it.
    std::unique_lock<zelsim::SlimMutex> Quiet();

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

    bool OutputState(unsigned long* queued, unsigned long* taken) const;
    // Hands one output report to its device's handler or queue, on the pump's thread.
    void Deliver(unsigned long slot, const std::uint8_t* report, unsigned long length);

    // Slim locks: the bench makes no handle of its own while the driver under test runs.
    mutable zelsim::SlimMutex m_mutex;
    zelsim::SlimMutex m_busy;  // held while a handler or a tick runs, and by Quiet
    SlimCondition m_outputArrived;
    unsigned long m_handled = 0;  // reports taken and dealt with, counted as the minidriver does
    SlimCondition m_handledMore;
    std::vector<Device> m_devices;
    std::string m_error;
    HANDLE m_control = INVALID_HANDLE_VALUE;
    HANDLE m_stop = nullptr;
    std::thread m_pump;
    DWORD m_tickPeriod = 0;
    std::function<void()> m_tick;
};

}  // namespace zelusb
