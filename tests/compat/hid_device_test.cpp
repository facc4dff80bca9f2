// Virtual HID devices behind SetupAPI, CreateFileA, ReadFile, WriteFile, CancelIo and
// GetOverlappedResult, driven through the seam of zel_compat/hid.h. Native only: Windows has no
// such devices.
#include "support.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
#include <zel_compat/hid.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace compat_test {
namespace {

using Report = std::vector<std::uint8_t>;
using zelcompat::HidDeviceId;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kStatusCancelled = 0xC0000120;
constexpr BYTE kUnwritten = 0xAA;

Report MakeReport(std::size_t length, std::uint8_t first) {
    Report report(length);
    for (std::size_t i = 0; i < length; ++i) {
        report[i] = static_cast<std::uint8_t>(first + i);
    }
    return report;
}

// Records what reaches the device and lets a case act from inside its callbacks.
class RecordingFirmware : public zelcompat::VirtualHidFirmware {
  public:
    void OnOutputReport(const std::uint8_t* report, std::size_t length) override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            reports_.emplace_back(report, report + length);
        }
        if (onOutput) {
            onOutput();
        }
    }

    void OnReadIssued() override {
        ++readsIssued;
        if (onRead) {
            onRead();
        }
    }

    std::vector<Report> Reports() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return reports_;
    }

    // Set before the device is used.
    std::function<void()> onOutput;
    std::function<void()> onRead;
    std::atomic<int> readsIssued{0};

  private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

// An overlapped read of one report into its own buffer, with a manual-reset event created
// signalled, as the driver makes it. A read still pending at the end is cancelled.
struct Read {
    explicit Read(HANDLE file, bool withEvent = true, std::size_t length = 9)
        : file(file), buffer(length, kUnwritten) {
        if (withEvent) {
            overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, "");
        }
    }
    ~Read() {
        if (!HasOverlappedIoCompleted(&overlapped)) {
            CancelIo(file);
        }
        if (overlapped.hEvent != nullptr) {
            CloseHandle(overlapped.hEvent);
        }
    }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    BOOL Issue() {
        return ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                        &overlapped);
    }
    bool Signalled() const { return WaitForSingleObject(overlapped.hEvent, 0) == kWaitObject0; }

    HANDLE file;
    Report buffer;
    OVERLAPPED overlapped{};
};

class HidDeviceTest : public CompatTest {
  protected:
    void SetUp() override {
        CompatTest::SetUp();
        sets_ = zelcompat::LiveDeviceInfoSetCount();
        preparsed_ = zelcompat::LivePreparsedDataCount();
    }

    void TearDown() override {
        for (HidDeviceId device : devices_) {
            zelcompat::RemoveHidDevice(device);
        }
        EXPECT_EQ(zelcompat::LiveDeviceInfoSetCount(), sets_) << "a device info set leaked";
        EXPECT_EQ(zelcompat::LivePreparsedDataCount(), preparsed_) << "preparsed data leaked";
        CompatTest::TearDown();
    }

    HidDeviceId Add(const zelcompat::VirtualHidIdentity& identity = {}) {
        HidDeviceId device = zelcompat::AddHidDevice(identity, &firmware_);
        devices_.push_back(device);
        return device;
    }

    static HANDLE OpenPath(const std::string& path, DWORD flags = FILE_FLAG_OVERLAPPED,
                           DWORD access = kReadWrite) {
        return CreateFileA(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    static HANDLE Open(HidDeviceId device, DWORD flags = FILE_FLAG_OVERLAPPED,
                       DWORD access = kReadWrite) {
        return OpenPath(zelcompat::HidDevicePath(device), flags, access);
    }

    static void Push(HidDeviceId device, const Report& report) {
        zelcompat::PushHidInputReport(device, report.data(), report.size());
    }

    // The path and SP_DEVICE_INTERFACE_DATA::Flags of each interface in a set made now.
    static std::vector<std::pair<std::string, DWORD>> Enumerate(DWORD flags) {
        GUID guid;
        HidD_GetHidGuid(&guid);
        HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
        std::vector<std::pair<std::string, DWORD>> found;
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof(data);
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
            found.emplace_back(Detail(set, &data), data.Flags);
        }
        EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return found;
    }

    static std::vector<std::string> PresentPaths() {
        std::vector<std::string> paths;
        for (const auto& entry : Enumerate(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
            paths.push_back(entry.first);
        }
        return paths;
    }

    static std::string Detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
        std::vector<char> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(
            SetupDiGetDeviceInterfaceDetailA(set, data, detail, required, nullptr, nullptr));
        return detail->DevicePath;
    }

    RecordingFirmware firmware_;

  private:
    std::vector<HidDeviceId> devices_;
    std::size_t sets_ = 0;
    std::size_t preparsed_ = 0;
};

TEST_F(HidDeviceTest, EnumeratesPresentDevicesInRegistrationOrderWithTheirIdentity) {
    const zelcompat::VirtualHidIdentity identities[] = {{0x04D8, 0xABD7, 0xF100, 9, 9},
                                                        {0x1C71, 0x0C00, 0x0100, 65, 33},
                                                        {0x0ABC, 0x0001, 0x0002, 3, 17}};
    std::vector<HidDeviceId> devices;
    std::vector<std::string> paths;
    for (const auto& identity : identities) {
        devices.push_back(Add(identity));
        paths.push_back(zelcompat::HidDevicePath(devices.back()));
    }
    EXPECT_EQ(PresentPaths(), paths);
    EXPECT_EQ(paths[0].rfind("\\\\?\\hid#vid_04d8&pid_abd7#", 0), 0u) << paths[0];

    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        HANDLE device = OpenPath(paths[i]);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        ASSERT_TRUE(HidD_GetAttributes(device, &attributes));
        EXPECT_EQ(attributes.VendorID, identities[i].vendorId);
        EXPECT_EQ(attributes.ProductID, identities[i].productId);
        EXPECT_EQ(attributes.VersionNumber, identities[i].versionNumber);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(device, &preparsed));
        HIDP_CAPS caps;
        std::memset(&caps, 0x5A, sizeof(caps));
        EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
        HIDP_CAPS expected{};
        expected.InputReportByteLength = identities[i].inputReportByteLength;
        expected.OutputReportByteLength = identities[i].outputReportByteLength;
        EXPECT_EQ(std::memcmp(&caps, &expected, sizeof(caps)), 0) << "only the lengths are set";
        EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
        EXPECT_TRUE(CloseHandle(device));
    }

    // An unplugged device leaves the present ones and comes back at its old place; without
    // DIGCF_PRESENT it is listed as inactive.
    zelcompat::UnplugHidDevice(devices[1]);
    EXPECT_EQ(PresentPaths(), (std::vector<std::string>{paths[0], paths[2]}));
    EXPECT_EQ(Enumerate(DIGCF_DEVICEINTERFACE),
              (std::vector<std::pair<std::string, DWORD>>{
                  {paths[0], SPINT_ACTIVE}, {paths[1], 0}, {paths[2], SPINT_ACTIVE}}));
    zelcompat::PlugHidDevice(devices[1]);
    EXPECT_EQ(PresentPaths(), paths);
    zelcompat::RemoveHidDevice(devices[0]);
    EXPECT_EQ(PresentPaths(), (std::vector<std::string>{paths[1], paths[2]}));
}

TEST_F(HidDeviceTest, ASetIsASnapshotOfTheDevicesPresentWhenItWasMade) {
    HidDeviceId first = Add();
    HidDeviceId second = Add();
    std::string secondPath = zelcompat::HidDevicePath(second);
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    zelcompat::UnplugHidDevice(second);
    Add();

    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(Detail(set, &data), zelcompat::HidDevicePath(first));
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
    EXPECT_EQ(Detail(set, &data), secondPath);
    SetLastError(kUntouched);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 2, &data));
    EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    // Listed, but gone: the open fails.
    SetLastError(kUntouched);
    EXPECT_EQ(OpenPath(secondPath), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
}

TEST_F(HidDeviceTest, OpensMatchThePathInAnyCaseAndAreCounted) {
    HidDeviceId device = Add();
    std::string path = zelcompat::HidDevicePath(device);
    std::string upper = path;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::string dotted = "\\\\.\\" + path.substr(4);
    std::size_t before = zelcompat::LiveHandleCount();
    std::vector<HANDLE> handles;
    for (const std::string& spelling : {path, upper, dotted}) {
        handles.push_back(OpenPath(spelling));
        EXPECT_NE(handles.back(), INVALID_HANDLE_VALUE) << spelling;
    }
    EXPECT_EQ(zelcompat::HidOpenCount(device), 3u);
    EXPECT_EQ(zelcompat::HidOpenHandleCount(device), 3u);
    EXPECT_EQ(zelcompat::LiveHandleCount(), before + 3);
    EXPECT_TRUE(CloseHandle(handles[0]));
    EXPECT_EQ(zelcompat::HidOpenHandleCount(device), 2u);
    EXPECT_TRUE(CloseHandle(handles[1]));
    EXPECT_TRUE(CloseHandle(handles[2]));
    EXPECT_EQ(zelcompat::HidOpenHandleCount(device), 0u);
    EXPECT_EQ(zelcompat::HidOpenCount(device), 3u);

    // Nothing can be created, and ordinary files do not exist here.
    SetLastError(kUntouched);
    EXPECT_EQ(CreateFileA(path.c_str(), kReadWrite, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kUntouched);
    EXPECT_EQ(OpenPath("/etc/hostname", 0, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
}

TEST_F(HidDeviceTest, UnplugKillsOpenHandlesAndAReplugNeedsANewOpen) {
    HidDeviceId device = Add();
    std::string path = zelcompat::HidDevicePath(device);
    HANDLE old = Open(device, 0);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    zelcompat::UnplugHidDevice(device);

    Report report = MakeReport(9, 1);
    BYTE buffer[9];
    DWORD count = 0;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    const std::pair<const char*, std::function<BOOL()>> calls[] = {
        {"WriteFile", [&] { return WriteFile(old, report.data(), 9, &count, nullptr); }},
        {"ReadFile", [&] { return ReadFile(old, buffer, 9, &count, nullptr); }},
        {"HidD_GetAttributes", [&] { return BOOL{HidD_GetAttributes(old, &attributes)}; }},
        {"HidD_GetPreparsedData", [&] { return BOOL{HidD_GetPreparsedData(old, &preparsed)}; }},
    };
    for (const auto& call : calls) {
        SetLastError(kUntouched);
        EXPECT_FALSE(call.second()) << call.first;
        EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED) << call.first;
    }
    EXPECT_TRUE(firmware_.Reports().empty());
    EXPECT_EQ(firmware_.readsIssued, 0);
    SetLastError(kUntouched);
    EXPECT_EQ(OpenPath(path), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(zelcompat::HidOpenHandleCount(device), 1u);
    Push(device, report);
    EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 0u);

    zelcompat::PlugHidDevice(device);
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(old, report.data(), 9, &count, nullptr));
    EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED);
    HANDLE fresh = Open(device, 0);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(fresh, report.data(), 9, &count, nullptr));
    EXPECT_EQ(firmware_.Reports().size(), 1u);
    EXPECT_EQ(zelcompat::HidOpenCount(device), 2u);
    EXPECT_EQ(zelcompat::HidOpenHandleCount(device), 2u);
    EXPECT_TRUE(CloseHandle(old));

    // A removed device is gone for good; its handles can still be closed.
    zelcompat::RemoveHidDevice(device);
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(fresh, report.data(), 9, &count, nullptr));
    EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED);
    SetLastError(kUntouched);
    EXPECT_EQ(OpenPath(path), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(fresh));
}

TEST_F(HidDeviceTest, WriteFileHandsExactlyOneReportOfTheDeclaredLengthToTheFirmware) {
    HidDeviceId device = Add();
    HANDLE writer = Open(device, 0);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    Report first = MakeReport(9, 0x10);
    Report second = MakeReport(9, 0x20);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(writer, first.data(), 9, &written, nullptr));
    EXPECT_EQ(written, 9u);
    EXPECT_TRUE(WriteFile(writer, second.data(), 9, nullptr, nullptr));
    EXPECT_EQ(firmware_.Reports(), (std::vector<Report>{first, second}));

    // Too short a buffer is refused; a longer one gives the declared length only.
    const struct {
        DWORD length;
        DWORD error;
    } refused[] = {{0u, ERROR_INVALID_USER_BUFFER}, {8u, ERROR_INVALID_PARAMETER}};
    for (const auto& c : refused) {
        Report report(10);
        SetLastError(kUntouched);
        EXPECT_FALSE(WriteFile(writer, report.data(), c.length, &written, nullptr)) << c.length;
        EXPECT_LAST_ERROR(c.error) << c.length;
    }
    EXPECT_EQ(firmware_.Reports().size(), 2u);
    Report longer = MakeReport(10, 0x30);
    EXPECT_TRUE(WriteFile(writer, longer.data(), 10, &written, nullptr));
    EXPECT_EQ(written, 9u);
    longer.resize(9);
    EXPECT_EQ(firmware_.Reports().back(), longer);

    // On an overlapped handle the write completes at once, through the OVERLAPPED too.
    HANDLE overlappedWriter = Open(device);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(WriteFile(overlappedWriter, first.data(), 9, &written, &overlapped));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), kWaitObject0);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 9u);
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(overlappedWriter, first.data(), 9, &written, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);

    HANDLE readOnly = Open(device, 0, GENERIC_READ);
    SetLastError(kUntouched);
    EXPECT_FALSE(WriteFile(readOnly, first.data(), 9, &written, nullptr));
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    EXPECT_EQ(firmware_.Reports().size(), 4u);
    for (HANDLE handle : {writer, overlappedWriter, readOnly, overlapped.hEvent}) {
        EXPECT_TRUE(CloseHandle(handle));
    }
}

TEST_F(HidDeviceTest, TheFirmwareMayPushAReplyFromInsideOnOutputReport) {
    HidDeviceId device = Add();
    Report reply = MakeReport(9, 0x40);
    firmware_.onOutput = [&] { Push(device, reply); };
    HANDLE writer = Open(device, 0);
    HANDLE reader = Open(device);
    Report request = MakeReport(9, 0);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, request.data(), 9, &written, nullptr));
    // Each open handle keeps its own copy of every report, the writer's included.
    EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 2u);
    {
        Read read(reader);
        EXPECT_TRUE(read.Issue());
        EXPECT_EQ(read.buffer, reply);
    }
    EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 1u);
    EXPECT_TRUE(CloseHandle(writer));
    EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 0u)
        << "a closed handle's copies go with it";

    // A handle opened later sees only what arrives after its open.
    Push(device, MakeReport(9, 0x42));
    HANDLE late = Open(device);
    Push(device, MakeReport(9, 0x41));
    {
        Read read(late);
        EXPECT_TRUE(read.Issue());
        EXPECT_EQ(read.buffer, MakeReport(9, 0x41));
    }
    EXPECT_TRUE(CloseHandle(late));
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, AReadTakesAQueuedReportAtOnceIncludingOnePushedWhenTheReadIsIssued) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    Report report = MakeReport(9, 0x50);
    for (bool pushedByTheHook : {false, true}) {
        SCOPED_TRACE(pushedByTheHook ? "pushed by OnReadIssued" : "queued before the read");
        firmware_.onRead = nullptr;
        if (pushedByTheHook) {
            firmware_.onRead = [&] { Push(device, report); };
        } else {
            Push(device, report);
        }
        int issued = firmware_.readsIssued;
        Read read(reader);
        EXPECT_TRUE(read.Issue());
        EXPECT_EQ(firmware_.readsIssued, issued + 1);
        EXPECT_TRUE(read.Signalled());
        EXPECT_EQ(read.overlapped.Internal, 0u);
        EXPECT_EQ(read.overlapped.InternalHigh, 9u);
        EXPECT_EQ(read.buffer, report);
        EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 0u);
    }
    // A buffer shorter than the declared length is refused before the device hears of the read.
    firmware_.onRead = nullptr;
    int issued = firmware_.readsIssued;
    for (std::size_t length : {0u, 8u}) {
        Read read(reader, true, length);
        SetLastError(kUntouched);
        EXPECT_FALSE(read.Issue()) << length;
        EXPECT_LAST_ERROR(ERROR_INVALID_USER_BUFFER) << length;
    }
    EXPECT_EQ(firmware_.readsIssued, issued);
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, APendingReadCompletesWithTheNextPushCutToItsBuffer) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    for (std::size_t length : {9u, 12u, 4u}) {
        SCOPED_TRACE(length);
        Read read(reader);
        SetLastError(kUntouched);
        EXPECT_FALSE(read.Issue());
        EXPECT_LAST_ERROR(ERROR_IO_PENDING);
        EXPECT_FALSE(read.Signalled()) << "starting the read resets the event";
        EXPECT_FALSE(HasOverlappedIoCompleted(&read.overlapped));
        EXPECT_TRUE(zelcompat::HidReadPending(device));
        DWORD bytes = 77;
        SetLastError(kUntouched);
        EXPECT_FALSE(GetOverlappedResult(reader, &read.overlapped, &bytes, FALSE));
        EXPECT_LAST_ERROR(ERROR_IO_INCOMPLETE);

        Report report = MakeReport(length, 0x60);
        Push(device, report);
        std::size_t expected = std::min<std::size_t>(length, 9);
        EXPECT_TRUE(read.Signalled());
        EXPECT_TRUE(HasOverlappedIoCompleted(&read.overlapped));
        EXPECT_EQ(read.overlapped.InternalHigh, expected);
        Report wanted(report.begin(), report.begin() + expected);
        wanted.resize(9, kUnwritten);
        EXPECT_EQ(read.buffer, wanted);
        EXPECT_TRUE(GetOverlappedResult(reader, &read.overlapped, &bytes, TRUE));
        EXPECT_EQ(bytes, expected);
        EXPECT_FALSE(zelcompat::HidReadPending(device));
        EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 0u);
    }
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, GetOverlappedResultWaitsForAPushFromAnotherThread) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    Report report = MakeReport(9, 0x70);
    {
        Read read(reader);
        ASSERT_FALSE(read.Issue());
        HANDLE pusher = StartThread([&] {
            while (zelcompat::BlockedWaiterCount() == 0) {
                std::this_thread::yield();
            }
            Push(device, report);
            return 0u;
        });
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(reader, &read.overlapped, &bytes, TRUE));
        EXPECT_EQ(bytes, 9u);
        EXPECT_EQ(read.buffer, report);
        JoinThread(pusher);
    }
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, WithoutAnEventTheFileHandleIsSignalledOnCompletion) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    {
        Read read(reader, false);
        ASSERT_FALSE(read.Issue());
        EXPECT_EQ(WaitForSingleObject(reader, 0), kWaitTimeout);
        Push(device, MakeReport(9, 0));
        EXPECT_EQ(WaitForSingleObject(reader, 0), kWaitObject0);
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(reader, &read.overlapped, &bytes, TRUE));
        EXPECT_EQ(bytes, 9u);
    }
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, PendingReadsCompleteInIssueOrderAndTheQueueKeepsTheNewest32) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    {
        Read first(reader);
        Read second(reader);
        ASSERT_FALSE(first.Issue());
        ASSERT_FALSE(second.Issue());
        Push(device, MakeReport(9, 1));
        EXPECT_EQ(first.buffer, MakeReport(9, 1));
        EXPECT_FALSE(HasOverlappedIoCompleted(&second.overlapped));
        Push(device, MakeReport(9, 2));
        EXPECT_EQ(second.buffer, MakeReport(9, 2));
    }
    for (std::uint8_t i = 0; i < 40; ++i) {
        Push(device, MakeReport(9, i));
    }
    EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 32u);
    {
        Read oldestKept(reader);
        EXPECT_TRUE(oldestKept.Issue());
        EXPECT_EQ(oldestKept.buffer, MakeReport(9, 8));
    }
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, CancelIoAbortsOnlyTheCallingThreadsReadsAndLeavesTheBufferAlone) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    {
        Read read(reader);
        ASSERT_FALSE(read.Issue());
        EXPECT_EQ(JoinThread(StartThread([reader] { return unsigned{CancelIo(reader) != 0}; })),
                  1u);
        EXPECT_TRUE(zelcompat::HidReadPending(device));
        EXPECT_FALSE(read.Signalled());

        EXPECT_TRUE(CancelIo(reader));
        EXPECT_TRUE(read.Signalled());
        EXPECT_EQ(static_cast<DWORD>(read.overlapped.Internal), kStatusCancelled);
        DWORD bytes = 77;
        SetLastError(kUntouched);
        EXPECT_FALSE(GetOverlappedResult(reader, &read.overlapped, &bytes, TRUE));
        EXPECT_LAST_ERROR(ERROR_OPERATION_ABORTED);
        EXPECT_EQ(bytes, 0u);

        Push(device, MakeReport(9, 0));
        EXPECT_EQ(zelcompat::HidQueuedInputReports(device), 1u);
        EXPECT_EQ(read.buffer, Report(9, kUnwritten));
    }
    EXPECT_TRUE(CloseHandle(reader));
}

// What else ends a pending read: the device going away, the handle's close, or the end of the
// thread that issued it.
struct EndCase {
    const char* name;
    bool issuedByAnotherThread;
    std::function<void(HidDeviceId, HANDLE*)> end;  // Closing the reader sets it to null.
    DWORD error;
};

class PendingReadEndTest : public HidDeviceTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(PendingReadEndTest, CompletesTheReadWithItsErrorAndLeavesTheBufferAlone) {
    const EndCase& c = GetParam();
    HidDeviceId device = Add();
    HANDLE reader = Open(device);
    {
        Read read(reader);
        if (c.issuedByAnotherThread) {
            DWORD result = JoinThread(StartThread(
                [&read] { return read.Issue() ? 0u : static_cast<unsigned>(GetLastError()); }));
            EXPECT_EQ(result, ERROR_IO_PENDING);
        } else {
            ASSERT_FALSE(read.Issue());
        }
        c.end(device, &reader);
        EXPECT_TRUE(read.Signalled());
        EXPECT_FALSE(zelcompat::HidReadPending(device));
        // Already complete: no need to wait (and a read left pending fails here, not hangs).
        DWORD bytes = 77;
        SetLastError(kUntouched);
        EXPECT_FALSE(GetOverlappedResult(reader, &read.overlapped, &bytes, FALSE));
        EXPECT_LAST_ERROR(c.error);
        EXPECT_EQ(bytes, 0u);
        Push(device, MakeReport(9, 0));
        EXPECT_EQ(read.buffer, Report(9, kUnwritten));
    }
    if (reader != nullptr) {
        EXPECT_TRUE(CloseHandle(reader));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, PendingReadEndTest,
    ::testing::Values(
        EndCase{"Unplug", false, [](HidDeviceId d, HANDLE*) { zelcompat::UnplugHidDevice(d); },
                ERROR_DEVICE_NOT_CONNECTED},
        EndCase{"Remove", false, [](HidDeviceId d, HANDLE*) { zelcompat::RemoveHidDevice(d); },
                ERROR_DEVICE_NOT_CONNECTED},
        EndCase{"CloseHandle", false,
                [](HidDeviceId, HANDLE* reader) {
                    EXPECT_TRUE(CloseHandle(*reader));
                    *reader = nullptr;
                },
                ERROR_OPERATION_ABORTED},
        EndCase{"ThreadEnd", true, [](HidDeviceId, HANDLE*) {}, ERROR_OPERATION_ABORTED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HidDeviceTest, ABlockingReadWaitsForAPush) {
    HidDeviceId device = Add();
    HANDLE reader = Open(device, 0);
    Report report = MakeReport(9, 0x80);
    Report received(9);
    HANDLE thread = StartThread([&] {
        DWORD read = 0;
        BOOL ok = ReadFile(reader, received.data(), 9, &read, nullptr);
        return ok ? static_cast<unsigned>(read) : 1000u + static_cast<unsigned>(GetLastError());
    });
    while (!zelcompat::HidReadPending(device)) {
        std::this_thread::yield();
    }
    Push(device, report);
    EXPECT_EQ(JoinThread(thread), 9u);
    EXPECT_EQ(received, report);
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HidDeviceTest, RemoveWaitsForAFirmwareCallInProgress) {
    HidDeviceId device = Add();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    firmware_.onOutput = [&] {
        entered.set_value();
        released.wait();
    };
    HANDLE writer = Open(device, 0);
    HANDLE writing = StartThread([writer] {
        BYTE report[9] = {};
        DWORD written = 0;
        return unsigned{WriteFile(writer, report, 9, &written, nullptr) != 0};
    });
    entered.get_future().wait();

    std::atomic<bool> removed{false};
    HANDLE removing = StartThread([&] {
        zelcompat::RemoveHidDevice(device);
        removed = true;
        return 0u;
    });
    while (!removed && zelcompat::BlockedWaiterCount() == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(removed) << "RemoveHidDevice returned while the firmware was still called";
    release.set_value();
    EXPECT_EQ(JoinThread(writing), 1u);
    JoinThread(removing);
    EXPECT_TRUE(removed);
    EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(HidDeviceTest, PreparsedDataOutlivesItsHandleAndDeviceUntilFreed) {
    zelcompat::VirtualHidIdentity identity;
    identity.inputReportByteLength = 65;
    identity.outputReportByteLength = 33;
    HidDeviceId device = Add(identity);
    HANDLE handle = Open(device);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(handle, &preparsed));
    EXPECT_TRUE(CloseHandle(handle));
    zelcompat::RemoveHidDevice(device);

    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 33);
    EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
    SetLastError(kUntouched);
    EXPECT_FALSE(HidD_FreePreparsedData(preparsed));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
}

}  // namespace
}  // namespace compat_test
