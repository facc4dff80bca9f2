// The hidden window that carries key events from the worker thread to the host's thread.
#include <cstdint>

#include "driver/driver.h"

namespace {

// A property that a framework may leave on a window it has subclassed; the window must not keep it.
constexpr char kOldProcedureProperty[] = "AfxOldWndProc423";

LRESULT CALLBACK KeyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(window) || window != g_driver.m_keyWindow || message != WM_DRIVER_KEY) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    // The sink is read now, at delivery: a sink installed after the post receives the event.
    IBrailleSink* sink = g_driver.m_sink;
    const char* keyName = reinterpret_cast<const char*>(wParam);
    if (sink != nullptr && keyName != nullptr && keyName[0] != '\0') {
        sink->OnKey(&g_driver, keyName, static_cast<int>(lParam));
    }
    return 0;
}

}  // namespace

ATOM CBrailleSampleDriver::RegisterKeyWindowClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_VREDRAW | CS_HREDRAW;
    windowClass.lpfnWndProc = &KeyWindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground =
        reinterpret_cast<HBRUSH>(static_cast<std::intptr_t>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = m_driverName;
    // Fails when an earlier Open registered the class already; the window uses that registration.
    return RegisterClassExA(&windowClass);
}

HWND CBrailleSampleDriver::CreateKeyWindow(HINSTANCE instance) {
    // Disabled and never shown; only its message queue matters.
    HWND window = CreateWindowExA(0, m_driverName, nullptr, WS_DISABLED, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&KeyWindowProc));
    RemovePropA(window, kOldProcedureProperty);
    return window;
}
