// The layer's shared state: handle table, threads, message queues, window classes and windows.
//
// One mutex guards all of it and one condition variable announces every change, so that a wait
// only has to re-check its own condition after each notification. The cost is spurious wake-ups,
// which a driver with a handful of threads never notices; the gain is that no wait can miss a
// change that happened between its check and its sleep.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zelcompat::detail {

using Lock = std::unique_lock<std::mutex>;

// A message sent with SendMessageA to a window of another thread. The sender keeps one reference
// and blocks until `done`; the receiving queue keeps the other until it has called the window
// procedure (or until its thread ends, which completes the message with result 0).
struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
};

// A timer of SetTimer. A thread timer has a null `window`.
struct Timer {
    HWND window;
    UINT_PTR id;
    UINT elapse;
    // Tick count at creation or at the last removal of its WM_TIMER; the timer is due when
    // (now - last) >= elapse, measured with unsigned wrap-around.
    DWORD last;
    TIMERPROC callback;
};

// The per-thread message queue, created by the thread's first message call.
struct MessageQueue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quitPending = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    // QS_* bits for input that arrived since the thread last looked at its queue; this is what
    // MsgWaitForMultipleObjects waits for, as on Windows.
    DWORD changedBits = 0;
};

// One thread known to the layer: started by _beginthreadex or registered on its first call.
struct ThreadRecord {
    DWORD id = 0;
    bool running = true;
    DWORD exitCode = STILL_ACTIVE;
    int priority = THREAD_PRIORITY_NORMAL;
    std::unique_ptr<MessageQueue> queue;
};

class OpenFile;
class SerialFile;
struct PendingIo;
struct HidDevice;
struct DeviceInfoSet;
struct PreparsedData;
struct Section;

// An object behind a handle. Handles are not duplicated, so each object has exactly one handle.
struct KernelObject {
    enum class Kind { kEvent, kThread, kFile, kMapping };
    Kind kind;
    // A file is signalled when a read or write on it completes and unsignalled when one starts,
    // as on Windows; waits do not reset it.
    bool manualReset = false;
    bool signalled = false;
    // Set for kThread; the record outlives the thread for as long as the handle is open.
    std::shared_ptr<ThreadRecord> thread;
    // Set for kFile: what the handle is open on (files.h).
    std::shared_ptr<OpenFile> file;
    // Set for kMapping: the section the handle is open on, and whether it may map views for
    // writing (mappings.cpp).
    std::shared_ptr<Section> section;
    bool mapsForWrite = false;
    std::string sectionName;  // its shared-memory name; empty for an unnamed section
};

// A section name that this process holds handles on (mappings.cpp).
struct NameRecord {
    std::size_t handles = 0;
    // Set when this process made the section: its name goes with the last handle here.
    bool owner = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

struct WindowClass {
    std::string name;  // As registered, for CREATESTRUCTA::lpszClass.
    std::string key;   // Lower-cased name: class names compare case-insensitively.
    ATOM atom;
    HINSTANCE instance;
    WNDPROC proc;
    UINT style;
    std::size_t windows = 0;
};

struct Window {
    HWND handle;
    DWORD owner;
    std::shared_ptr<WindowClass> windowClass;
    WNDPROC proc;
    LONG_PTR userData = 0;
    // Keyed by the lower-cased name (or "#<atom>"): property names are atoms on Windows and so
    // compare case-insensitively.
    std::map<std::string, HANDLE> props;
    bool destroying = false;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    // Counts notifications; lets BlockedWaiterCount tell a waiter that has seen the latest change
    // from one that has not woken for it yet.
    std::uint64_t epoch = 0;
    std::size_t settledWaiters = 0;

    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> handles;
    std::uintptr_t nextHandle = 0x100;

    std::unordered_map<DWORD, std::shared_ptr<ThreadRecord>> threads;
    DWORD nextThreadId = 0x1004;

    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::uintptr_t nextWindow = 0x10020;

    std::vector<std::shared_ptr<WindowClass>> classes;
    ATOM nextAtom = 0xC000;

    UINT_PTR nextTimerId = 1;

    // Reads and writes in progress on file handles, oldest first (files.h).
    std::deque<std::shared_ptr<PendingIo>> pendingIo;

    // Virtual HID devices, keyed by id, which is also their enumeration order (hid_devices.h).
    std::map<int, std::shared_ptr<HidDevice>> hidDevices;
    int nextHidDevice = 1;
    // SetupDiGetClassDevsA's sets and HidD_GetPreparsedData's data, keyed by the opaque values
    // handed out for them; like handles, the values are never reused.
    std::unordered_map<std::uintptr_t, std::shared_ptr<DeviceInfoSet>> deviceInfoSets;
    std::unordered_map<std::uintptr_t, std::shared_ptr<PreparsedData>> preparsedData;
    std::uintptr_t nextOpaqueKey = 0x5E7000;
    std::uintptr_t nextInterfaceSerial = 1;

    // COM ports open on ttys, until their poller thread has been joined (serial.cpp).
    std::vector<SerialFile*> serialPorts;
    // The devices folder of zel_compat/serial.h; read from $ZEL_DOSDEVICES on first use unless
    // SetDevicesFolder came first.
    std::string devicesFolder;
    bool devicesFolderKnown = false;

    // Views of file mappings: base address to length (mappings.cpp).
    std::map<std::uintptr_t, std::size_t> views;
    // The section names this process holds handles on, with their counts (mappings.cpp).
    std::map<std::string, NameRecord> sectionNames;
    // The namespace of named sections (zel_compat/mappings.h); read from $ZEL_OBJECT_NAMESPACE on
    // first use unless SetObjectNamespace came first.
    std::string objectNamespace;
    bool objectNamespaceKnown = false;
};

// The single instance. It is created on first use and never destroyed, so that calls made from
// static destructors and DllMain(DLL_PROCESS_DETACH) at exit still find it.
State& GlobalState();

// Wakes every waiter to re-check its condition; call with the mutex held after any change.
void NotifyAll(State& state);

// Blocks until the next NotifyAll or, with the real clock, until `atMostMs` milliseconds have
// passed (INFINITE: no limit). With the manual clock only a notification ends the wait, since the
// clock moves only through SetTicks/AdvanceTicks, which notify.
void WaitForChange(Lock& lock, DWORD atMostMs);

// Milliseconds left of a `timeout` that started at tick `start`: INFINITE for an infinite
// time-out, 0 once (now - start) >= timeout.
DWORD RemainingMs(DWORD start, DWORD timeout);

// The calling thread's record, registering the thread on its first call. Call without the mutex.
ThreadRecord& CurrentThread();

// The thread's queue, created if it has none. Call with the mutex held.
MessageQueue& EnsureQueue(ThreadRecord& thread);

// Releases what a thread leaves behind when it ends: its pending reads and writes (cancelled),
// windows, timers and queue. Senders waiting on its queue get result 0. Call with the mutex held.
void ReleaseThreadResources(State& state, ThreadRecord& thread);

// Removes what a destroyed window leaves in its owner's queue: posted messages and timers.
void PurgeWindowFromQueue(MessageQueue& queue, HWND window);

// The live window with this handle, or null.
std::shared_ptr<Window> FindLiveWindow(State& state, HWND window);

// Calls the window procedure of a live window, or returns 0 and sets `*alive` to false when the
// window is gone (leaving the last-error code alone). Call without the mutex: the procedure may
// call back into the layer.
LRESULT CallWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            bool* alive = nullptr);

// Removes the windows of an ended thread without sending them messages. Call with the mutex held.
void ReleaseThreadWindows(State& state, DWORD threadId);

// Processes every sent message waiting in the calling thread's queue; returns with the mutex
// held again. Returns true if it processed any.
bool ProcessSentMessages(Lock& lock, ThreadRecord& self);

// Enters `object` into the handle table and returns its new handle. Call with the mutex held.
HANDLE InsertObject(State& state, std::shared_ptr<KernelObject> object);

// The kernel object behind a handle, or null. Call with the mutex held.
std::shared_ptr<KernelObject> FindObject(State& state, HANDLE handle);

// True when the object is signalled; a satisfied wait on an auto-reset event resets it.
bool TryAcquire(KernelObject& object);

// Completes every read and write that a thread left pending when it ended, as cancelled
// (files.cpp). Call with the mutex held.
void CancelThreadIo(State& state, DWORD threadId);

// Cancels what is pending on a file handle that is being closed and releases the open
// (files.cpp). Call with the mutex held, after the handle has left the table.
void CloseFile(State& state, KernelObject& object);

// Lets go of a section handle's hold on the section's name (mappings.cpp). Call with the mutex
// held, after the handle has left the table.
void CloseSection(State& state, KernelObject& object);

// Wakes the poller of every open COM port to re-check its time-outs; the clock calls it when the
// manual count moves (serial.cpp). Call with the mutex held.
void WakeSerialPorts(State& state);

inline std::uintptr_t HandleValue(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace zelcompat::detail
