// SetupAPI's interface enumeration, the HID class calls and overlapped results. Under Wine the
// enumeration finds Wine's own HID devices; natively the fixture registers two virtual ones.
#include "support.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <zel_compat/hid.h>
#endif

namespace compat_test {
namespace {

constexpr DWORD kInterfaceFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

GUID HidGuid() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    return guid;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class HidEnumerationTest : public CompatTest {
  protected:
    void SetUp() override {
        CompatTest::SetUp();
#ifndef _WIN32
        sets_ = zelcompat::LiveDeviceInfoSetCount();
        preparsed_ = zelcompat::LivePreparsedDataCount();
        zelcompat::VirtualHidIdentity first;
        first.vendorId = 0x04D8;
        first.productId = 0xABD7;
        zelcompat::VirtualHidIdentity second;
        second.vendorId = 0x1C71;
        second.productId = 0x0C00;
        second.inputReportByteLength = 65;
        second.outputReportByteLength = 33;
        devices_ = {zelcompat::AddHidDevice(first, nullptr),
                    zelcompat::AddHidDevice(second, nullptr)};
#endif
    }

    void TearDown() override {
#ifndef _WIN32
        for (auto device : devices_) {
            zelcompat::RemoveHidDevice(device);
        }
        EXPECT_EQ(zelcompat::LiveDeviceInfoSetCount(), sets_) << "a device info set leaked";
        EXPECT_EQ(zelcompat::LivePreparsedDataCount(), preparsed_) << "preparsed data leaked";
#endif
        CompatTest::TearDown();
    }

    // The device paths of the present HID interfaces, found with the two-call detail protocol.
    std::vector<std::string> Paths() {
        std::vector<std::string> paths;
        GUID guid = HidGuid();
        HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kInterfaceFlags);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof(data);
        for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data);
             ++index) {
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
            std::vector<char> buffer(required);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            EXPECT_TRUE(
                SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
            paths.emplace_back(detail->DevicePath);
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return paths;
    }

#ifndef _WIN32
    std::vector<zelcompat::HidDeviceId> devices_;
    std::size_t sets_ = 0;
    std::size_t preparsed_ = 0;
#endif
};

TEST_F(HidEnumerationTest, EnumeratesInterfacesUntilNoMoreItemsWithTheTwoCallDetailProtocol) {
    GUID guid = HidGuid();
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kInterfaceFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    DWORD index = 0;
    for (;; ++index) {
        SetLastError(kUntouched);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
            EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(std::memcmp(&data.InterfaceClassGuid, &guid, sizeof(guid)), 0);
        EXPECT_TRUE(data.Flags & SPINT_ACTIVE);

        // The first call only reports the size: the path, its terminator and what precedes it.
        DWORD required = 0;
        SetLastError(kUntouched);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
        ASSERT_GT(required, kPathOffset + 1);

        std::vector<char> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD again = 0;
        SetLastError(kUntouched);
        EXPECT_FALSE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, &again, nullptr));
        EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(again, required);

        ASSERT_TRUE(
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        std::string path = Lower(detail->DevicePath);
        EXPECT_EQ(path.size(), required - kPathOffset - 1);
        EXPECT_EQ(path.rfind("\\\\?\\hid#", 0), 0u) << path;
        const std::string suffix = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
        EXPECT_TRUE(path.size() > suffix.size() &&
                    path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            << path;
    }
#ifndef _WIN32
    EXPECT_EQ(index, 2u);
#endif
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1000, &data));
    EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

TEST_F(HidEnumerationTest, ASetOfAnotherClassIsEmptyAndNoClassAtAllIsRefused) {
    GUID other = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    HDEVINFO set = SetupDiGetClassDevsA(&other, nullptr, nullptr, kInterfaceFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    SetLastError(kUntouched);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kInterfaceFlags),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

TEST_F(HidEnumerationTest, StructuresOfTheWrongSizeAreRefused) {
    GUID guid = HidGuid();
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kInterfaceFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        GTEST_SKIP() << "no HID interface present";
    }
    // A detail structure's cbSize must be its own sizeof, 5 in a 32-bit build and 8 in a 64-bit
    // one (so each is wrong in the other), whatever the buffer's size; a size without a buffer is
    // refused too.
    constexpr DWORD kRight = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_EQ(kRight, sizeof(void*) == 8 ? 8u : 5u);
    std::vector<char> buffer(512);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = kRight;
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(
        set, &data, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr));
    for (DWORD cbSize : {0u, 4u, 5u, 6u, 8u, 512u}) {
        if (cbSize == kRight) continue;
        detail->cbSize = cbSize;
        SetLastError(kUntouched);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(
            set, &data, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr))
            << "cbSize " << cbSize;
        EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER) << "cbSize " << cbSize;
    }
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 100, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER);

    SP_DEVICE_INTERFACE_DATA wrong;
    wrong.cbSize = sizeof(wrong) - 1;
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &wrong));
    DWORD enumError = GetLastError();
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    WINE_DIFFERS("a wrong SP_DEVICE_INTERFACE_DATA::cbSize sets ERROR_INVALID_PARAMETER");
    EXPECT_EQ(enumError, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(HidEnumerationTest, EachInterfaceOpensAndReportsTheIdsInItsPath) {
    std::vector<std::string> paths = Paths();
#ifndef _WIN32
    ASSERT_EQ(paths.size(), 2u);
#endif
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        // Access 0 is enough to ask a HID device about itself, even a keyboard or mouse that
        // refuses to be opened for reading.
        HANDLE device = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        EXPECT_TRUE(HidD_GetAttributes(device, &attributes));
        EXPECT_EQ(attributes.Size, sizeof(attributes));
        char ids[32];
        std::snprintf(ids, sizeof(ids), "vid_%04x&pid_%04x", attributes.VendorID,
                      attributes.ProductID);
        EXPECT_NE(Lower(path).find(ids), std::string::npos) << ids;

        PHIDP_PREPARSED_DATA preparsed = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(device, &preparsed));
        HIDP_CAPS caps{};
        EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
        EXPECT_GT(caps.InputReportByteLength, 0);
        EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
        EXPECT_TRUE(CloseHandle(device));
    }
}

TEST_F(HidEnumerationTest, OpeningAPathOfNoDeviceFailsWithFileNotFound) {
    SetLastError(kUntouched);
    HANDLE device =
        CreateFileA("\\\\?\\hid#vid_04d8&pid_abd7#zel999#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                    GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
}

TEST_F(HidEnumerationTest, GetCapsRefusesDataThatHidDidNotPrepare) {
    DWORD bogus[16] = {};
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(bogus), &caps),
              HIDP_STATUS_INVALID_PREPARSED_DATA);
}

// The file and HID calls refuse a null handle, a closed one and a handle that is no file with
// ERROR_INVALID_HANDLE.
struct FileCallCase {
    const char* name;
    std::function<bool(HANDLE)> failsOn;  // Makes the call; true if it reported failure.
    bool wineTakesAnEvent;                // Wine 8 accepts an event handle here.
};

class FileCallHandleTest : public CompatTest, public ::testing::WithParamInterface<FileCallCase> {};

TEST_P(FileCallHandleTest, FailsWithInvalidHandle) {
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), closed}) {
        SetLastError(kUntouched);
        EXPECT_TRUE(GetParam().failsOn(handle)) << (handle ? "closed handle" : "null handle");
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(kUntouched);
    bool failed = GetParam().failsOn(event);
    DWORD error = GetLastError();
    EXPECT_TRUE(CloseHandle(event));
    if (GetParam().wineTakesAnEvent) {
        WINE_DIFFERS("an event handle is accepted");
    }
    EXPECT_TRUE(failed) << "event handle";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FileCallHandleTest,
    ::testing::Values(FileCallCase{"ReadFile",
                                   [](HANDLE h) {
                                       BYTE buffer[9];
                                       DWORD read = 0;
                                       return !ReadFile(h, buffer, sizeof(buffer), &read, nullptr);
                                   },
                                   false},
                      FileCallCase{"WriteFile",
                                   [](HANDLE h) {
                                       BYTE buffer[9] = {};
                                       DWORD written = 0;
                                       return !WriteFile(h, buffer, sizeof(buffer), &written,
                                                         nullptr);
                                   },
                                   false},
                      FileCallCase{"CancelIo", [](HANDLE h) { return !CancelIo(h); }, true},
                      FileCallCase{"HidD_GetAttributes",
                                   [](HANDLE h) {
                                       HIDD_ATTRIBUTES attributes{};
                                       attributes.Size = sizeof(attributes);
                                       return !HidD_GetAttributes(h, &attributes);
                                   },
                                   false},
                      FileCallCase{"HidD_GetPreparsedData",
                                   [](HANDLE h) {
                                       PHIDP_PREPARSED_DATA preparsed = nullptr;
                                       return !HidD_GetPreparsedData(h, &preparsed);
                                   },
                                   false}),
    [](const auto& info) { return std::string(info.param.name); });

// GetOverlappedResult reads the status block that a completion left behind: the bytes always,
// and the error that its NTSTATUS stands for.
struct OverlappedCase {
    const char* name;
    ULONG_PTR internal;
    ULONG_PTR internalHigh;
    BOOL wait;
    BOOL result;
    DWORD error;  // When the result is FALSE.
    DWORD bytes;  // 77 when the call must leave the count alone.
};

class OverlappedResultTest : public CompatTest,
                             public ::testing::WithParamInterface<OverlappedCase> {};

TEST_P(OverlappedResultTest, ReportsTheCompletionInTheStatusBlock) {
    const OverlappedCase& c = GetParam();
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.Internal = c.internal;
    overlapped.InternalHigh = c.internalHigh;
    overlapped.hEvent = event;
    EXPECT_EQ(HasOverlappedIoCompleted(&overlapped), c.internal != STATUS_PENDING);
    DWORD bytes = 77;
    SetLastError(kUntouched);
    EXPECT_EQ(GetOverlappedResult(INVALID_HANDLE_VALUE, &overlapped, &bytes, c.wait), c.result);
    if (!c.result) {
        EXPECT_LAST_ERROR(c.error);
    }
    EXPECT_EQ(bytes, c.bytes);
    // A completed operation is reported without touching the event.
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitObject0);
    EXPECT_TRUE(CloseHandle(event));
}

INSTANTIATE_TEST_SUITE_P(Statuses, OverlappedResultTest,
                         ::testing::Values(OverlappedCase{"Success", 0, 9, TRUE, TRUE, 0, 9},
                                           OverlappedCase{"Cancelled", 0xC0000120, 0, TRUE, FALSE,
                                                          ERROR_OPERATION_ABORTED, 0},
                                           OverlappedCase{"DeviceNotConnected", 0xC000009D, 3, TRUE,
                                                          FALSE, ERROR_DEVICE_NOT_CONNECTED, 3},
                                           OverlappedCase{"PendingWithoutWait", STATUS_PENDING, 5,
                                                          FALSE, FALSE, ERROR_IO_INCOMPLETE, 77}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace compat_test
