// The handle table: CloseHandle and the lookup every handle-taking call goes through.
#include <windows.h>
#include <zel_compat/seams.h>

#include "files.h"
#include "state.h"

namespace zelcompat::detail {

HANDLE InsertObject(State& state, std::shared_ptr<KernelObject> object) {
    // Values are multiples of four like Windows handles, but never reused, so that a stale
    // handle fails instead of reaching a newer object.
    std::uintptr_t value = state.nextHandle;
    state.nextHandle += 4;
    state.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindObject(State& state, HANDLE handle) {
    auto found = state.handles.find(HandleValue(handle));
    return found == state.handles.end() ? nullptr : found->second;
}

}  // namespace zelcompat::detail

BOOL WINAPI CloseHandle(HANDLE handle) {
    auto& state = zelcompat::detail::GlobalState();
    std::shared_ptr<zelcompat::detail::OpenFile> file;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        // Dropping the table's reference ends the object unless a wait still holds it; a running
        // thread is not affected by the close of its handle.
        auto found = state.handles.find(zelcompat::detail::HandleValue(handle));
        if (found == state.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        auto object = std::move(found->second);
        state.handles.erase(found);
        // Closing a file cancels what is pending on it, as on Windows.
        if (object->kind == zelcompat::detail::KernelObject::Kind::kFile) {
            zelcompat::detail::CloseFile(state, *object);
            file = object->file;
        } else if (object->kind == zelcompat::detail::KernelObject::Kind::kMapping) {
            zelcompat::detail::CloseSection(state, *object);
        }
    }
    if (file) {
        file->Shutdown();
    }
    return TRUE;
}

namespace zelcompat {

std::size_t LiveHandleCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.handles.size();
}

}  // namespace zelcompat
