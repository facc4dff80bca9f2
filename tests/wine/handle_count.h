// The process's open handles, for checks that a sequence of driver calls gives back every handle
// it took. Wine's GetProcessHandleCount answers 0 whatever is open, so the handles are counted by
// asking about every small handle value in turn.
#pragma once

#include <windows.h>

#include <cstdint>

inline DWORD CountProcessHandles() {
    DWORD count = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}
