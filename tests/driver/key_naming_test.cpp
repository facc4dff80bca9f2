// Naming the display's keys: function keys by table, routing and status keys by row, both over
// the USB display's reports and straight from the naming handlers.
#include <string>

#include "usb_fixture.h"

namespace {

using Key = RecordingSink::Key;

std::vector<std::pair<std::string, int>> NamesAndValues(const std::vector<Key>& keys) {
    std::vector<std::pair<std::string, int>> result;
    for (const Key& key : keys) result.emplace_back(key.name, key.value);
    return result;
}

// The function-key name by its rule: a group prefix and a base name, positions 15 and 16 unnamed.
std::string FunctionKeyName(int code) {
    static const char* const kPrefix[] = {"", "S", "L", "SL"};
    static const char* const kBase[] = {"F1", "F2",  "F3", "F4", "F5", "F6", "F7", "F8",
                                        "F9", "F10", "LF", "UP", "RG", "DN", "",   ""};
    const std::string base = kBase[(code - 1) % 16];
    return base.empty() ? "" : kPrefix[(code - 1) / 16] + base;
}

class KeyNamingTest : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        g_driver.m_secondRow = 0;
    }
    void TearDown() override {
        g_driver.m_secondRow = 0;
        UsbTest::TearDown();
    }
};

TEST_F(KeyNamingTest, EveryFunctionKeyCodeIsNamedByItsGroupAndPosition) {
    StartSessionWithoutDisplay(&m_sink);
    std::vector<std::pair<std::string, int>> expected;
    for (int code = 0; code < 256; ++code) {
        g_driver.HandleFunctionKey(static_cast<std::uint8_t>(code));
        if (code >= 1 && code <= 64 && !FunctionKeyName(code).empty()) {
            expected.emplace_back(FunctionKeyName(code), 0);
        }
    }
    EXPECT_EQ(NamesAndValues(DeliveredKeys()), expected);
    EXPECT_EQ(g_driver.m_secondRow, 0) << "64 came after 63";
    EXPECT_EQ(expected.size(), 56u);
    EXPECT_EQ(expected[24].first, "SLF");  // code 27, after the unnamed 15 and 16
    EXPECT_EQ(expected[38].first, "LLF");  // code 43, after 15, 16, 31 and 32
}

TEST_F(KeyNamingTest, SerialRoutingCodesFollowTheRowAndBitSeven) {
    StartSessionWithoutDisplay(&m_sink);
    struct Case {
        int secondRow;
        std::uint8_t code;
        const char* name;
        int value;
    };
    const Case cases[] = {
        {0, 0x01, "STATUS1", 0},  {0, 0x02, "STATUS2", 0},    {0, 0x03, "Routing", 1},
        {0, 0x00, "Routing", -2}, {0, 0x7F, "Routing", 125},  {1, 0x01, "STATUS3", 0},
        {1, 0x02, "STATUS4", 0},  {1, 0x05, "Routing2", 3},   {1, 0x00, "Routing2", -2},
        {0, 0x81, "STATUS3", 0},  {0, 0x82, "STATUS4", 0},    {0, 0x80, "Routing2", -2},
        {0, 0x83, "Routing2", 1}, {1, 0xFF, "Routing2", 125},
    };
    std::vector<std::pair<std::string, int>> expected;
    for (const Case& c : cases) {
        g_driver.m_secondRow = c.secondRow;
        g_driver.HandleSerialRoutingKey(c.code);
        expected.emplace_back(c.name, c.value);
    }
    EXPECT_EQ(NamesAndValues(DeliveredKeys()), expected);
}

TEST_F(KeyNamingTest, WithoutASinkOnlyTheRowSwitchHasAnEffect) {
    StartSessionWithoutDisplay(nullptr);
    g_driver.HandleFunctionKey(63);
    EXPECT_EQ(g_driver.m_secondRow, 1);
    g_driver.HandleFunctionKey(1);
    g_driver.HandleHidRoutingKey(5);
    g_driver.HandleSerialRoutingKey(5);
    g_driver.m_sink = &m_sink;  // a sink installed now must find nothing queued
    EXPECT_TRUE(DeliveredKeys().empty());
    g_driver.HandleFunctionKey(64);
    EXPECT_EQ(g_driver.m_secondRow, 0);
    g_driver.HandleFunctionKey(0);
    g_driver.HandleFunctionKey(65);
    EXPECT_EQ(g_driver.m_secondRow, 0);
}

TEST_F(KeyNamingTest, UsbKeysReachTheHostByNameOneReportPerTick) {
    zelsim::UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    // Each press is one report; the row switch (63, 64) is never seen by the host.
    const std::pair<char, int> presses[] = {
        {'R', 5}, {'F', 1},    {'F', 0x10}, {'F', 62}, {'F', 63},  {'R', 5},
        {'R', 0}, {'R', 0x80}, {'R', 0xFF}, {'F', 64}, {'R', 127},
    };
    for (const auto& [kind, code] : presses) {
        if (kind == 'R') {
            display.PressRouting(static_cast<std::uint8_t>(code));
        } else {
            display.PressFunction(static_cast<std::uint8_t>(code));
        }
    }
    Tick();
    EXPECT_EQ(DeliveredKeys().size(), 1u) << "one report per tick";
    Tick(static_cast<int>(std::size(presses)));

    const std::vector<std::pair<std::string, int>> expected = {
        {"Routing", 5}, {"F1", 0}, {"SLDN", 0}, {"Routing2", 5}, {"Routing2", 0}, {"Routing", 127},
    };
    const std::vector<Key> keys = DeliveredKeys();
    EXPECT_EQ(NamesAndValues(keys), expected);
    for (const Key& key : keys) EXPECT_EQ(key.threadId, GetCurrentThreadId());
}

TEST_F(KeyNamingTest, TheRowChosenSurvivesACloseAndANewOpen) {
    zelsim::UsbDisplay display;
    ASSERT_EQ(OpenDriver(), 1);
    display.PressFunction(63);
    Tick();
    g_driver.Close();
    ASSERT_EQ(OpenDriver(), 1);
    display.PressRouting(9);
    Tick();
    EXPECT_EQ(NamesAndValues(DeliveredKeys()),
              (std::vector<std::pair<std::string, int>>{{"Routing2", 9}}));
}

}  // namespace
