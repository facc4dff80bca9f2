// Runs the calling thread's messages (the driver's key window posts to it) while a check waits
// for a condition.
#pragma once

#include <windows.h>

namespace msgpump {

// Runs this thread's messages until `done` holds or `seconds` have passed; false if they passed.
template <class Done>
bool PumpUntil(Done done, int seconds) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > static_cast<DWORD>(seconds) * 1000) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

}  // namespace msgpump
