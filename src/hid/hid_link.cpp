// The USB display's link: finding it among the HID interfaces, and one report in or out at a time.
// Worker thread only.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace {

// The display's identity; all three numbers must match.
constexpr USHORT kDisplayVendorId = 0x04D8;
constexpr USHORT kDisplayProductId = 0xABD7;
constexpr USHORT kDisplayVersionNumber = 0xF100;

constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kDeviceShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The length of a transfer: what the device declares, but never more than the report buffers
// hold, whatever a device declares.
DWORD TransferLength(USHORT declared) {
    return declared < kReportSize ? declared : static_cast<DWORD>(kReportSize);
}

HANDLE OpenDevicePath(const char* path, DWORD flags) {
    const HANDLE handle =
        CreateFileA(path, kDeviceAccess, kDeviceShare, nullptr, OPEN_EXISTING, flags, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace

int CBrailleSampleDriver::FindDisplay() {
    deviceHandle = nullptr;
    // Without the HID class library there is no USB display to find.
    const HidLibrary* const hid = SystemHidLibrary();
    if (hid == nullptr) return 0;
    GUID hidGuid;
    hid->HidD_GetHidGuid(&hidGuid);
    const HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;

    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    int found = 0;
    for (DWORD index = 0; found == 0; ++index) {
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData)) break;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
        // A size that cannot even hold the record's fixed part names no path.
        if (required <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
        if (detail == nullptr) continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        // Without the detail the record holds no path to open.
        if (SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                             nullptr)) {
            found = OpenIfDisplay(*hid, detail->DevicePath);
        }
        std::free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (found == 0) deviceHandle = nullptr;
    return found;
}

int CBrailleSampleDriver::OpenIfDisplay(const HidLibrary& hid, const char* path) {
    deviceHandle = OpenDevicePath(path, 0);
    if (deviceHandle == nullptr) return 0;

    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    const bool matches = hid.HidD_GetAttributes(deviceHandle, &attributes) &&
                         attributes.VendorID == kDisplayVendorId &&
                         attributes.ProductID == kDisplayProductId &&
                         attributes.VersionNumber == kDisplayVersionNumber;
    if (!matches) {
        CloseHandle(deviceHandle);
        deviceHandle = nullptr;
        return 0;
    }

    // A failure from here on shows later as reads and writes that fail.
    std::memset(&caps, 0, sizeof caps);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (hid.HidD_GetPreparsedData(deviceHandle, &preparsed)) {
        hid.HidP_GetCaps(preparsed, &caps);
        hid.HidD_FreePreparsedData(preparsed);
    }
    readHandle = OpenDevicePath(path, FILE_FLAG_OVERLAPPED);
    if (readEvent == nullptr) {
        // Manual reset, initially signalled; the first read resets it as it starts.
        readEvent = CreateEventA(nullptr, TRUE, TRUE, "");
        std::memset(&readOverlapped, 0, sizeof readOverlapped);
        readOverlapped.hEvent = readEvent;
    }
    return 1;
}

int CBrailleSampleDriver::WriteReport(const std::uint8_t* data) {
    if (deviceHandle == nullptr) return 1;
    std::uint8_t report[kReportSize] = {};
    std::memcpy(report + 1, data, kReportDataSize);
    DWORD written = 0;
    return WriteFile(deviceHandle, report, TransferLength(caps.OutputReportByteLength), &written,
                     nullptr);
}

int CBrailleSampleDriver::ReadReport(std::uint8_t* data) {
    // Without the second handle or the event there is nothing to read with.
    if (readHandle == nullptr || readEvent == nullptr) return -1;

    // No read is outstanding here, so the buffer is free to clear.
    std::memset(readReport, 0, sizeof readReport);
    readOverlapped.Internal = 0;
    readOverlapped.InternalHigh = 0;
    if (!ReadFile(readHandle, readReport, TransferLength(caps.InputReportByteLength), nullptr,
                  &readOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        // The read failed as it was issued (a display unplugged, for one): nothing is outstanding.
        ResetEvent(readEvent);
        return -1;
    }

    if (WaitForSingleObject(readEvent, 0) != WAIT_OBJECT_0) {
        // Nothing has arrived. The cancel only asks for the read to end; the buffer stays the
        // system's until the read has really ended, so the result is waited for. A report that
        // arrived just before the cancel took effect has completed the read instead, and is kept.
        CancelIo(readHandle);
    }
    DWORD received = 0;
    const BOOL ok = GetOverlappedResult(readHandle, &readOverlapped, &received, TRUE);
    ResetEvent(readEvent);
    // A read that ended in an error (cancelled, or the display gone) carries no report.
    if (!ok || received == 0) return -1;
    TakeReport(data);
    return 9;
}

void CBrailleSampleDriver::TakeReport(std::uint8_t* data) {
    // Byte 0 is the report ID; the data bytes follow. A short report leaves zeros behind it, since
    // the buffer was cleared before the read.
    std::memcpy(data, readReport + 1, kReportDataSize);
}
