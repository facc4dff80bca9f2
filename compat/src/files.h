// File handles: what CreateFileA opens and ReadFile, WriteFile, CancelIo and GetOverlappedResult
// work on.
//
// A file handle's KernelObject holds an OpenFile, implemented once per kind of device (virtual
// HID devices in hid.cpp, COM ports in serial.cpp). files.cpp makes the checks common to every
// kind and hands the call to the OpenFile. An I/O that cannot complete at once becomes a
// PendingIo in the State; the device completes it later, and CancelIo, CloseHandle, the end of
// the issuing thread or the loss of the device abort it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "state.h"

namespace zelcompat::detail {

// The NTSTATUS values that completions leave in OVERLAPPED::Internal.
constexpr DWORD kStatusSuccess = 0x00000000;
// A serial read or write that ended on its time-out; a success code, as on Windows.
constexpr DWORD kStatusTimeout = 0x00000102;
constexpr DWORD kStatusDeviceNotConnected = 0xC000009D;
constexpr DWORD kStatusCancelled = 0xC0000120;

class HidFile;
class SerialFile;

// One open of a device, behind one file handle.
class OpenFile {
  public:
    OpenFile(DWORD access, bool overlapped) : access_(access), overlapped_(overlapped) {}
    virtual ~OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    DWORD Access() const { return access_; }
    bool Overlapped() const { return overlapped_; }

    // ReadFile and WriteFile once the common checks have passed: the handle is a file opened
    // with the access the call needs, an overlapped handle comes with an OVERLAPPED, the buffer
    // is there and the byte count has been zeroed. `self` is the handle's object. Called without
    // the mutex.
    virtual BOOL Read(const std::shared_ptr<KernelObject>& self, BYTE* buffer, DWORD length,
                      LPDWORD bytesRead, LPOVERLAPPED overlapped) = 0;
    virtual BOOL Write(const std::shared_ptr<KernelObject>& self, const BYTE* buffer, DWORD length,
                       LPDWORD bytesWritten, LPOVERLAPPED overlapped) = 0;
    // The handle has been closed and what was pending on it aborted. Called with the mutex held.
    virtual void Closed(State& state) = 0;
    // Called once after Closed, by the closing thread without the mutex: where a kind of device
    // joins threads of its own.
    virtual void Shutdown() {}

    virtual HidFile* AsHid() { return nullptr; }
    virtual SerialFile* AsSerial() { return nullptr; }

  private:
    DWORD access_;
    bool overlapped_;
};

// A read or write waiting for its device.
struct PendingIo {
    std::shared_ptr<KernelObject> file;  // The handle's object.
    const void* device;                  // What completes it: the device kind's own record.
    DWORD thread;                        // The issuing thread, for CancelIo and thread exit.
    BYTE* buffer;
    DWORD length;
    OVERLAPPED* overlapped;               // The caller's, or `own` for a call without one.
    std::shared_ptr<KernelObject> event;  // Of overlapped->hEvent, or null.
    OVERLAPPED own{};
    // Bytes moved so far by a device that transfers in pieces (serial ports); an aborted I/O
    // reports them, as on Windows.
    DWORD transferred = 0;
    // Set on completion, for a blocking caller.
    bool done = false;
    DWORD status = 0;
    DWORD bytes = 0;
};

// The event of an OVERLAPPED: true with `event` set (null when hEvent is null), or false with
// ERROR_INVALID_HANDLE set. Call with the mutex held.
bool FindCompletionEvent(State& state, const OVERLAPPED* overlapped,
                         std::shared_ptr<KernelObject>* event);

// Completes a read or write that did not have to wait: status and bytes go into the OVERLAPPED
// (if any), its event and the file are signalled. Call with the mutex held.
void FinishIo(State& state, KernelObject& file, OVERLAPPED* overlapped, KernelObject* event,
              DWORD status, DWORD bytes);

// Registers a read or write that waits for `device`: its OVERLAPPED becomes STATUS_PENDING and
// its event and the file unsignalled, as when Windows starts an I/O. `io` may be a device kind's
// own extension of PendingIo, to be filled in here; null makes a plain one. Call with the mutex
// held.
std::shared_ptr<PendingIo> AddPendingIo(State& state, std::shared_ptr<KernelObject> file,
                                        const void* device, DWORD thread, BYTE* buffer,
                                        DWORD length, OVERLAPPED* overlapped,
                                        std::shared_ptr<KernelObject> event,
                                        std::shared_ptr<PendingIo> io = nullptr);

// The oldest pending I/O waiting for `device`, or null. Call with the mutex held.
std::shared_ptr<PendingIo> OldestPendingIo(State& state, const void* device);

// Completes a pending I/O and removes it from the list. Call with the mutex held.
void CompletePendingIo(State& state, PendingIo& io, DWORD status, DWORD bytes);

// Completes every pending I/O that `match` selects with `status` and the bytes it has moved so
// far (none, but for serial ports); their buffers are not touched. Call with the mutex held.
void AbortPendingIo(State& state, const std::function<bool(const PendingIo&)>& match, DWORD status);

// For a call on a handle opened without FILE_FLAG_OVERLAPPED: waits until `io` completes and
// returns the call's result.
BOOL WaitForBlockingIo(Lock& lock, PendingIo& io, LPDWORD bytesTransferred);

// The HID open behind a handle, or null with the error set: ERROR_INVALID_HANDLE for anything
// but a file, ERROR_INVALID_FUNCTION for a file that is no HID device, and
// ERROR_DEVICE_NOT_CONNECTED once the device is gone (hid.cpp). Call with the mutex held.
HidFile* FindLiveHidFile(State& state, HANDLE handle);

// Opens the virtual HID device whose path is `key` (lower-cased, with the \\?\ prefix). Returns
// null and leaves `error` alone for a path that names no registered device, or sets it for one
// that names a device that cannot be opened now (hid.cpp). Call with the mutex held.
std::shared_ptr<OpenFile> OpenHidPath(State& state, const std::string& key, DWORD access,
                                      bool overlapped, DWORD* error);

// The number n of a COM port that CreateFileA's `key` (as for OpenHidPath) names: "\\?\comn"
// for any n from 1 to 256, or a bare "comn" for 1 to 9, the DOS device names; 0 for anything
// else (serial.cpp).
int ComPortNumber(const std::string& key);

// Opens COM port `number` (serial.cpp): the tty that the devices folder's "comn" entry or
// /dev/ttyS(n-1) leads to, exclusively. Null with `error` set if that fails. Call without the
// mutex.
std::shared_ptr<OpenFile> OpenSerialPort(int number, DWORD access, bool overlapped, DWORD* error);

}  // namespace zelcompat::detail
