// A HID device of our own making, met the way the driver meets its display: found through
// SetupAPI, identified by the HID class library, written one report at a time and read with
// overlapped reads that are polled and cancelled. Natively against the layer's virtual devices;
// under Wine against the test HID minidriver behind Wine's HID class, the reference.
#include "support.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "hid_bench.h"

namespace compat_test {
namespace {

constexpr DWORD kInterfaceFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::uint8_t> Report(std::uint8_t first, std::uint8_t second, std::size_t length = 9) {
    std::vector<std::uint8_t> report(length, 0);
    report[1] = first;
    report[2] = second;
    return report;
}

class HidReportTest : public CompatTest {
  protected:
    void SetUp() override {
        CompatTest::SetUp();
        device_ = std::make_unique<TestHidDevice>(Identity());
        std::string why;
        ASSERT_TRUE(device_->Ok(&why)) << why;
    }
    void TearDown() override {
        for (HANDLE handle : handles_) CloseHandle(handle);
        for (HANDLE event : events_) CloseHandle(event);
        device_.reset();
        CompatTest::TearDown();
    }
    virtual HidIdentity Identity() const { return {}; }

    HANDLE Open(DWORD flags = 0) {
        HANDLE handle = CreateFileA(device_->Path().c_str(), kAccess, kShare, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
        return handle;
    }
    OVERLAPPED Overlapped() {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, "");
        events_.push_back(overlapped.hEvent);
        return overlapped;
    }
    // Issues an overlapped read that must stay pending: nothing has arrived.
    void ReadPending(HANDLE handle, BYTE* buffer, OVERLAPPED* overlapped) {
        SetLastError(kUntouched);
        EXPECT_FALSE(ReadFile(handle, buffer, 9, nullptr, overlapped));
        EXPECT_LAST_ERROR(ERROR_IO_PENDING);
        EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 0), kWaitTimeout);
    }
    // Reads one report at once (it is there already, or arrives within the generous bound).
    std::vector<std::uint8_t> ReadOne(HANDLE handle) {
        OVERLAPPED overlapped = Overlapped();
        std::vector<std::uint8_t> buffer(9, 0xEE);
        if (!ReadFile(handle, buffer.data(), 9, nullptr, &overlapped)) {
            EXPECT_LAST_ERROR(ERROR_IO_PENDING);
            EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, kGenerousMs), kWaitObject0);
        }
        DWORD got = 0;
        EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &got, FALSE));
        buffer.resize(got);
        return buffer;
    }

    std::unique_ptr<TestHidDevice> device_;
    std::vector<HANDLE> handles_;
    std::vector<HANDLE> events_;
};

// Discovery as the driver does it, and what the class library says of the device.
TEST_F(HidReportTest, TheDeviceIsFoundWithItsPathIdentityAndReportLengths) {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kInterfaceFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    const std::string path = Lower(device_->Path());
    bool found = false;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data);
         ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        // The record's size is that of its fixed part, not of the buffer.
        detail->cbSize = required;
        SetLastError(kUntouched);
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        ASSERT_TRUE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        if (Lower(detail->DevicePath) != path) continue;
        found = true;
        EXPECT_EQ(required,
                  offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(found) << device_->Path();

    HANDLE handle = Open();
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(HidD_GetAttributes(handle, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x04D8);
    EXPECT_EQ(attributes.ProductID, 0xABD7);
    EXPECT_EQ(attributes.VersionNumber, 0xF100);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(handle, &preparsed));
    HIDP_CAPS caps;
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 9);
    EXPECT_EQ(caps.OutputReportByteLength, 9);
    EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
}

TEST_F(HidReportTest, ASynchronousWriteHandsOneWholeReportToTheDevice) {
    HANDLE handle = Open();
    std::vector<std::uint8_t> report = Report(0xFB, 0xAA);
    report[8] = 0x55;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, report.data(), 9, &written, nullptr));
    const DWORD writtenWhole = written;
    std::vector<std::uint8_t> received;
    ASSERT_TRUE(device_->TakeOutput(&received));
    EXPECT_EQ(received, report);
    EXPECT_FALSE(device_->TakeOutput(&received, 200)) << "one write, one report";

    // A write shorter than the report is refused, and nothing reaches the device.
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(handle, report.data(), 8, &written, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(device_->TakeOutput(&received, 200));

    // A longer one sends the report's length and no more.
    std::vector<std::uint8_t> longer = Report(0xFF, 0xAA, 12);
    ASSERT_TRUE(WriteFile(handle, longer.data(), 12, &written, nullptr));
    ASSERT_TRUE(device_->TakeOutput(&received));
    EXPECT_EQ(received, Report(0xFF, 0xAA));

    WINE_DIFFERS("a write counts the report without its ID byte");
    EXPECT_EQ(writtenWhole, 9u);
}

TEST_F(HidReportTest, AnOverlappedReadStaysPendingUntilAReportComesAndTakesItWhole) {
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped = Overlapped();
    BYTE buffer[9];
    std::memset(buffer, 0xEE, sizeof buffer);
    ReadPending(handle, buffer, &overlapped);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), kWaitTimeout) << "a zero wait polls";

    device_->Push(Report(0xFD, 5));
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, kGenerousMs), kWaitObject0);
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &got, FALSE));
    EXPECT_EQ(got, 9u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 9), Report(0xFD, 5));

    // A report that is there already completes the next read at once.
    device_->Push(Report(0xFE, 1));
    PassTime(200);  // under Wine the report travels through the class driver's thread
    EXPECT_EQ(ReadOne(handle), Report(0xFE, 1));

    // A buffer longer than the report takes the report; a shorter one is refused.
    BYTE longer[12];
    std::memset(longer, 0xEE, sizeof longer);
    OVERLAPPED second = Overlapped();
    device_->Push(Report(0xFD, 9));
    if (!ReadFile(handle, longer, sizeof longer, nullptr, &second)) {
        EXPECT_LAST_ERROR(ERROR_IO_PENDING);
    }
    ASSERT_EQ(WaitForSingleObject(second.hEvent, kGenerousMs), kWaitObject0);
    ASSERT_TRUE(GetOverlappedResult(handle, &second, &got, FALSE));
    EXPECT_EQ(got, 9u);
    EXPECT_EQ(std::vector<std::uint8_t>(longer, longer + 9), Report(0xFD, 9));
    EXPECT_EQ(longer[9], 0xEE);
    OVERLAPPED third = Overlapped();
    SetLastError(kUntouched);
    EXPECT_FALSE(ReadFile(handle, buffer, 8, nullptr, &third));
    EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER);
}

TEST_F(HidReportTest, ACancelledReadEndsAbortedAndLeavesTheNextReportToTheNextRead) {
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped = Overlapped();
    BYTE buffer[9];
    std::memset(buffer, 0xEE, sizeof buffer);
    ReadPending(handle, buffer, &overlapped);
    EXPECT_TRUE(CancelIo(handle));
    DWORD got = 123;
    SetLastError(kUntouched);
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &got, TRUE));
    EXPECT_LAST_ERROR(ERROR_OPERATION_ABORTED);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buffer[0], 0xEE) << "the buffer is left alone";
    EXPECT_EQ(buffer[1], 0xEE);

    device_->Push(Report(0xFF, 0));
    EXPECT_EQ(ReadOne(handle), Report(0xFF, 0));
}

TEST_F(HidReportTest, EachHandleHasItsOwnQueueFromTheMomentItWasOpened) {
    HANDLE early = Open(FILE_FLAG_OVERLAPPED);
    device_->Push(Report(0xFD, 1));
    PassTime(200);
    HANDLE late = Open(FILE_FLAG_OVERLAPPED);
    device_->Push(Report(0xFD, 2));
    EXPECT_EQ(ReadOne(late), Report(0xFD, 2)) << "no report from before the open";
    EXPECT_EQ(ReadOne(early), Report(0xFD, 1));
    EXPECT_EQ(ReadOne(early), Report(0xFD, 2));
}

TEST_F(HidReportTest, AfterRemovalTheDeviceIsGoneAndItsHandlesFail) {
    HANDLE writer = Open();
    HANDLE reader = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped = Overlapped();
    BYTE buffer[9];
    std::memset(buffer, 0xEE, sizeof buffer);
    ReadPending(reader, buffer, &overlapped);
    const std::string path = device_->Path();

    device_->Unplug();
    // The pending read ends with an error and no report.
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, kGenerousMs), kWaitObject0);
    DWORD got = 123;
    EXPECT_FALSE(GetOverlappedResult(reader, &overlapped, &got, FALSE));
    const DWORD pendingError = GetLastError();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buffer[1], 0xEE);

    std::vector<std::uint8_t> report = Report(0xFB, 0xAA);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(writer, report.data(), 9, &written, nullptr));
    const DWORD writeError = GetLastError();
    OVERLAPPED again = Overlapped();
    EXPECT_FALSE(ReadFile(reader, buffer, 9, nullptr, &again));
    const DWORD readError = GetLastError();
    EXPECT_NE(readError, static_cast<DWORD>(ERROR_IO_PENDING));

    SetLastError(kUntouched);
    EXPECT_EQ(CreateFileA(path.c_str(), kAccess, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);

    WINE_DIFFERS(
        "a removed device's handles fail with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING)");
    EXPECT_EQ(pendingError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(readError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

// A device that declares longer reports takes and gives reports of that length only.
class LongReportTest : public HidReportTest {
  protected:
    HidIdentity Identity() const override {
        HidIdentity identity;
        identity.inputReportByteLength = 65;
        identity.outputReportByteLength = 65;
        return identity;
    }
};

TEST_F(LongReportTest, ReportsOfTheDisplaysLengthAreRefused) {
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(handle, &preparsed));
    HIDP_CAPS caps;
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_TRUE(HidD_FreePreparsedData(preparsed));

    std::vector<std::uint8_t> report = Report(0xFB, 0xAA);
    DWORD written = 0;
    OVERLAPPED write = Overlapped();
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(handle, report.data(), 9, &written, &write));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    OVERLAPPED read = Overlapped();
    BYTE buffer[9];
    SetLastError(kUntouched);
    EXPECT_FALSE(ReadFile(handle, buffer, 9, nullptr, &read));
    EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER);
}

}  // namespace
}  // namespace compat_test
