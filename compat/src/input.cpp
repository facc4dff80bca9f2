// Keystroke injection: keybd_event and SendInput record their keyboard events for
// zel_compat/input.h instead of reaching a desktop, and VkKeyScanA answers for a US keyboard.
#include <windows.h>
#include <zel_compat/input.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Record {
    std::mutex mutex;
    std::vector<zelcompat::InjectedKey> keys;
};

// Never destroyed, so that injections from static destructors and DllMain at exit still work.
Record& TheRecord() {
    static Record* record = new Record;
    return *record;
}

void Add(const zelcompat::InjectedKey& key) {
    Record& record = TheRecord();
    std::lock_guard<std::mutex> guard(record.mutex);
    record.keys.push_back(key);
}

// VkKeyScanA's modifier bits in the high byte.
constexpr SHORT kShift = 0x100;
constexpr SHORT kControl = 0x200;

// The US layout's punctuation keys: the virtual key and the characters it types without and with
// shift.
struct PunctuationKey {
    BYTE virtualKey;
    char plain;
    char shifted;
};
constexpr PunctuationKey kPunctuation[] = {
    {VK_OEM_1, ';', ':'},     {VK_OEM_PLUS, '=', '+'},   {VK_OEM_COMMA, ',', '<'},
    {VK_OEM_MINUS, '-', '_'}, {VK_OEM_PERIOD, '.', '>'}, {VK_OEM_2, '/', '?'},
    {VK_OEM_3, '`', '~'},     {VK_OEM_4, '[', '{'},      {VK_OEM_5, '\\', '|'},
    {VK_OEM_6, ']', '}'},     {VK_OEM_7, '\'', '"'},
};
// What shift with the digit keys '0' to '9' types.
constexpr char kShiftedDigits[] = ")!@#$%^&*(";

}  // namespace

void WINAPI keybd_event(BYTE virtualKey, BYTE scanCode, DWORD flags, ULONG_PTR extraInfo) {
    Add({zelcompat::InjectedKey::Source::kKeybdEvent, virtualKey, scanCode, flags, 0, extraInfo,
         GetCurrentThreadId()});
}

UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size) {
    // The order of the checks is Wine's.
    if (count == 0 || size != static_cast<int>(sizeof(INPUT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (inputs == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return 0;
    }
    DWORD thread = GetCurrentThreadId();
    // Every record counts as inserted, as under Wine; only keyboard ones have an effect here.
    for (UINT i = 0; i < count; ++i) {
        if (inputs[i].type == INPUT_KEYBOARD) {
            const KEYBDINPUT& key = inputs[i].ki;
            Add({zelcompat::InjectedKey::Source::kSendInput, key.wVk, key.wScan, key.dwFlags,
                 key.time, key.dwExtraInfo, thread});
        }
    }
    return count;
}

SHORT WINAPI VkKeyScanA(CHAR character) {
    auto c = static_cast<unsigned char>(character);
    if (c >= 'a' && c <= 'z') {
        return static_cast<SHORT>(c - 'a' + 'A');
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<SHORT>(kShift | c);
    }
    if (c >= '0' && c <= '9') {
        return static_cast<SHORT>(c);
    }
    for (int digit = 0; digit < 10; ++digit) {
        if (kShiftedDigits[digit] == c) {
            return static_cast<SHORT>(kShift | ('0' + digit));
        }
    }
    for (const PunctuationKey& key : kPunctuation) {
        if (key.plain == c) {
            return key.virtualKey;
        }
        if (key.shifted == c) {
            return static_cast<SHORT>(kShift | key.virtualKey);
        }
    }
    // Control characters, found first where two keys type one (ESC: the key, not control-[).
    switch (c) {
        case ' ':
            return VK_SPACE;
        case 0x03:
            return VK_CANCEL;
        case '\b':
            return VK_BACK;
        case '\t':
            return VK_TAB;
        case '\r':
            return VK_RETURN;
        case 0x1B:
            return VK_ESCAPE;
        case '\n':
            return kControl | VK_RETURN;
        case 0x7F:
            return kControl | VK_BACK;
        case 0x00:
            return kControl | kShift | '2';
        case 0x1C:
            return kControl | VK_OEM_5;
        case 0x1D:
            return kControl | VK_OEM_6;
        case 0x1E:
            return kControl | kShift | '6';
        case 0x1F:
            return kControl | kShift | VK_OEM_MINUS;
        default:
            break;
    }
    if (c >= 0x01 && c <= 0x1A) {
        return static_cast<SHORT>(kControl | ('A' + c - 1));
    }
    // No key of the layout types it: every character from 0x80 up, in Windows-1252 too.
    return -1;
}

namespace zelcompat {

std::vector<InjectedKey> TakeInjectedKeys() {
    Record& record = TheRecord();
    std::lock_guard<std::mutex> guard(record.mutex);
    return std::exchange(record.keys, {});
}

}  // namespace zelcompat
