// Fuzzes what a USB display can send: the hello reply, then input reports interleaved with the
// tick count moving on, poll ticks, the host's writes, and unplugging and replugging, all decoded
// from the input. The driver's state is checked after every step.
//
// Input: byte 0 says whether the display answers the hello and whether the reply begins as the
// hello does; bytes 1 to 8 are the reply. Then
// steps, each an operation byte followed by what it needs.
#include <zel_compat/hid.h>
#include <zel_compat/seams.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

class FuzzDisplay : public zelcompat::VirtualHidFirmware {
  public:
    void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
        ++reports;
        Require(length == 9);
        // The hello: answered with the reply the input chose, if it chose to.
        if (answer && length == 9 && report[1] == 0xFB && report[2] == 0xAA && report[3] == 0x55) {
            std::uint8_t reply[9] = {0};
            std::memcpy(reply + 1, helloReply, 8);
            zelcompat::PushHidInputReport(device, reply, sizeof reply);
        }
    }
    zelcompat::HidDeviceId device = 0;
    bool answer = false;
    std::uint8_t helloReply[8] = {};
    std::size_t reports = 0;
};

class NullSink : public IBrailleSink {
  public:
    int OnKey(IBrailleDriver*, const char* name, int) override {
        Require(name != nullptr && name[0] != '\0');
        return 0;
    }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }
};

FuzzDisplay g_display;
NullSink g_sink;
bool g_plugged = true;

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    // Every read of the count lets a millisecond pass, so that the hello's waits end.
    zelcompat::UseManualClock(1000);
    zelcompat::SetTickResolution(1);
    zelcompat::VirtualHidIdentity identity;
    identity.vendorId = 0x04D8;
    identity.productId = 0xABD7;
    identity.versionNumber = 0xF100;
    g_display.device = zelcompat::AddHidDevice(identity, &g_display);
    g_driver.m_sink = &g_sink;
}

void CheckState() {
    Require(g_driver.m_frameQueue.queueRead >= 0 && g_driver.m_frameQueue.queueRead < 8);
    Require(g_driver.m_frameQueue.queueWrite >= 0 && g_driver.m_frameQueue.queueWrite < 8);
    Require(g_driver.m_awaitingAck == 0 || g_driver.m_awaitingAck == 1);
    Require(g_driver.m_secondRow == 0 || g_driver.m_secondRow == 1);
    Require(zelcompat::HidOpenHandleCount(g_display.device) <= 2);
    if (g_driver.m_useHid == 1) {
        Require(g_driver.m_textCells == 40 && g_driver.m_statusCells == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Setup();
    if (size < 9) return 0;
    if (!g_plugged) {
        zelcompat::PlugHidDevice(g_display.device);
        g_plugged = true;
    }
    const std::size_t handlesBefore = zelcompat::LiveHandleCount();
    const bool hadReadEvent = g_driver.readEvent != nullptr;
    g_display.answer = (data[0] & 1) != 0;
    std::memcpy(g_display.helloReply, data + 1, 8);
    // Most inputs answer with the hello's own first bytes, so that the session behind it is
    // reached; the others try any reply.
    if ((data[0] & 2) == 0) {
        g_display.helloReply[0] = 0xFB;
        g_display.helloReply[1] = 0xAA;
        g_display.helloReply[2] = 0x55;
    }

    // The hello phase.
    const int opened = g_driver.OpenTransport("COM1");
    Require(opened == 0 || g_driver.m_useHid == 1);
    if (opened == 0) Require(zelcompat::HidOpenHandleCount(g_display.device) == 0);
    CheckState();

    for (std::size_t at = 9; at < size;) {
        const std::uint8_t op = data[at++];
        switch (op % 6) {
            case 0: {  // an input report
                std::uint8_t report[9] = {0};
                const std::size_t take = size - at < 8 ? size - at : 8;
                std::memcpy(report + 1, data + at, take);
                at += take;
                zelcompat::PushHidInputReport(g_display.device, report, sizeof report);
                break;
            }
            case 1:  // the count moves on, possibly past an acknowledgement's time-out
                zelcompat::AdvanceTicks(static_cast<DWORD>(op >> 3) * 40u);
                break;
            case 2:
                g_driver.Poll();
                break;
            case 3: {  // a write of the host
                const std::uint32_t count = at < size ? data[at++] % 50u : 0u;
                std::uint8_t cells[50] = {0};
                for (std::uint32_t i = 0; i < count && at < size; ++i) cells[i] = data[at++];
                if (op & 0x40) {
                    g_driver.WriteAllCells(cells, count);
                } else {
                    g_driver.WriteMainCells(cells, count);
                }
                break;
            }
            case 4:
                if (g_plugged) {
                    zelcompat::UnplugHidDevice(g_display.device);
                } else {
                    zelcompat::PlugHidDevice(g_display.device);
                }
                g_plugged = !g_plugged;
                break;
            default:
                g_driver.ClearCells();
                break;
        }
        CheckState();
    }

    g_driver.CloseTransport();
    g_driver.m_awaitingAck = 0;
    g_driver.m_frameQueue.queueRead = 0;
    g_driver.m_frameQueue.queueWrite = 0;
    g_driver.m_secondRow = 0;
    Require(zelcompat::HidOpenHandleCount(g_display.device) == 0);
    Require(zelcompat::LiveHandleCount() ==
            handlesBefore + (!hadReadEvent && g_driver.readEvent != nullptr ? 1 : 0));
    Require(zelcompat::LiveDeviceInfoSetCount() == 0 && zelcompat::LivePreparsedDataCount() == 0);
    return 0;
}
