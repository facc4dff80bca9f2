// Test seam: keystrokes injected with keybd_event and SendInput.
//
// On Linux the layer injects nothing into a desktop; it records every keyboard event instead, in
// order, for tests and tools to read back. Only tests, the simulator and tools include this
// header; the driver never does.
#pragma once

#include <windows.h>

#include <vector>

namespace zelcompat {

// One keyboard event: a keybd_event call or one INPUT_KEYBOARD record of SendInput, with its
// fields as given (keybd_event has no time stamp: 0).
struct InjectedKey {
    enum class Source { kKeybdEvent, kSendInput };
    Source source;
    WORD virtualKey;
    WORD scanCode;
    DWORD flags;
    DWORD time;
    ULONG_PTR extraInfo;
    DWORD threadId;  // the injecting thread
};

// Every keyboard event recorded since the last call, oldest first; the record is emptied.
std::vector<InjectedKey> TakeInjectedKeys();

}  // namespace zelcompat
