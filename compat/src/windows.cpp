// Window classes, windows, window data and properties, and the default window procedure.
#include <windows.h>
#include <zel_compat/seams.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "state.h"

namespace zelcompat::detail {
namespace {

// MAKEINTATOM values live in the low 64 KiB, where no string can be.
bool IsIntAtom(LPCSTR name) { return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF; }

ATOM AtomOf(LPCSTR name) { return static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name)); }

std::string Lower(LPCSTR text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Finds a class by name or atom. With `exactInstance` only a class of that instance matches;
// without, one of that instance is preferred and any other of the same name is taken next.
std::shared_ptr<WindowClass> FindClass(State& state, LPCSTR name, HINSTANCE instance,
                                       bool exactInstance) {
    std::shared_ptr<WindowClass> other;
    std::string key = IsIntAtom(name) ? std::string() : Lower(name);
    for (auto& windowClass : state.classes) {
        bool sameName =
            IsIntAtom(name) ? windowClass->atom == AtomOf(name) : windowClass->key == key;
        if (!sameName) {
            continue;
        }
        if (windowClass->instance == instance) {
            return windowClass;
        }
        if (!exactInstance && !other) {
            other = windowClass;
        }
    }
    return other;
}

// Class atoms are taken from the range Windows uses for them, skipping those in use.
bool AllocateAtom(State& state, ATOM* atom) {
    for (unsigned tries = 0; tries < 0x4000; ++tries) {
        ATOM candidate = state.nextAtom;
        state.nextAtom = candidate == 0xFFFF ? 0xC000 : static_cast<ATOM>(candidate + 1);
        bool used = std::any_of(state.classes.begin(), state.classes.end(),
                                [candidate](const auto& c) { return c->atom == candidate; });
        if (!used) {
            *atom = candidate;
            return true;
        }
    }
    return false;
}

// Takes a window out of the table and drops what it left in its owner's queue. Mutex held.
void RemoveWindow(State& state, const std::shared_ptr<Window>& window) {
    state.windows.erase(HandleValue(window->handle));
    --window->windowClass->windows;
    auto owner = state.threads.find(window->owner);
    if (owner != state.threads.end() && owner->second->queue) {
        PurgeWindowFromQueue(*owner->second->queue, window->handle);
    }
    NotifyAll(state);
}

std::string PropKey(LPCSTR name) {
    return IsIntAtom(name) ? "#" + std::to_string(AtomOf(name)) : Lower(name);
}

// The live window behind `handle`, or null with ERROR_INVALID_WINDOW_HANDLE set. Mutex held.
std::shared_ptr<Window> FindWindowOrFail(State& state, HWND handle) {
    auto window = FindLiveWindow(state, handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return window;
}

}  // namespace

std::shared_ptr<Window> FindLiveWindow(State& state, HWND window) {
    auto found = state.windows.find(HandleValue(window));
    return found == state.windows.end() ? nullptr : found->second;
}

LRESULT CallWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* alive) {
    WNDPROC proc;
    {
        State& state = GlobalState();
        std::lock_guard<std::mutex> guard(state.mutex);
        auto target = FindLiveWindow(state, window);
        if (!target) {
            if (alive != nullptr) {
                *alive = false;
            }
            return 0;
        }
        proc = target->proc;
    }
    if (alive != nullptr) {
        *alive = true;
    }
    return proc != nullptr ? proc(window, message, wParam, lParam)
                           : DefWindowProcA(window, message, wParam, lParam);
}

void ReleaseThreadWindows(State& state, DWORD threadId) {
    std::vector<std::shared_ptr<Window>> owned;
    for (auto& entry : state.windows) {
        if (entry.second->owner == threadId) {
            owned.push_back(entry.second);
        }
    }
    for (auto& window : owned) {
        RemoveWindow(state, window);
    }
}

}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;
using zelcompat::detail::Window;
using zelcompat::detail::WindowClass;

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass) {
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
        windowClass->lpszClassName == nullptr ||
        zelcompat::detail::IsIntAtom(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (zelcompat::detail::FindClass(state, windowClass->lpszClassName, windowClass->hInstance,
                                     true)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    ATOM atom;
    if (!zelcompat::detail::AllocateAtom(state, &atom)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto entry = std::make_shared<WindowClass>();
    entry->name = windowClass->lpszClassName;
    entry->key = zelcompat::detail::Lower(windowClass->lpszClassName);
    entry->atom = atom;
    entry->instance = windowClass->hInstance;
    entry->proc = windowClass->lpfnWndProc;
    entry->style = windowClass->style;
    state.classes.push_back(std::move(entry));
    return atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    if (className == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto windowClass = zelcompat::detail::FindClass(state, className, instance, true);
    if (!windowClass) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (windowClass->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    state.classes.erase(std::find(state.classes.begin(), state.classes.end(), windowClass));
    return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
    auto& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    auto window = std::make_shared<Window>();
    LPCSTR registeredName;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (className == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        auto windowClass = zelcompat::detail::FindClass(state, className, instance, false);
        if (!windowClass) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        // Parent-child relations are not modelled; a parent must still be a live window.
        if (parent != nullptr && parent != HWND_MESSAGE &&
            !zelcompat::detail::FindLiveWindow(state, parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        // Handles are never reused, so that a message or call aimed at a destroyed window
        // cannot reach a newer one.
        window->handle = reinterpret_cast<HWND>(state.nextWindow);
        state.nextWindow += 2;
        window->owner = self.id;
        window->windowClass = windowClass;
        window->proc = windowClass->proc;
        ++windowClass->windows;
        registeredName = windowClass->name.c_str();
        zelcompat::detail::EnsureQueue(self);
        state.windows.emplace(zelcompat::detail::HandleValue(window->handle), window);
    }

    HWND hwnd = window->handle;
    CREATESTRUCTA create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = zelcompat::detail::IsIntAtom(className) ? registeredName : className;
    create.dwExStyle = exStyle;
    LPARAM createParam = reinterpret_cast<LPARAM>(&create);

    // As on Windows, a window that refuses WM_NCCREATE gets only WM_NCDESTROY, and one that
    // refuses WM_CREATE is destroyed with WM_DESTROY and WM_NCDESTROY.
    bool created = zelcompat::detail::CallWindowProcedure(hwnd, WM_NCCREATE, 0, createParam) != 0;
    if (!created) {
        zelcompat::detail::CallWindowProcedure(hwnd, WM_NCDESTROY, 0, 0);
    } else if (zelcompat::detail::CallWindowProcedure(hwnd, WM_CREATE, 0, createParam) == -1) {
        created = false;
        zelcompat::detail::CallWindowProcedure(hwnd, WM_DESTROY, 0, 0);
        zelcompat::detail::CallWindowProcedure(hwnd, WM_NCDESTROY, 0, 0);
    }
    std::lock_guard<std::mutex> guard(state.mutex);
    // The procedure may have destroyed the window itself while handling WM_CREATE.
    bool alive = zelcompat::detail::FindLiveWindow(state, hwnd) != nullptr;
    if (!created || !alive) {
        if (alive) {
            zelcompat::detail::RemoveWindow(state, window);
        }
        return nullptr;
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND window) {
    auto& self = zelcompat::detail::CurrentThread();
    auto& state = GlobalState();
    std::shared_ptr<Window> target;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        target = zelcompat::detail::FindWindowOrFail(state, window);
        if (!target) {
            return FALSE;
        }
        if (target->owner != self.id) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A procedure that destroys its window again while handling WM_DESTROY gets no second
        // round of messages.
        if (target->destroying) {
            return TRUE;
        }
        target->destroying = true;
    }
    zelcompat::detail::CallWindowProcedure(window, WM_DESTROY, 0, 0);
    zelcompat::detail::CallWindowProcedure(window, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> guard(state.mutex);
    if (zelcompat::detail::FindLiveWindow(state, window)) {
        zelcompat::detail::RemoveWindow(state, target);
    }
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return zelcompat::detail::FindLiveWindow(state, window) ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindWindowOrFail(state, window);
    if (!target) {
        return 0;
    }
    if (processId != nullptr) {
        *processId = static_cast<DWORD>(getpid());
    }
    return target->owner;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindWindowOrFail(state, window);
    if (!target) {
        return 0;
    }
    LONG_PTR previous;
    switch (index) {
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(target->proc);
            target->proc = reinterpret_cast<WNDPROC>(value);
            return previous;
        case GWLP_USERDATA:
            previous = target->userData;
            target->userData = value;
            return previous;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LONG WINAPI SetWindowLongA(HWND window, int index, LONG value) {
    // A LONG cannot hold a procedure address on a 64-bit host; SetWindowLongPtrA can.
    if (index == GWLP_WNDPROC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<LONG>(SetWindowLongPtrA(window, index, value));
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND window, int index) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindWindowOrFail(state, window);
    if (!target) {
        return 0;
    }
    switch (index) {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(target->proc);
        case GWLP_USERDATA:
            return target->userData;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

BOOL WINAPI SetPropA(HWND window, LPCSTR name, HANDLE data) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindWindowOrFail(state, window);
    if (!target) {
        return FALSE;
    }
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    target->props[zelcompat::detail::PropKey(name)] = data;
    return TRUE;
}

HANDLE WINAPI GetPropA(HWND window, LPCSTR name) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindLiveWindow(state, window);
    if (!target || name == nullptr) {
        return nullptr;
    }
    auto found = target->props.find(zelcompat::detail::PropKey(name));
    return found == target->props.end() ? nullptr : found->second;
}

HANDLE WINAPI RemovePropA(HWND window, LPCSTR name) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto target = zelcompat::detail::FindLiveWindow(state, window);
    if (!target || name == nullptr) {
        return nullptr;
    }
    auto found = target->props.find(zelcompat::detail::PropKey(name));
    if (found == target->props.end()) {
        return nullptr;
    }
    HANDLE data = found->second;
    target->props.erase(found);
    return data;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            // Closing a window means destroying it unless its procedure says otherwise.
            DestroyWindow(window);
            return 0;
        default:
            return 0;
    }
}

namespace zelcompat {

std::size_t LiveWindowCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.windows.size();
}

}  // namespace zelcompat
