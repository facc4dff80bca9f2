// Fuzzes the shared control block as the other program writes it: its words, tick by tick, with
// the section made, dropped and made again (sometimes too short), while the driver has the USB
// display open. The driver's state and what it publishes are checked after every tick.
#include <zel_compat/hid.h>
#include <zel_compat/mappings.h>
#include <zel_compat/seams.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/driver.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// A display that answers the hello and acknowledges every frame's last report.
class Display : public zelcompat::VirtualHidFirmware {
  public:
    void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
        if (length != 9) return;
        std::uint8_t answer[9] = {0};
        if (report[1] == 0xFB && report[2] == 0xAA && report[3] == 0x55) {
            std::memcpy(answer, report, 9);
            answer[4] = 0x28;
            answer[5] = 0x01;
            zelcompat::PushHidInputReport(device, answer, sizeof answer);
        } else if (++m_frameReports % 6 == 0) {
            answer[1] = 0xFF;
            zelcompat::PushHidInputReport(device, answer, sizeof answer);
        }
    }
    zelcompat::HidDeviceId device = 0;

  private:
    unsigned m_frameReports = 0;
};

Display g_display;

struct Section {
    HANDLE handle = nullptr;
    SharedControlBlock* block = nullptr;
    void Make(DWORD size) {
        Drop();
        handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                    kSharedSectionName);
        if (handle != nullptr) {
            block = static_cast<SharedControlBlock*>(
                MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        }
    }
    void Drop() {
        if (block != nullptr) UnmapViewOfFile(block);
        if (handle != nullptr) CloseHandle(handle);
        block = nullptr;
        handle = nullptr;
    }
    std::int32_t Word() const { return __atomic_load_n(&block->stateWord, __ATOMIC_ACQUIRE); }
    void Write(std::int32_t value) { __atomic_store_n(&block->stateWord, value, __ATOMIC_RELEASE); }
};

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    zelcompat::SetObjectNamespace("zel-fuzz-" + std::to_string(getpid()));
    zelcompat::UseManualClock(1000);
    zelcompat::SetTickResolution(1);  // the hello's waits end
    zelcompat::VirtualHidIdentity identity;
    identity.vendorId = 0x04D8;
    identity.productId = 0xABD7;
    identity.versionNumber = 0xF100;
    g_display.device = zelcompat::AddHidDevice(identity, &g_display);
}

bool LinkOpen() { return g_driver.deviceHandle != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Setup();
    if (size < 1) return 0;
    const std::size_t handlesBefore = zelcompat::LiveHandleCount();
    const std::size_t viewsBefore = zelcompat::MappedViewCount();
    const bool hadReadEvent = g_driver.readEvent != nullptr;
    // The port the driver publishes, sometimes one that reads as a request or an answer.
    static const std::int32_t kPorts[] = {0, 3, 101, 102, 199, 200, 255};
    g_driver.m_portNumber = kPorts[data[0] % 7];
    g_driver.m_deviceId1 = 0x21;
    g_driver.m_deviceId2 = 0x43;
    Require(g_driver.OpenTransport("COM1") == 1);

    Section other;
    other.Make(kSharedViewLength);
    for (std::size_t at = 1; at < size;) {
        const std::uint8_t op = data[at++];
        switch (op % 5) {
            case 0: {  // the other program writes the state word
                std::int32_t value = 0;
                const std::size_t take = size - at < 4 ? size - at : 4;
                std::memcpy(&value, data + at, take);
                at += take;
                // Mostly the values that mean something, with their neighbours.
                static const std::int32_t kMeaning[] = {101, 102, 200, 201, 299, 0, 100, 199};
                if ((op & 0x80) == 0) value = kMeaning[static_cast<std::uint32_t>(value) % 8];
                if (other.block != nullptr) other.Write(value);
                break;
            }
            case 1:
            case 2: {  // a tick
                // The words as the driver sees them: its view outlives the other program's.
                SharedControlBlock* const view = g_driver.m_blockView;
                const std::int32_t before =
                    view != nullptr ? __atomic_load_n(&view->stateWord, __ATOMIC_ACQUIRE) : 0;
                const int wasPaused = g_driver.m_sharedPause;
                zelcompat::AdvanceTicks(kPollPeriodMs);
                g_driver.Poll();
                Require(g_driver.m_sharedPause == 0 || g_driver.m_sharedPause == 1);
                // Paused, the link is closed; never paused by a tick that saw no request.
                if (g_driver.m_sharedPause != 0) Require(!LinkOpen());
                if (view == nullptr) break;
                // A resume takes the request away, less 200, and lets go of the view.
                if (before >= kResumeRequest) {
                    Require(g_driver.m_sharedPause == 0 && g_driver.m_blockView == nullptr);
                    if (other.block != nullptr) Require(other.Word() == before - kResumeRequest);
                    break;
                }
                Require(g_driver.m_blockView == view);
                const std::int32_t after = __atomic_load_n(&view->stateWord, __ATOMIC_ACQUIRE);
                if (!wasPaused && g_driver.m_sharedPause != 0) {
                    Require(before == kPauseRequest && after == kPausedAnswer);
                    Require(view->idWord1 == 0x21 && view->idWord2 == 0x43);
                }
                // A running driver never publishes a request or an answer of its own.
                if (!wasPaused && before != kPauseRequest && before < kResumeRequest) {
                    Require(after != kPauseRequest && after != kPausedAnswer &&
                            after < kResumeRequest);
                }
                break;
            }
            case 3:  // the other program goes, or comes back with a section of some size
                if (op & 0x10) {
                    other.Drop();
                } else {
                    other.Make((op & 0x20) ? 64 : kSharedViewLength);
                }
                break;
            default:
                zelcompat::AdvanceTicks(static_cast<DWORD>(op) * 10u);
                break;
        }
        Require(zelcompat::MappedViewCount() <= viewsBefore + 2);
    }

    other.Drop();
    g_driver.CloseTransport();
    g_driver.DetachSharedBlock();
    g_driver.m_sharedPause = 0;
    g_driver.m_awaitingAck = 0;
    g_driver.m_frameQueue.queueRead = 0;
    g_driver.m_frameQueue.queueWrite = 0;
    Require(zelcompat::MappedViewCount() == viewsBefore);
    Require(zelcompat::LiveHandleCount() ==
            handlesBefore + (!hadReadEvent && g_driver.readEvent != nullptr ? 1 : 0));
    Require(zelcompat::HidOpenHandleCount(g_display.device) == 0);
    return 0;
}
