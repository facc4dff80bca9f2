// Naming the display's keys for the host: function keys by the table, routing and status keys by
// row. Worker thread only; the events are posted to the key window on the host's thread.
#include "driver/driver.h"

namespace {

constexpr std::size_t kKeyNameSize = 128;
constexpr std::uint8_t kFunctionKeyCount = 64;
// Function-key codes that choose the row of routing and status key names.
constexpr std::uint8_t kSecondRowOn = 63;
constexpr std::uint8_t kSecondRowOff = 64;

// Names of function-key codes 1 to 64, at code - 1. A code is in group (code - 1) / 16, whose
// prefix is none, "S", "L" or "SL", at position (code - 1) % 16 + 1, whose base name is F1 to F10,
// LF, UP, RG or DN; positions 15 and 16 have no name. An empty name posts no event.
// clang-format off
const char kKeyNameTable[kFunctionKeyCount][kKeyNameSize] = {
    // Codes 1 to 16.
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8",
    "F9", "F10", "LF", "UP", "RG", "DN", "", "",
    // Codes 17 to 32.
    "SF1", "SF2", "SF3", "SF4", "SF5", "SF6", "SF7", "SF8",
    "SF9", "SF10", "SLF", "SUP", "SRG", "SDN", "", "",
    // Codes 33 to 48.
    "LF1", "LF2", "LF3", "LF4", "LF5", "LF6", "LF7", "LF8",
    "LF9", "LF10", "LLF", "LUP", "LRG", "LDN", "", "",
    // Codes 49 to 64.
    "SLF1", "SLF2", "SLF3", "SLF4", "SLF5", "SLF6", "SLF7", "SLF8",
    "SLF9", "SLF10", "SLLF", "SLUP", "SLRG", "SLDN", "", "",
};
// clang-format on

// Names outside the table. Every name lives in static storage: the event that carries it is
// delivered later, on another thread.
constexpr char kRouting[] = "Routing";
constexpr char kRouting2[] = "Routing2";
constexpr char kStatus1[] = "STATUS1";
constexpr char kStatus2[] = "STATUS2";
constexpr char kStatus3[] = "STATUS3";
constexpr char kStatus4[] = "STATUS4";

constexpr std::uint8_t kSecondRowBit = 0x80;
constexpr std::uint8_t kSerialStatusA = 1;
constexpr std::uint8_t kSerialStatusB = 2;
// Serial routing codes count from 3 for the first cell, reported as 1.
constexpr std::int32_t kSerialRoutingOffset = 2;

}  // namespace

void CBrailleSampleDriver::PostKeyEvent(const char* name, std::int32_t value) {
    // Without a key window (suspended, closed) there is nobody to deliver to; a post to no window
    // would land in this thread's own queue.
    const HWND window = m_keyWindow;
    if (window == nullptr) return;
    PostMessageA(window, WM_DRIVER_KEY, reinterpret_cast<WPARAM>(name), static_cast<LPARAM>(value));
}

void CBrailleSampleDriver::HandleFunctionKey(std::uint8_t code) {
    if (code == 0 || code > kFunctionKeyCount) return;
    // The row switches whether or not anybody listens.
    if (code == kSecondRowOn) m_secondRow = 1;
    if (code == kSecondRowOff) m_secondRow = 0;
    if (m_sink == nullptr) return;
    const char* name = kKeyNameTable[code - 1];
    if (name[0] == '\0') return;
    PostKeyEvent(name, 0);
}

void CBrailleSampleDriver::HandleHidRoutingKey(std::uint8_t code) {
    if (m_sink == nullptr) return;
    if (code >= kSecondRowBit) return;
    PostKeyEvent(m_secondRow != 0 ? kRouting2 : kRouting, code);
}

void CBrailleSampleDriver::HandleSerialRoutingKey(std::uint8_t code) {
    if (m_sink == nullptr) return;
    // Bit 7 marks a second-row key by itself; below it the row switch decides.
    const bool secondRow = (code & kSecondRowBit) != 0 || m_secondRow != 0;
    const std::uint8_t key = code & static_cast<std::uint8_t>(~kSecondRowBit);
    if (key == kSerialStatusA) {
        PostKeyEvent(secondRow ? kStatus3 : kStatus1, 0);
    } else if (key == kSerialStatusB) {
        PostKeyEvent(secondRow ? kStatus4 : kStatus2, 0);
    } else {
        PostKeyEvent(secondRow ? kRouting2 : kRouting,
                     static_cast<std::int32_t>(key) - kSerialRoutingOffset);
    }
}
