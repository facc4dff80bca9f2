// The hello exchange against a display scripted report by report, and the tick-count spin.
#include <mutex>

#include "usb_fixture.h"

namespace {

using Report = std::vector<std::uint8_t>;

// A display that answers the hello with a fixed list of input reports (data bytes only).
class ScriptedDisplay : public zelcompat::VirtualHidFirmware {
  public:
    explicit ScriptedDisplay(std::vector<Report> replies) : m_replies(std::move(replies)) {
        zelcompat::VirtualHidIdentity identity;
        identity.vendorId = 0x04D8;
        identity.productId = 0xABD7;
        identity.versionNumber = 0xF100;
        m_id = zelcompat::AddHidDevice(identity, this);
    }
    ~ScriptedDisplay() override { zelcompat::RemoveHidDevice(m_id); }

    void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_reports;
        }
        if (length == 9 && report[1] == 0xFB) {
            for (const Report& data : m_replies) {
                Report full(9, 0);
                std::copy(data.begin(), data.end(), full.begin() + 1);
                zelcompat::PushHidInputReport(m_id, full.data(), full.size());
            }
        }
    }
    int Reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }

  private:
    std::vector<Report> m_replies;
    zelcompat::HidDeviceId m_id = 0;
    std::mutex m_mutex;
    int m_reports = 0;
};

using HelloTest = UsbTest;

TEST_F(HelloTest, OnlyAReplyStartingFbAa55IsTakenAndEveryOtherReportUsesAnAttempt) {
    struct Case {
        const char* what;
        std::vector<Report> replies;
        int opened;
    };
    const Case cases[] = {
        {"any device values", {{0xFB, 0xAA, 0x55, 0x99, 0x77, 0xFF, 0xFF, 0xFF}}, 1},
        {"a wrong third byte", {{0xFB, 0xAA, 0x54, 0, 0, 0, 0, 0}}, 0},
        {"a key report first", {{0xFD, 0x03}, {0xFB, 0xAA, 0x55}}, 1},
        {"ten other reports first", std::vector<Report>(10, Report{0xFF}), 0},
        {"nine other reports first",
         [] {
             std::vector<Report> replies(9, Report{0xFE, 0x01});
             replies.push_back({0xFB, 0xAA, 0x55});
             return replies;
         }(),
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDisplay display(c.replies);
        {
            RunningClock clock;
            EXPECT_EQ(OpenDriver(), c.opened);
        }
        if (c.opened == 0) {
            EXPECT_EQ(display.Reports(), 1) << "the hello is written once";
        }
        g_driver.Close();
        EXPECT_TRUE(DeliveredKeys().empty()) << "reports during the hello are discarded";
    }
}

TEST(BusyWaitTest, ReturnsOnceMoreThanTheTimeHasPassedAlsoAcrossTheWrap) {
    for (DWORD start : {DWORD{1000}, DWORD{0xFFFFFFF0u}}) {
        zelcompat::UseManualClock(start);
        {
            RunningClock clock;
            BusyWait(50);
            const DWORD elapsed = GetTickCount() - start;
            EXPECT_GE(elapsed, 51u) << "start " << start;
            EXPECT_LT(elapsed, 0x80000000u) << "start " << start;
        }
        zelcompat::UseRealClock();
    }
}

}  // namespace
