// The shared control block: another program (played by the test thread) makes the section, reads
// the published port number, borrows the display with 101, gets 102 and the identification words,
// and hands the display back with 200 or more.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <zel_sim/serial_display.h>

#include <algorithm>
#include <cstddef>

#include "other_program.h"
#include "serial_fixture.h"

namespace {

using zelsim::SerialDisplay;
using zelsim::UsbDisplay;

class SharedBlockTest : public SerialTest {
  protected:
    void SetUp() override {
        SerialTest::SetUp();
        m_viewsBefore = zelcompat::MappedViewCount();
    }
    void TearDown() override {
        SerialTest::TearDown();
        EXPECT_EQ(zelcompat::MappedViewCount(), m_viewsBefore) << "a view was left mapped";
    }

    static bool Attached() { return g_driver.m_blockView != nullptr; }
    static bool Paused() { return g_driver.m_sharedPause != 0; }

    // Opens the driver on the USB display, as if a serial display had identified itself earlier
    // on COM`portNumber` with the two bytes given.
    int OpenUsb(std::int32_t portNumber) {
        if (OpenDriver() != 1) return 0;
        Settle();
        g_driver.m_portNumber = portNumber;
        g_driver.m_deviceId1 = 0x21;
        g_driver.m_deviceId2 = 0x43;
        return 1;
    }

    // Writes the main cells and lets the worker send them; returns what the USB display shows.
    std::vector<unsigned char> WriteAndShow(UsbDisplay& display, unsigned seed) {
        const std::vector<unsigned char> cells = DistinctCells(40, seed);
        EXPECT_EQ(g_driver.WriteMain(cells.data(), 40), 1);
        Settle();
        Tick();
        return Shown(display, 40);
    }

    // Attaches, publishes, and pauses on the other program's request.
    static void PauseThrough(OtherProgram& other) {
        Tick(2);
        other.Write(kPauseRequest);
        Tick();
        ASSERT_TRUE(Paused());
    }

    std::size_t m_viewsBefore = 0;
};

TEST_F(SharedBlockTest, UsbDisplayIsLentAndTakenBackTickByTick) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(7), 1);
    OtherProgram other;
    ASSERT_TRUE(other.Ready());
    other.Write(150);

    Tick();
    EXPECT_TRUE(Attached());
    EXPECT_EQ(other.Word(), 150) << "the block is not examined in the tick that attaches";
    Tick();
    EXPECT_EQ(other.Word(), 7) << "any other value is overwritten with the port number";

    const std::size_t opensBefore = zelcompat::HidOpenCount(display.DeviceId());
    other.Write(kPauseRequest);
    Tick();
    EXPECT_EQ(other.Word(), kPausedAnswer);
    EXPECT_EQ(other.Id1(), 0x21u) << "the last serial identification's bytes, even on USB";
    EXPECT_EQ(other.Id2(), 0x43u);
    EXPECT_TRUE(Paused());
    EXPECT_EQ(g_driver.deviceHandle, nullptr);
    EXPECT_EQ(zelcompat::HidOpenHandleCount(display.DeviceId()), 0u) << "the display is released";

    // While paused: no tick looks at the display, a second 101 answers nothing, and the host's
    // writes go into the image only.
    other.ClearIds();
    other.Write(kPauseRequest);
    const std::vector<unsigned char> meanwhile = DistinctCells(40, 4);
    EXPECT_EQ(g_driver.WriteMain(meanwhile.data(), 40), 1);
    Settle();
    Tick(3);
    EXPECT_EQ(other.Word(), kPauseRequest);
    EXPECT_EQ(other.Id1(), 0u);
    EXPECT_EQ(zelcompat::HidOpenCount(display.DeviceId()), opensBefore) << "never found again";
    const int hellos = display.HellosReceived();

    other.Write(kResumeRequest);
    Tick();
    EXPECT_EQ(other.Word(), 0) << "the remainder is left";
    EXPECT_FALSE(Paused());
    EXPECT_NE(g_driver.deviceHandle, nullptr);
    EXPECT_EQ(display.HellosReceived(), hellos + 1) << "the display is opened afresh";
    EXPECT_EQ(Shown(display, 40), meanwhile) << "the host's current line comes back with it";
    EXPECT_EQ(g_driver.m_sectionHandle, nullptr) << "detached after a resume";

    Tick();
    EXPECT_TRUE(Attached());
    EXPECT_EQ(other.Word(), 0);
    Tick();
    EXPECT_EQ(other.Word(), 7);
    EXPECT_EQ(WriteAndShow(display, 5), DistinctCells(40, 5));
}

TEST_F(SharedBlockTest, ResumeWithPauseLeftOverPausesAgainAfterReattaching) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(7), 1);
    OtherProgram other;
    ASSERT_NO_FATAL_FAILURE(PauseThrough(other));

    other.Write(kResumeRequest + kPauseRequest);
    Tick();
    EXPECT_EQ(other.Word(), kPauseRequest);
    EXPECT_FALSE(Paused());
    EXPECT_NE(g_driver.deviceHandle, nullptr);
    EXPECT_FALSE(Attached());
    Tick();
    EXPECT_TRUE(Attached());
    EXPECT_FALSE(Paused());
    Tick();
    EXPECT_TRUE(Paused());
    EXPECT_EQ(other.Word(), kPausedAnswer);
    EXPECT_EQ(g_driver.deviceHandle, nullptr);
}

TEST_F(SharedBlockTest, ResumeWithoutPauseLeavesAWorkingDisplayAsItIs) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(7), 1);
    OtherProgram other;
    Tick(2);
    const HANDLE link = g_driver.deviceHandle;
    const int hellos = display.HellosReceived();
    other.Write(kResumeRequest);
    Tick();
    EXPECT_EQ(other.Word(), 0);
    EXPECT_FALSE(Attached());
    EXPECT_EQ(g_driver.deviceHandle, link) << "the link was not taken down";
    EXPECT_EQ(display.HellosReceived(), hellos);
    EXPECT_EQ(WriteAndShow(display, 6), DistinctCells(40, 6));
}

#if defined(__x86_64__)
// Records, in order, the offsets of the stores made into one page: the page is read-only, so each
// store faults; the handler notes where, lets the store through and single-steps it, and the trap
// after it makes the page read-only again. So a test sees the order of stores that another
// process, reading at any moment, could see, whatever the processor's caches make of it.
class StoreRecorder {
  public:
    explicit StoreRecorder(void* page) {
        s_page = static_cast<char*>(page);
        s_count = 0;
        struct sigaction action = {};
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        action.sa_sigaction = &OnFault;
        sigaction(SIGSEGV, &action, &m_oldFault);
        action.sa_sigaction = &OnTrap;
        sigaction(SIGTRAP, &action, &m_oldTrap);
        mprotect(s_page, PageSize(), PROT_READ);
    }
    ~StoreRecorder() {
        mprotect(s_page, PageSize(), PROT_READ | PROT_WRITE);
        sigaction(SIGSEGV, &m_oldFault, nullptr);
        sigaction(SIGTRAP, &m_oldTrap, nullptr);
    }
    StoreRecorder(const StoreRecorder&) = delete;
    StoreRecorder& operator=(const StoreRecorder&) = delete;

    std::vector<std::ptrdiff_t> Offsets() const {
        return std::vector<std::ptrdiff_t>(s_offsets, s_offsets + s_count);
    }

  private:
    static std::size_t PageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
    static void OnFault(int, siginfo_t* info, void* context) {
        const char* address = static_cast<const char*>(info->si_addr);
        if (address < s_page || address >= s_page + PageSize() || s_count == kMaxStores) abort();
        s_offsets[s_count++] = address - s_page;
        mprotect(s_page, PageSize(), PROT_READ | PROT_WRITE);
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
    }
    static void OnTrap(int, siginfo_t*, void* context) {
        mprotect(s_page, PageSize(), PROT_READ);
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
    }

    static constexpr greg_t kTrapFlag = 0x100;
    static constexpr int kMaxStores = 16;
    static inline char* s_page = nullptr;
    static inline std::ptrdiff_t s_offsets[kMaxStores] = {};
    static inline int s_count = 0;
    struct sigaction m_oldFault = {};
    struct sigaction m_oldTrap = {};
};

TEST_F(SharedBlockTest, TheIdentificationWordsAreInPlaceBeforeTheAnswer) {
    // The other program may read the block at any moment of the tick: once it can see 102, both
    // identification words must already be there.
    OtherProgram other;
    ASSERT_TRUE(other.Ready());
    ASSERT_EQ(g_driver.ServiceSharedBlock(), 1);
    ASSERT_TRUE(Attached());
    g_driver.m_deviceId1 = 0x56;
    g_driver.m_deviceId2 = 0x78;
    other.Write(kPauseRequest);
    std::vector<std::ptrdiff_t> stores;
    {
        StoreRecorder recorder(g_driver.m_blockView);
        EXPECT_EQ(g_driver.ServiceSharedBlock(), 0);
        stores = recorder.Offsets();
    }
    EXPECT_EQ(stores, (std::vector<std::ptrdiff_t>{offsetof(SharedControlBlock, idWord1),
                                                   offsetof(SharedControlBlock, idWord2),
                                                   offsetof(SharedControlBlock, stateWord)}));
    EXPECT_EQ(other.Word(), kPausedAnswer);
    EXPECT_EQ(other.Id1(), 0x56u);
    EXPECT_EQ(other.Id2(), 0x78u);
}
#endif

TEST_F(SharedBlockTest, PortNumbersThatReadAsRequestsArePublishedAsNoPort) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(0), 1);
    OtherProgram other;
    Tick();
    struct Case {
        std::int32_t portNumber;
        std::int32_t published;
    };
    for (const Case c :
         {Case{3, 3}, Case{101, 0}, Case{102, 0}, Case{199, 199}, Case{200, 0}, Case{256, 0}}) {
        SCOPED_TRACE(c.portNumber);
        g_driver.m_portNumber = c.portNumber;
        Tick(3);
        EXPECT_EQ(other.Word(), c.published);
        EXPECT_FALSE(Paused());
        EXPECT_TRUE(Attached());
        EXPECT_NE(g_driver.deviceHandle, nullptr);
    }
}

TEST_F(SharedBlockTest, SectionTooShortForTheViewIsIgnored) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(7), 1);
    OtherProgram other(100);
    ASSERT_TRUE(other.Ready());
    other.Write(kPauseRequest);
    Tick(3);
    EXPECT_NE(g_driver.m_sectionHandle, nullptr);
    EXPECT_EQ(g_driver.m_blockView, nullptr);
    EXPECT_EQ(other.Word(), kPauseRequest) << "nothing is read or written";
    EXPECT_FALSE(Paused());
    EXPECT_EQ(WriteAndShow(display, 7), DistinctCells(40, 7));
}

TEST_F(SharedBlockTest, TheDisplayComesBackOnlyWhenNeitherTheHostNorTheOtherProgramHoldsItAway) {
    UsbDisplay display;
    ASSERT_EQ(OpenUsb(7), 1);
    OtherProgram other;
    ASSERT_NO_FATAL_FAILURE(PauseThrough(other));

    // The host suspends and resumes while the display is lent: it stays with the other program.
    EXPECT_NE(g_driver.Suspend(1), 0);
    EXPECT_NE(g_driver.Suspend(0), 0);
    Tick();
    EXPECT_EQ(g_driver.deviceHandle, nullptr);

    // The host suspends again; the other program hands the display back: it stays closed until
    // the host resumes.
    EXPECT_NE(g_driver.Suspend(1), 0);
    other.Write(kResumeRequest);
    Tick();
    EXPECT_FALSE(Paused());
    EXPECT_EQ(g_driver.deviceHandle, nullptr);
    EXPECT_NE(g_driver.Suspend(0), 0);
    EXPECT_NE(g_driver.deviceHandle, nullptr);
    EXPECT_EQ(WriteAndShow(display, 8), DistinctCells(40, 8));
}

TEST_F(SharedBlockTest, SerialDisplayIsReleasedForTheOtherProgramsOwnUse) {
    SerialDisplay display;
    LinkPort(3, display.SlavePath());
    {
        RunningClock clock;
        ASSERT_EQ(OpenDriver("COM3"), 1);
    }
    Settle();
    // Closing the port purges it, so the pause below must not come before the display has read
    // the end of the identification (ticks on the manual clock follow each other at once).
    ASSERT_TRUE(
        display.WaitUntil([](const SerialDisplay& d) { return d.IdentifyDonesReceived() >= 1; }));
    OtherProgram other;
    Tick(2);
    EXPECT_EQ(other.Word(), 3);

    other.Write(kPauseRequest);
    Tick();
    EXPECT_EQ(other.Word(), kPausedAnswer);
    EXPECT_EQ(other.Id1(), 0x12u);
    EXPECT_EQ(other.Id2(), 0x34u);
    EXPECT_EQ(g_driver.m_serial, nullptr);

    // The other program opens the port itself (exclusively) and shows its own cells.
    const HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the driver let go of the port";
    std::vector<std::uint8_t> own(42, 0xFF);
    const std::vector<std::uint8_t> frame = Frame(0x00, own);
    const int framesBefore = display.DisplayFramesReceived();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr));
    ASSERT_TRUE(display.WaitUntil([framesBefore](const SerialDisplay& d) {
        return d.DisplayFramesReceived() > framesBefore;
    }));
    // Meanwhile the host writes a line, which the driver keeps for later.
    const std::vector<unsigned char> line = DistinctCells(40, 9);
    EXPECT_EQ(g_driver.WriteMain(line.data(), 40), 1);
    Settle();
    Tick(3);
    EXPECT_EQ(other.Word(), kPausedAnswer);
    EXPECT_TRUE(CloseHandle(port));

    other.Write(kResumeRequest + 5);
    const int identifications = display.IdentifyRequests();
    {
        RunningClock clock;
        ASSERT_TRUE(display.WaitUntil([identifications](const SerialDisplay& d) {
            return d.IdentifyRequests() > identifications && d.IdentifyDonesReceived() >= 2;
        }));
        ASSERT_TRUE(display.WaitUntil([line](const SerialDisplay& d) {
            const zelsim::SerialCells shown = d.ShownCells();
            return std::equal(shown.begin() + 2, shown.end(), line.begin());
        })) << "the host's line is back on the display";
    }
    Settle();
    Tick(3);
    EXPECT_FALSE(Paused());
    EXPECT_NE(g_driver.m_serial, nullptr);
    EXPECT_EQ(other.Word(), 3) << "attached again and publishing the port number";
}

TEST_F(SharedBlockTest, AResumeThatFindsNoDisplayOpenTriesAgain) {
    SerialDisplay display;
    LinkPort(3, display.SlavePath());
    {
        RunningClock clock;
        ASSERT_EQ(OpenDriver("COM3"), 1);
    }
    Settle();
    ASSERT_TRUE(
        display.WaitUntil([](const SerialDisplay& d) { return d.IdentifyDonesReceived() >= 1; }));
    OtherProgram other;
    ASSERT_NO_FATAL_FAILURE(PauseThrough(other));

    // The other program hands the display back while it still holds the port: the reopen fails.
    const HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::vector<unsigned char> line = DistinctCells(40, 10);
    EXPECT_EQ(g_driver.WriteMain(line.data(), 40), 1);
    Settle();
    other.Write(kResumeRequest);
    Tick();
    EXPECT_FALSE(Paused());
    EXPECT_EQ(g_driver.m_serial, nullptr) << "the port was still held";

    // It lets the port go and asks again, once the driver has attached again.
    EXPECT_TRUE(CloseHandle(port));
    Tick(2);
    ASSERT_TRUE(Attached());
    other.Write(kResumeRequest);
    {
        RunningClock clock;
        ASSERT_TRUE(display.WaitUntil([line](const SerialDisplay& d) {
            const zelsim::SerialCells shown = d.ShownCells();
            return std::equal(shown.begin() + 2, shown.end(), line.begin());
        })) << "the display is back with the host's line";
    }
    Settle();
    EXPECT_NE(g_driver.m_serial, nullptr);
}

TEST_F(SharedBlockTest, DestroyingTheDriverObjectLetsGoOfTheBlock) {
    OtherProgram other;
    const std::size_t handles = zelcompat::LiveHandleCount();
    const std::size_t views = zelcompat::MappedViewCount();
    {
        CBrailleSampleDriver driver;
        EXPECT_EQ(driver.ServiceSharedBlock(), 1);
        EXPECT_NE(driver.m_blockView, nullptr);
        EXPECT_EQ(zelcompat::LiveHandleCount(), handles + 1);
    }
    EXPECT_EQ(zelcompat::LiveHandleCount(), handles);
    EXPECT_EQ(zelcompat::MappedViewCount(), views);
}

}  // namespace
