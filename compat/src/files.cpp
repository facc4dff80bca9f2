// CreateFileA, ReadFile, WriteFile, CancelIo and GetOverlappedResult, and the pending I/O that
// every kind of device shares.
#include "files.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace zelcompat::detail {
namespace {

void StoreStatus(OVERLAPPED* overlapped, DWORD status) {
    // Released, so that a thread that sees the new status through HasOverlappedIoCompleted also
    // sees InternalHigh and the data.
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
}

DWORD LoadStatus(const OVERLAPPED* overlapped) {
    return static_cast<DWORD>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

// NT_SUCCESS: success and informational codes.
bool Succeeded(DWORD status) { return static_cast<LONG>(status) >= 0; }

// What GetLastError reports for a failed completion.
DWORD ErrorFromStatus(DWORD status) {
    switch (status) {
        case kStatusCancelled:
            return ERROR_OPERATION_ABORTED;
        case kStatusDeviceNotConnected:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// The file object behind a handle passed to ReadFile or WriteFile, once the checks common to
// every device pass; null with the error set otherwise.
std::shared_ptr<KernelObject> FileForIo(HANDLE handle, const void* buffer, DWORD length,
                                        const OVERLAPPED* overlapped, DWORD accessNeeded) {
    State& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = FindObject(state, handle);
    if (!object || object->kind != KernelObject::Kind::kFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (buffer == nullptr && length != 0) {
        SetLastError(ERROR_NOACCESS);
        return nullptr;
    }
    if (object->file->Overlapped() && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((object->file->Access() & accessNeeded) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return object;
}

// The path as CreateFileA looks it up: lower-cased, with \\.\ spelt \\?\ (both name the same
// device namespace on Windows).
std::string PathKey(LPCSTR fileName) {
    std::string key(fileName);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (key.rfind("\\\\.\\", 0) == 0) {
        key[2] = '?';
    }
    return key;
}

}  // namespace

bool FindCompletionEvent(State& state, const OVERLAPPED* overlapped,
                         std::shared_ptr<KernelObject>* event) {
    event->reset();
    if (overlapped == nullptr || overlapped->hEvent == nullptr) {
        return true;
    }
    auto object = FindObject(state, overlapped->hEvent);
    if (!object || object->kind != KernelObject::Kind::kEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *event = std::move(object);
    return true;
}

void FinishIo(State& state, KernelObject& file, OVERLAPPED* overlapped, KernelObject* event,
              DWORD status, DWORD bytes) {
    if (overlapped != nullptr) {
        overlapped->InternalHigh = bytes;
        StoreStatus(overlapped, status);
    }
    if (event != nullptr) {
        event->signalled = true;
    }
    file.signalled = true;
    NotifyAll(state);
}

std::shared_ptr<PendingIo> AddPendingIo(State& state, std::shared_ptr<KernelObject> file,
                                        const void* device, DWORD thread, BYTE* buffer,
                                        DWORD length, OVERLAPPED* overlapped,
                                        std::shared_ptr<KernelObject> event,
                                        std::shared_ptr<PendingIo> io) {
    if (!io) {
        io = std::make_shared<PendingIo>();
    }
    io->file = std::move(file);
    io->device = device;
    io->thread = thread;
    io->buffer = buffer;
    io->length = length;
    io->overlapped = overlapped != nullptr ? overlapped : &io->own;
    io->event = std::move(event);
    io->overlapped->InternalHigh = 0;
    StoreStatus(io->overlapped, STATUS_PENDING);
    if (io->event) {
        io->event->signalled = false;
    }
    io->file->signalled = false;
    state.pendingIo.push_back(io);
    NotifyAll(state);
    return io;
}

std::shared_ptr<PendingIo> OldestPendingIo(State& state, const void* device) {
    for (const auto& io : state.pendingIo) {
        if (io->device == device) {
            return io;
        }
    }
    return nullptr;
}

void CompletePendingIo(State& state, PendingIo& io, DWORD status, DWORD bytes) {
    auto& pending = state.pendingIo;
    pending.erase(std::find_if(pending.begin(), pending.end(),
                               [&io](const auto& entry) { return entry.get() == &io; }));
    io.done = true;
    io.status = status;
    io.bytes = bytes;
    FinishIo(state, *io.file, io.overlapped, io.event.get(), status, bytes);
}

void AbortPendingIo(State& state, const std::function<bool(const PendingIo&)>& match,
                    DWORD status) {
    std::vector<std::shared_ptr<PendingIo>> matched;
    for (const auto& io : state.pendingIo) {
        if (match(*io)) {
            matched.push_back(io);
        }
    }
    for (const auto& io : matched) {
        CompletePendingIo(state, *io, status, io->transferred);
    }
}

BOOL WaitForBlockingIo(Lock& lock, PendingIo& io, LPDWORD bytesTransferred) {
    while (!io.done) {
        WaitForChange(lock, INFINITE);
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = io.bytes;
    }
    if (!Succeeded(io.status)) {
        SetLastError(ErrorFromStatus(io.status));
        return FALSE;
    }
    return TRUE;
}

void CancelThreadIo(State& state, DWORD threadId) {
    AbortPendingIo(
        state, [threadId](const PendingIo& io) { return io.thread == threadId; }, kStatusCancelled);
}

void CloseFile(State& state, KernelObject& object) {
    AbortPendingIo(
        state, [&object](const PendingIo& io) { return io.file.get() == &object; },
        kStatusCancelled);
    object.file->Closed(state);
}

}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;
using zelcompat::detail::KernelObject;
using zelcompat::detail::Lock;

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (fileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Devices exist or not; nothing here can create one.
    if (creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string key = zelcompat::detail::PathKey(fileName);
    bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::shared_ptr<zelcompat::detail::OpenFile> file;
    // A tty is opened and set up without the mutex.
    if (int port = zelcompat::detail::ComPortNumber(key)) {
        file = zelcompat::detail::OpenSerialPort(port, desiredAccess, overlapped, &error);
    }
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (!file && error == ERROR_FILE_NOT_FOUND) {
        file = zelcompat::detail::OpenHidPath(state, key, desiredAccess, overlapped, &error);
    }
    if (!file) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<KernelObject>();
    object->kind = KernelObject::Kind::kFile;
    object->manualReset = true;
    object->file = std::move(file);
    return zelcompat::detail::InsertObject(state, std::move(object));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    // Zeroed before anything else, as on Windows.
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    auto object = zelcompat::detail::FileForIo(file, buffer, bytesToRead, overlapped, GENERIC_READ);
    if (!object) {
        return FALSE;
    }
    return object->file->Read(object, static_cast<BYTE*>(buffer), bytesToRead, bytesRead,
                              overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    auto object =
        zelcompat::detail::FileForIo(file, buffer, bytesToWrite, overlapped, GENERIC_WRITE);
    if (!object) {
        return FALSE;
    }
    return object->file->Write(object, static_cast<const BYTE*>(buffer), bytesToWrite, bytesWritten,
                               overlapped);
}

BOOL WINAPI CancelIo(HANDLE file) {
    DWORD self = zelcompat::detail::CurrentThread().id;
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = zelcompat::detail::FindObject(state, file);
    if (!object || object->kind != KernelObject::Kind::kFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only what the calling thread issued on this handle, as on Windows.
    zelcompat::detail::AbortPendingIo(
        state,
        [&object, self](const zelcompat::detail::PendingIo& io) {
            return io.file == object && io.thread == self;
        },
        zelcompat::detail::kStatusCancelled);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                BOOL wait) {
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& state = GlobalState();
    Lock lock(state.mutex);
    if (zelcompat::detail::LoadStatus(overlapped) == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // As Windows does: wait for the event, or for the file when there is none; a satisfied
        // wait takes an auto-reset event's signal.
        HANDLE waitOn = overlapped->hEvent != nullptr ? overlapped->hEvent : file;
        auto object = zelcompat::detail::FindObject(state, waitOn);
        if (!object || object->kind == KernelObject::Kind::kThread) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        while (!zelcompat::detail::TryAcquire(*object)) {
            zelcompat::detail::WaitForChange(lock, INFINITE);
        }
        if (zelcompat::detail::LoadStatus(overlapped) == STATUS_PENDING) {
            // Someone else set the event.
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    DWORD status = zelcompat::detail::LoadStatus(overlapped);
    if (!zelcompat::detail::Succeeded(status)) {
        SetLastError(zelcompat::detail::ErrorFromStatus(status));
        return FALSE;
    }
    return TRUE;
}
