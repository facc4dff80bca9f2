// Keyboard emulation: characters and scan codes from the display become keystrokes, checked on
// the layer's record of injected events (a US layout).
#include "serial_fixture.h"

namespace {

using zelcompat::InjectedKey;

struct Event {
    bool scanCode;  // SendInput with a scan code, else keybd_event with a virtual key
    WORD key;
    DWORD flags;
    bool operator==(const Event& other) const {
        return scanCode == other.scanCode && key == other.key && flags == other.flags;
    }
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << (e.scanCode ? "scan " : "vk ") << std::hex << e.key << " flags " << e.flags;
}

std::vector<Event> Injected() {
    std::vector<Event> events;
    for (const InjectedKey& key : zelcompat::TakeInjectedKeys()) {
        const bool scan = key.source == InjectedKey::Source::kSendInput;
        events.push_back({scan, scan ? key.scanCode : key.virtualKey, key.flags});
        EXPECT_EQ(key.extraInfo, 0u);
        EXPECT_EQ(key.time, 0u);
        if (scan) {
            EXPECT_EQ(key.virtualKey, 0);
        }
    }
    return events;
}

Event Vk(WORD key, DWORD flags = 0) { return {false, key, flags}; }
Event Scan(WORD key, DWORD flags) { return {true, key, flags}; }

// A sink that keeps the time stamps given to OnData.
class DataSink : public RecordingSink {
  public:
    int OnData(IBrailleDriver*, const unsigned char* bytes, int count) override {
        data.emplace_back(bytes, bytes + count);
        return 0;
    }
    std::vector<std::vector<unsigned char>> data;
};

using KeyboardEmulationTest = SerialTest;

TEST_F(KeyboardEmulationTest, ScanCodeSequencesBecomeSetOneEventsWithTheirPrefixFlags) {
    struct Case {
        const char* what;
        std::vector<std::uint16_t> codes;
        std::vector<Event> events;
    };
    const Case cases[] = {
        {"extended make", {0xE0, 0x75}, {Scan(0x48, 0x9)}},
        {"break", {0xF0, 0x1C}, {Scan(0x9E, 0xA)}},
        {"make", {0x1C}, {Scan(0x1E, 0x8)}},
        {"extended break", {0xE0, 0xF0, 0x14}, {Scan(0x9D, 0xB)}},
        {"0x61 both ways", {0x61, 0xF0, 0x61}, {Scan(0x56, 0x8), Scan(0x56, 0xA)}},
        {"no entry", {0xE0, 0x84, 0x00}, {Scan(0, 0x9), Scan(0, 0x8)}},
        {"E1 is dropped, prefixes stay", {0xF0, 0xE1, 0x1C}, {Scan(0x9E, 0xA)}},
        {"pause sequence",
         {0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77},
         {Scan(0x1D, 0x8), Scan(0x45, 0x8), Scan(0x9D, 0xA), Scan(0xC5, 0xA)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::uint16_t code : c.codes) g_driver.InjectScanCode(code);
        EXPECT_EQ(Injected(), c.events);
        EXPECT_EQ(g_driver.m_pendingKeyFlags, 0u);
    }
}

TEST_F(KeyboardEmulationTest, TheLeftControlMakeCodeReportsATimeStampFirst) {
    DataSink sink;
    g_driver.m_sink = &sink;
    zelcompat::SetTicks(0x1234ABCD);
    g_driver.InjectScanCode(0x14);
    g_driver.InjectScanCode(0x1C);
    g_driver.InjectScanCode(0xF0);
    g_driver.InjectScanCode(0x14);
    ASSERT_EQ(sink.data.size(), 2u);
    // t = 0xABCD: low byte, low XOR high, high byte.
    EXPECT_EQ(sink.data[0], (std::vector<unsigned char>{0xCD, 0xCD ^ 0xAB, 0xAB}));
    EXPECT_EQ(Injected().size(), 3u);

    g_driver.m_sink = nullptr;
    g_driver.InjectScanCode(0x14);
    EXPECT_EQ(sink.data.size(), 2u) << "no sink, no time stamp";
    EXPECT_EQ(Injected(), (std::vector<Event>{Scan(0x1D, 0x8)}));
}

TEST_F(KeyboardEmulationTest, CharactersPressTheirKeyWithModifiersAroundIt) {
    const Event shift = Vk(0x10), shiftUp = Vk(0x10, 2);
    struct Case {
        const char* what;
        std::uint16_t code;
        std::vector<Event> events;
    };
    const Case cases[] = {
        {"lower case a", 0x61, {Vk('A'), Vk('A', 2)}},
        {"capital A", 0x41, {shift, Vk('A'), Vk('A', 2), shiftUp}},
        {"exclamation mark", 0x21, {shift, Vk('1'), Vk('1', 2), shiftUp}},
        {"Enter", 0x100, {Vk(0x0D), Vk(0x0D, 2)}},
        {"Escape", 0x10D, {Vk(0x1B), Vk(0x1B, 2)}},
        {"Alt+F4", 297, {Vk(0x12), Vk(0x73), Vk(0x73, 2), Vk(0x12, 2)}},
        {"Ctrl+F4", 309, {Vk(0x11), Vk(0x73), Vk(0x73, 2), Vk(0x11, 2)}},
        {"Shift+Tab", 382, {shift, Vk(0x09), Vk(0x09, 2), shiftUp}},
        // Two modifiers go up in the order they went down, not in reverse.
        {"control character 1E (Ctrl+Shift+6)",
         0x1E,
         {shift, Vk(0x11), Vk('6'), Vk('6', 2), shiftUp, Vk(0x11, 2)}},
        {"an unlisted code", 270, {}},
        {"a high code without a key on the layout", 0xB0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_driver.InjectCharacter(c.code);
        EXPECT_EQ(Injected(), c.events);
    }
    for (std::uint16_t code = 270; code < 0x400; ++code) {
        if (code == 297 || code == 309 || code == 382) continue;
        g_driver.InjectCharacter(code);
    }
    EXPECT_TRUE(Injected().empty()) << "unlisted special codes inject nothing";
}

}  // namespace
