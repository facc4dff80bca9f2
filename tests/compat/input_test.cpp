// Keystroke injection: VkKeyScanA's US layout and SendInput's checks in both builds; natively
// also the record that keybd_event and SendInput leave for zel_compat/input.h.
#include "support.h"

#ifndef _WIN32
#include <zel_compat/input.h>
#endif

namespace compat_test {
namespace {

TEST(VkKeyScanTest, AnswersForAUsKeyboard) {
    struct Case {
        char character;
        SHORT expected;  // shift 0x100, control 0x200 in the high byte; -1: no key types it
    };
    const Case cases[] = {
        {'a', 0x41},   {'z', 0x5A},   {'A', 0x141},  {'1', 0x31},  {'!', 0x131}, {'@', 0x132},
        {')', 0x130},  {' ', 0x20},   {'\r', 0x0D},  {'\t', 0x09}, {'\b', 0x08}, {0x1B, 0x1B},
        {'~', 0x1C0},  {'`', 0xC0},   {'"', 0x1DE},  {'/', 0xBF},  {'?', 0x1BF}, {'|', 0x1DC},
        {'\n', 0x20D}, {0x01, 0x241}, {0x7F, 0x208}, {'\xE4', -1}, {'\x90', -1}, {'\xFF', -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VkKeyScanA(c.character), c.expected)
            << "character 0x" << std::hex << (c.character & 0xFF);
    }
}

TEST(SendInputTest, RefusesAWrongRecordSizeNoRecordsAndNoArray) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    struct Case {
        const char* what;
        UINT count;
        LPINPUT inputs;
        int size;
        DWORD error;
    };
    // A record is 28 bytes in a 32-bit build and 40 in a 64-bit one; each size is wrong in the
    // other build.
    constexpr int kOtherBuildsSize = sizeof(void*) == 8 ? 28 : 40;
    EXPECT_EQ(sizeof(INPUT), sizeof(void*) == 8 ? 40u : 28u);
    const Case cases[] = {
        {"size one short", 1, &input, static_cast<int>(sizeof(INPUT)) - 1, ERROR_INVALID_PARAMETER},
        {"the other build's size", 1, &input, kOtherBuildsSize, ERROR_INVALID_PARAMETER},
        {"size 0", 1, &input, 0, ERROR_INVALID_PARAMETER},
        {"no records", 0, &input, static_cast<int>(sizeof(INPUT)), ERROR_INVALID_PARAMETER},
        {"no array", 1, nullptr, static_cast<int>(sizeof(INPUT)), ERROR_NOACCESS},
    };
    for (const Case& c : cases) {
        SetLastError(kUntouched);
        EXPECT_EQ(SendInput(c.count, c.inputs, c.size), 0u) << c.what;
        EXPECT_LAST_ERROR(c.error) << c.what;
    }
#ifndef _WIN32
    EXPECT_TRUE(zelcompat::TakeInjectedKeys().empty());
#endif
}

#ifndef _WIN32
TEST(InjectedKeysTest, EveryKeyboardEventIsRecordedInOrderWithItsFields) {
    zelcompat::TakeInjectedKeys();
    keybd_event(VK_SHIFT, 0x2A, 0, 7);
    INPUT inputs[3] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wScan = 0x1E;
    inputs[0].ki.dwFlags = KEYEVENTF_SCANCODE;
    inputs[0].ki.time = 1234;
    inputs[0].ki.dwExtraInfo = 9;
    inputs[1].type = INPUT_MOUSE;  // counted, not recorded
    inputs[2].type = INPUT_KEYBOARD;
    inputs[2].ki.wVk = VK_LEFT;
    inputs[2].ki.dwFlags = KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP;
    EXPECT_EQ(SendInput(3, inputs, sizeof(INPUT)), 3u);
    DWORD other = 0;
    HANDLE thread = StartThread([&other] {
        other = GetCurrentThreadId();
        keybd_event(VK_SHIFT, 0x2A, KEYEVENTF_KEYUP, 0);
        return 0u;
    });
    JoinThread(thread);

    using Source = zelcompat::InjectedKey::Source;
    auto keys = zelcompat::TakeInjectedKeys();
    ASSERT_EQ(keys.size(), 4u);
    const DWORD self = GetCurrentThreadId();
    struct Expected {
        Source source;
        WORD virtualKey;
        WORD scanCode;
        DWORD flags;
        DWORD time;
        ULONG_PTR extraInfo;
        DWORD threadId;
    };
    const Expected expected[] = {
        {Source::kKeybdEvent, VK_SHIFT, 0x2A, 0, 0, 7, self},
        {Source::kSendInput, 0, 0x1E, KEYEVENTF_SCANCODE, 1234, 9, self},
        {Source::kSendInput, VK_LEFT, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0, 0, self},
        {Source::kKeybdEvent, VK_SHIFT, 0x2A, KEYEVENTF_KEYUP, 0, 0, other},
    };
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(keys[i].source, expected[i].source);
        EXPECT_EQ(keys[i].virtualKey, expected[i].virtualKey);
        EXPECT_EQ(keys[i].scanCode, expected[i].scanCode);
        EXPECT_EQ(keys[i].flags, expected[i].flags);
        EXPECT_EQ(keys[i].time, expected[i].time);
        EXPECT_EQ(keys[i].extraInfo, expected[i].extraInfo);
        EXPECT_EQ(keys[i].threadId, expected[i].threadId);
    }
    EXPECT_TRUE(zelcompat::TakeInjectedKeys().empty()) << "taking empties the record";
}
#endif

}  // namespace
}  // namespace compat_test
