// The interface slots: results, guards, and what Close and a failed Open leave behind.
#include <cstring>
#include <string>

#include "driver_fixture.h"

namespace {

using HostSlotsTest = DriverTest;

IBrailleDriver* Interface() {
    IBrailleDriver* driver = nullptr;
    EXPECT_EQ(GetBrailleInterface(&driver), &driver);
    return driver;
}

TEST_F(HostSlotsTest, ExportYieldsTheOneDriverObjectAndItsFixedAnswers) {
    IBrailleDriver* first = Interface();
    IBrailleDriver* second = Interface();
    EXPECT_EQ(first, static_cast<IBrailleDriver*>(&g_driver));
    EXPECT_EQ(first, second);
    EXPECT_EQ(GetBrailleInterface(nullptr), nullptr);

    EXPECT_EQ(first->GetVersionCode(), 0x300);
    EXPECT_EQ(first->GetTextCellCount(), 0);
    EXPECT_EQ(first->GetStatusCellCount(), 0);
    EXPECT_EQ(first->GetTotalCellCount(), 0);
}

TEST_F(HostSlotsTest, ReservedSlotsAnswerZeroAndDoNothing) {
    IBrailleDriver* d = Interface();
    const int results[] = {
        d->Reserved5(1, 2),     d->Reserved7(),
        d->Reserved8(),         d->Reserved9(),
        d->Reserved10(1),       d->Reserved14(1, 2),
        d->Reserved15(),        d->Reserved19(),
        d->Reserved22(),        d->Reserved23(1, 2, 3, 4),
        d->Reserved24(),        d->Reserved25(1, 2),
        d->Reserved26(1, 2, 3), d->Reserved27(1),
        d->Reserved28(1),       d->Reserved29(),
        d->Reserved31(),        d->Reserved33(),
    };
    for (int result : results) EXPECT_EQ(result, 0);
    d->Reserved17();
    d->Reserved30(1);
    d->Reserved32(1);
    g_driver.Reserved35(1);
    g_driver.Reserved36(1);
    EXPECT_EQ(g_driver.m_thread, nullptr);
}

TEST_F(HostSlotsTest, GetIdentityWritesNameAndIdentifierInMemoryOrder) {
    char name[8];
    std::memset(name, 'x', sizeof name);
    GUID id;
    ASSERT_EQ(g_driver.GetIdentity(name, sizeof name, &id), 1);
    EXPECT_STREQ(name, "ZEL");
    const unsigned char expected[16] = {0xe8, 0xd9, 0xd2, 0xd5, 0x37, 0x46, 0x07, 0x4a,
                                        0xbf, 0x46, 0x42, 0x54, 0x3a, 0x3c, 0xaa, 0xcc};
    EXPECT_EQ(std::memcmp(&id, expected, sizeof expected), 0);
}

TEST_F(HostSlotsTest, GetIdentityRefusesMissingOrSmallBuffersWithoutWriting) {
    struct Case {
        bool name;
        int size;
        bool id;
    };
    const Case cases[] = {
        {false, 8, true}, {true, 8, false}, {true, 3, true}, {true, 0, true}, {true, -1, true}};
    for (const Case& c : cases) {
        char name[8];
        std::memset(name, 'x', sizeof name);
        GUID id;
        std::memset(&id, 0x5a, sizeof id);
        EXPECT_EQ(g_driver.GetIdentity(c.name ? name : nullptr, c.size, c.id ? &id : nullptr), 0)
            << "size " << c.size;
        EXPECT_EQ(name[0], 'x');
        EXPECT_EQ(reinterpret_cast<unsigned char*>(&id)[0], 0x5a);
    }
}

TEST_F(HostSlotsTest, GetOpenParamBoundsTheCopyByTheCallersSize) {
    std::strcpy(g_driver.m_openParam1, "first string");
    std::strcpy(g_driver.m_openParam2, "two");
    struct Case {
        int size;
        const char* expected;
    };
    const Case cases[] = {{64, "first string"}, {13, "first string"}, {6, "first"}, {1, ""}};
    for (const Case& c : cases) {
        char buffer[65];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(g_driver.GetOpenParam1(buffer, c.size),
                  static_cast<int>(std::strlen(c.expected)));
        EXPECT_STREQ(buffer, c.expected);
        EXPECT_EQ(buffer[c.size], 'x') << "wrote past the caller's size " << c.size;
    }
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(g_driver.GetOpenParam2(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "two");
    EXPECT_EQ(buffer[7], '\0') << "the rest of the caller's bytes are zero-filled";
    // No buffer, or no room even for the terminator: nothing is written.
    EXPECT_EQ(g_driver.GetOpenParam1(nullptr, 8), 0);
    EXPECT_EQ(g_driver.GetOpenParam1(buffer, 0), 0);
    EXPECT_EQ(g_driver.GetOpenParam1(buffer, -5), 0);
    std::memset(g_driver.m_openParam1, 0, sizeof g_driver.m_openParam1);
    std::memset(g_driver.m_openParam2, 0, sizeof g_driver.m_openParam2);
}

TEST_F(HostSlotsTest, WritesAndClearAreRefusedWithoutAWorkerOrWithBadArguments) {
    const unsigned char cells[4] = {1, 2, 3, 4};
    EXPECT_EQ(g_driver.WriteMain(cells, 4), 0) << "no worker";
    EXPECT_EQ(g_driver.WriteAll(cells, 4), 0) << "no worker";
    EXPECT_EQ(g_driver.ClearDisplay(), 0) << "no worker";

    RecordingSink sink;
    StartSessionWithoutDisplay(&sink);
    EXPECT_NE(g_driver.WriteMain(cells, 4), 0);
    EXPECT_NE(g_driver.WriteAll(cells, 4), 0);
    EXPECT_NE(g_driver.ClearDisplay(), 0);
    for (int count : {0, -1}) {
        EXPECT_EQ(g_driver.WriteMain(cells, count), 0);
        EXPECT_EQ(g_driver.WriteAll(cells, count), 0);
    }
    EXPECT_EQ(g_driver.WriteMain(nullptr, 4), 0);
    EXPECT_EQ(g_driver.WriteAll(nullptr, 4), 0);
    g_driver.m_suspended = 1;
    EXPECT_EQ(g_driver.WriteMain(cells, 4), 0) << "suspended";
    EXPECT_EQ(g_driver.WriteAll(cells, 4), 0) << "suspended";
    EXPECT_EQ(g_driver.ClearDisplay(), 0) << "suspended";
}

TEST_F(HostSlotsTest, OpenWithoutADisplayFailsAndLeavesNothingBehind) {
    RecordingSink sink;
    std::strcpy(g_driver.m_openParam1, "kept");
    g_driver.m_textCells = 40;  // left by an earlier session
    g_driver.m_statusCells = 2;

    EXPECT_EQ(g_driver.Open("com7", &sink, "first", "second"), 0);

    EXPECT_EQ(g_driver.m_thread, nullptr);
    EXPECT_EQ(g_driver.m_commandDone, nullptr);
    EXPECT_EQ(g_driver.m_keyWindow, nullptr);
    EXPECT_EQ(g_driver.m_sink, nullptr) << "a failed Open keeps the old sink";
    EXPECT_STREQ(g_driver.m_openParam1, "kept");
    EXPECT_EQ(g_driver.m_opened, 0);
    EXPECT_STREQ(g_driver.m_portName, "COM7") << "the attempt ran with the name uppercased";
    EXPECT_EQ(g_driver.m_textCells, 40) << "the counts of the last session survive";
    std::memset(g_driver.m_openParam1, 0, sizeof g_driver.m_openParam1);
}

TEST_F(HostSlotsTest, OpenRefusesStringsThatDoNotFitWithoutStartingAnything) {
    RecordingSink sink;
    const std::string longPort(kPortNameSize, 'C');
    const std::string longParam(kOpenParamSize, 'p');
    const std::string fittingParam(kOpenParamSize - 1, 'p');
    struct Case {
        const char* port;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {nullptr, "a", "b"},
        {"COM1", nullptr, "b"},
        {"COM1", "a", nullptr},
        {longPort.c_str(), "a", "b"},
        {"COM1", longParam.c_str(), "b"},
        {"COM1", "a", longParam.c_str()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(g_driver.Open(c.port, &sink, c.first, c.second), 0);
        EXPECT_EQ(g_driver.m_thread, nullptr);
        EXPECT_EQ(g_driver.m_commandDone, nullptr);
        EXPECT_STREQ(g_driver.m_portName, "") << "no attempt was made";
    }
    // Strings that just fit are accepted; the attempt then fails only for want of a display.
    EXPECT_EQ(g_driver.Open("", &sink, fittingParam.c_str(), fittingParam.c_str()), 0);
}

TEST_F(HostSlotsTest, OpenWhileASessionIsOpenIsRefusedAndChangesNothing) {
    RecordingSink first;
    RecordingSink second;
    StartSessionWithoutDisplay(&first);
    const HANDLE thread = g_driver.m_thread;
    const HWND window = g_driver.m_keyWindow;

    EXPECT_EQ(g_driver.Open("COM2", &second, "a", "b"), 0);

    EXPECT_EQ(g_driver.m_thread, thread);
    EXPECT_EQ(g_driver.m_keyWindow, window);
    EXPECT_EQ(g_driver.m_sink, &first);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(HostSlotsTest, CloseStopsTheWorkerAndKeepsWhatTheHostMayAskForLater) {
    RecordingSink sink;
    EXPECT_EQ(zelcompat::LiveHandleCount(), m_handlesBefore);
    g_driver.Close();  // before any Open: returns at once
    EXPECT_EQ(g_driver.m_thread, nullptr);

    StartSessionWithoutDisplay(&sink);
    g_driver.m_statusCells = 2;
    std::strcpy(g_driver.m_openParam1, "one");
    const DWORD workerId = g_driver.m_threadId;

    g_driver.Close();

    EXPECT_FALSE(PostThreadMessageA(workerId, WM_NULL, 0, 0)) << "the worker has ended";
    EXPECT_EQ(g_driver.m_thread, nullptr);
    EXPECT_EQ(g_driver.m_commandDone, nullptr);
    EXPECT_EQ(g_driver.m_keyWindow, nullptr);
    EXPECT_EQ(g_driver.m_timerId, 0u);
    EXPECT_EQ(g_driver.GetTextCellCount(), 40);
    EXPECT_EQ(g_driver.GetStatusCellCount(), 2);
    EXPECT_EQ(g_driver.GetTotalCellCount(), 42);
    EXPECT_EQ(g_driver.m_sink, &sink);
    EXPECT_EQ(g_driver.m_opened, 1);
    char buffer[8];
    EXPECT_EQ(g_driver.GetOpenParam1(buffer, sizeof buffer), 3);

    g_driver.Close();  // a second Close finds no worker and changes nothing
    EXPECT_EQ(g_driver.m_thread, nullptr);
    std::memset(g_driver.m_openParam1, 0, sizeof g_driver.m_openParam1);
}

TEST_F(HostSlotsTest, SuspendComparesTheFlagByValueAndWaitsForTheWorker) {
    RecordingSink sink;
    EXPECT_EQ(g_driver.Suspend(0), 1) << "same flag: nothing to do";
    EXPECT_EQ(g_driver.Suspend(1), 0) << "no worker: the post fails";
    EXPECT_EQ(g_driver.m_suspended, 1) << "the flag is stored even without a worker";
    g_driver.m_suspended = 0;

    StartSessionWithoutDisplay(&sink);
    const std::uint32_t before = g_driver.m_waitsHandled;
    EXPECT_EQ(g_driver.Suspend(1), 1);
    EXPECT_EQ(g_driver.Suspend(1), 1);
    EXPECT_EQ(g_driver.Suspend(2), 1);
    EXPECT_EQ(g_driver.m_waitsHandled - before, 2u)
        << "1 then 2 posts twice; 1 again posts nothing";
    EXPECT_EQ(g_driver.Suspend(0), 1);
    EXPECT_EQ(g_driver.m_suspended, 0);
}

}  // namespace
