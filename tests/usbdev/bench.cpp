#include "bench.h"

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>

#include "zelusb_control.h"

namespace zelusb {

namespace {

constexpr DWORD kAppearTimeoutMs = 120000;  // the first load of the minidriver under qemu is slow
constexpr DWORD kVanishTimeoutMs = 60000;
constexpr wchar_t kHardwareId[] = L"root\\zelusb\0";
// The device joins its class when the INF is installed on it.
const GUID kNoClass{};
constexpr char kParametersKey[] = "System\\CurrentControlSet\\Services\\zelusb\\Parameters";

std::wstring InstanceId(int slot) {
    wchar_t id[64];
    std::swprintf(id, 64, L"ROOT\\ZELUSB\\%04d", slot);
    return id;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string InfPath() {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows) + "\\inf\\zelusb.inf";
}

// The present HID interface whose path names the slot's instance.
std::string FindInterface(int slot) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "#%04d#", slot);
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::string found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data);
         ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size + 4);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
        const std::string path = Lower(detail->DevicePath);
        if (path.find("zelusb") != std::string::npos && path.find(tail) != std::string::npos)
            found = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Removes the root device with this instance ID, if it exists.
bool RemoveRootDevice(const std::wstring& id) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    bool ok = true;
    if (SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, &device))
        ok = SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

template <class Condition>
bool PollUntil(DWORD timeoutMs, Condition condition) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
}

}  // namespace

Bench::Bench() : m_devices(ZELUSB_SLOTS) {
    for (int slot = 0; slot < ZELUSB_SLOTS; ++slot) RemoveRootDevice(InstanceId(slot));
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Bench::~Bench() {
    for (int slot = 0; slot < ZELUSB_SLOTS; ++slot)
        if (m_devices[slot].exists && m_devices[slot].present) Destroy(slot);
    if (m_pump.joinable()) {
        SetEvent(m_stop);
        m_pump.join();
    }
    if (m_control != INVALID_HANDLE_VALUE) CloseHandle(m_control);
    CloseHandle(m_stop);
}

std::string Bench::Error() const {
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    return m_error;
}

void Bench::Fail(const std::string& what) {
    char code[32];
    std::snprintf(code, sizeof code, " (error %lu)", GetLastError());
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    m_error = what + code;
    std::fprintf(stderr, "usb bench: %s\n", m_error.c_str());
}

bool Bench::OpenControl() {
    if (m_control != INVALID_HANDLE_VALUE) return true;
    m_control = CreateFileA("\\\\.\\ZelUsbControl", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_control == INVALID_HANDLE_VALUE) return false;
    // The minidriver counts the takes of every program since it was loaded; this bench's count
    // starts from there.
    unsigned long queued = 0, taken = 0;
    if (!OutputState(&queued, &taken)) {
        CloseHandle(m_control);
        m_control = INVALID_HANDLE_VALUE;
        return false;
    }
    m_handled = taken;
    m_pump = std::thread([this] { Pump(); });
    return true;
}

bool Bench::Create(int slot) {
    Device& d = m_devices[slot];
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        Fail("cannot write the minidriver's parameters");
        return false;
    }
    const std::pair<const char*, DWORD> values[] = {
        {"Slot", static_cast<DWORD>(slot)},
        {"VendorID", d.identity.vendorId},
        {"ProductID", d.identity.productId},
        {"VersionNumber", d.identity.versionNumber},
        {"InputLength", d.identity.inputReportByteLength},
        {"OutputLength", d.identity.outputReportByteLength},
    };
    for (const auto& value : values)
        RegSetValueExA(key, value.first, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.second),
                       sizeof(DWORD));
    RegCloseKey(key);

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    bool ok = SetupDiCreateDeviceInfoW(set, InstanceId(slot).c_str(), &kNoClass, nullptr, nullptr,
                                       0, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kHardwareId),
                                                sizeof kHardwareId) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    if (!ok) {
        Fail("cannot register the root device");
        SetupDiDestroyDeviceInfoList(set);
        return false;
    }
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    SetupDiGetDeviceInstallParamsA(set, &device, &params);
    const std::string inf = InfPath();
    lstrcpynA(params.DriverPath, inf.c_str(), MAX_PATH);
    params.Flags |= DI_ENUMSINGLEINF;
    ok = SetupDiSetDeviceInstallParamsA(set, &device, &params) &&
         SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER);
    const DI_FUNCTION steps[] = {
        DIF_SELECTBESTCOMPATDRV,          DIF_ALLOW_INSTALL,     DIF_INSTALLDEVICEFILES,
        DIF_REGISTER_COINSTALLERS,        DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE,
        DIF_NEWDEVICEWIZARD_FINISHINSTALL};
    for (DI_FUNCTION step : steps) {
        if (!ok) break;
        ok = SetupDiCallClassInstaller(step, set, &device) || GetLastError() == ERROR_DI_DO_DEFAULT;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!ok) {
        Fail("cannot install the minidriver on the root device (is zel-usb-install run?)");
        return false;
    }

    std::string path;
    if (!PollUntil(kAppearTimeoutMs, [&] { return !(path = FindInterface(slot)).empty(); })) {
        Fail("the device's HID interface did not appear");
        return false;
    }
    if (!OpenControl()) {
        Fail("cannot open the minidriver's control device");
        return false;
    }
    // Ready once the HID class is reading from it: from then on an input report is on its way
    // to the open handles at once, which the hello exchange's half second needs under load.
    if (!PollUntil(kAppearTimeoutMs, [&] {
            unsigned long state = 0, handles = 0;
            bool reading = false;
            return SlotState(slot, &state, &handles, &reading) && state == 1 && reading;
        })) {
        Fail("the HID class does not read from the device");
        return false;
    }
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    d.path = path;
    d.present = true;
    d.outputs.clear();
    return true;
}

bool Bench::Destroy(int slot) {
    {
        std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
        m_devices[slot].present = false;
        m_devices[slot].path.clear();
    }
    if (!RemoveRootDevice(InstanceId(slot))) {
        Fail("cannot remove the root device");
        return false;
    }
    const bool gone = PollUntil(kVanishTimeoutMs, [&] {
        unsigned long state = 1, handles = 0;
        return SlotState(slot, &state, &handles) && state == 0 && FindInterface(slot).empty();
    });
    if (!gone) Fail("the removed device did not go away");
    return gone;
}

bool Bench::SlotState(int slot, unsigned long* state, unsigned long* handles, bool* reading) const {
    if (m_control == INVALID_HANDLE_VALUE) return false;
    ULONG in = static_cast<ULONG>(slot), out[3] = {};
    DWORD got = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = DeviceIoControl(m_control, IOCTL_ZELUSB_SLOT_STATE, &in, sizeof in, out, sizeof out,
                                &got, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING)
        done = GetOverlappedResult(m_control, &overlapped, &got, TRUE);
    CloseHandle(overlapped.hEvent);
    if (!done || got != sizeof out) return false;
    *state = out[0];
    *handles = out[1];
    if (reading) *reading = out[2] != 0;
    return true;
}

bool Bench::OutputState(unsigned long* queued, unsigned long* taken) const {
    if (m_control == INVALID_HANDLE_VALUE) return false;
    ZELUSB_OUTPUT_STATE state{};
    DWORD got = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = DeviceIoControl(m_control, IOCTL_ZELUSB_OUTPUT_STATE, nullptr, 0, &state,
                                sizeof state, &got, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING)
        done = GetOverlappedResult(m_control, &overlapped, &got, TRUE);
    CloseHandle(overlapped.hEvent);
    if (!done || got != sizeof state) return false;
    *queued = state.queued;
    *taken = state.taken;
    return true;
}

bool Bench::WaitDelivered(DWORD timeoutMs) {
    // Nothing written yet, nothing to deliver.
    if (m_control == INVALID_HANDLE_VALUE) return true;
    const DWORD start = GetTickCount();
    unsigned long queued = 0, taken = 0;
    for (;;) {
        // Everything written before this question is queued or taken by then; once none is queued
        // and the pump has dealt with as many as were taken, all of it has been delivered.
        if (!OutputState(&queued, &taken)) {
            Fail("cannot ask the minidriver where the output reports are");
            return false;
        }
        std::unique_lock<zelsim::SlimMutex> lock(m_mutex);
        if (queued == 0 && m_handled == taken) return true;
        const DWORD waited = GetTickCount() - start;
        if (waited > timeoutMs) {
            lock.unlock();
            char what[160];
            std::snprintf(what, sizeof what,
                          "output reports not delivered within %lu ms: %lu queued, %lu taken, "
                          "%lu handled",
                          timeoutMs, queued, taken, m_handled);
            Fail(what);
            return false;
        }
        // Queued reports are taken at once by a waiting take; then the pump counts each one.
        const unsigned long handled = m_handled;
        m_handledMore.wait_for(m_mutex, queued ? 5 : 50, [&] { return m_handled != handled; });
    }
}

std::unique_lock<zelsim::SlimMutex> Bench::Quiet() {
    return std::unique_lock<zelsim::SlimMutex>(m_busy);
}

int Bench::OpenHandles(int slot) const {
    unsigned long state = 0, handles = 0;
    if (slot < 0 || slot >= ZELUSB_SLOTS || !SlotState(slot, &state, &handles)) return -1;
    return static_cast<int>(handles);
}

int Bench::Add(const DeviceIdentity& identity, OutputHandler handler) {
    int slot = -1;
    {
        std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
        for (int i = 0; i < ZELUSB_SLOTS && slot < 0; ++i)
            if (!m_devices[i].exists) slot = i;
        if (slot < 0) return -1;
        m_devices[slot].exists = true;
        m_devices[slot].identity = identity;
        m_devices[slot].handler = std::move(handler);
    }
    return Create(slot) ? slot : -1;
}

bool Bench::Remove(int slot) {
    if (slot < 0 || slot >= ZELUSB_SLOTS || !m_devices[slot].present) return false;
    return Destroy(slot);
}

bool Bench::Readd(int slot) {
    if (slot < 0 || slot >= ZELUSB_SLOTS || !m_devices[slot].exists || m_devices[slot].present)
        return false;
    return Create(slot);
}

void Bench::Release(int slot) {
    if (slot < 0 || slot >= ZELUSB_SLOTS) return;
    if (m_devices[slot].present) Destroy(slot);
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    m_devices[slot] = Device{};
}

std::string Bench::Path(int slot) const {
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    return slot >= 0 && slot < ZELUSB_SLOTS ? m_devices[slot].path : std::string();
}

bool Bench::Push(int slot, const std::uint8_t* report, std::size_t length) {
    if (slot < 0 || slot >= ZELUSB_SLOTS || length > ZELUSB_MAX_REPORT ||
        m_control == INVALID_HANDLE_VALUE)
        return false;
    ZELUSB_INPUT input{};
    input.slot = static_cast<unsigned long>(slot);
    input.length = static_cast<unsigned long>(length);
    std::copy(report, report + length, input.data);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL done = DeviceIoControl(m_control, IOCTL_ZELUSB_PUSH_INPUT, &input, sizeof input, nullptr,
                                0, &got, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING)
        done = GetOverlappedResult(m_control, &overlapped, &got, TRUE);
    CloseHandle(overlapped.hEvent);
    return done != FALSE;
}

bool Bench::TakeOutput(int slot, std::vector<std::uint8_t>* report, DWORD timeoutMs) {
    std::unique_lock<zelsim::SlimMutex> lock(m_mutex);
    Device& d = m_devices[slot];
    if (!m_outputArrived.wait_for(m_mutex, timeoutMs, [&] { return !d.outputs.empty(); }))
        return false;
    *report = std::move(d.outputs.front());
    d.outputs.pop_front();
    return true;
}

void Bench::SetTick(DWORD periodMs, std::function<void()> tick) {
    std::lock_guard<zelsim::SlimMutex> running(m_busy);  // no tick runs past this
    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
    m_tickPeriod = periodMs;
    m_tick = std::move(tick);
}

void Bench::Deliver(unsigned long slot, const std::uint8_t* report, unsigned long length) {
    if (slot >= ZELUSB_SLOTS || length > ZELUSB_MAX_REPORT) return;
    OutputHandler handler;
    {
        std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
        Device& d = m_devices[slot];
        if (!d.present) return;  // written while the device was going away
        if (!d.handler) {
            d.outputs.emplace_back(report, report + length);
            m_outputArrived.notify_all();
            return;
        }
        handler = d.handler;
    }
    handler(report, length);
}

void Bench::Pump() {
    constexpr int kAbortedTakesAllowed = 100;  // in a row
    int aborted = 0;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        ZELUSB_OUTPUT output{};
        OVERLAPPED overlapped{};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD got = 0;
        BOOL taken = DeviceIoControl(m_control, IOCTL_ZELUSB_TAKE_OUTPUT, nullptr, 0, &output,
                                     sizeof output, &got, &overlapped);
        if (!taken && GetLastError() != ERROR_IO_PENDING) {
            Fail("cannot take output reports");
            break;
        }
        bool stop = false;
        while (!taken) {
            DWORD period;
            {
                std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
                period = m_tickPeriod ? m_tickPeriod : INFINITE;
            }
            HANDLE waits[] = {done, m_stop};
            DWORD which = WaitForMultipleObjects(2, waits, FALSE, period);
            if (which == WAIT_OBJECT_0) {
                taken = GetOverlappedResult(m_control, &overlapped, &got, FALSE);
                if (!taken) break;
            } else if (which == WAIT_OBJECT_0 + 1) {
                CancelIo(m_control);
                GetOverlappedResult(m_control, &overlapped, &got, TRUE);
                stop = true;
                break;
            } else {
                std::lock_guard<zelsim::SlimMutex> running(m_busy);
                std::function<void()> tick;
                {
                    std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
                    tick = m_tick;
                }
                if (tick) tick();
            }
        }
        if (stop) break;
        if (!taken) {
            // A take that Wine cancelled by itself (see the header): the reports stay queued in
            // the minidriver, so the take is made again.
            if (GetLastError() == ERROR_OPERATION_ABORTED && ++aborted < kAbortedTakesAllowed)
                continue;
            Fail("the output reports stopped coming");
            break;
        }
        aborted = 0;
        std::lock_guard<zelsim::SlimMutex> busy(m_busy);
        Deliver(output.slot, output.data, output.length);
        std::lock_guard<zelsim::SlimMutex> lock(m_mutex);
        ++m_handled;
        m_handledMore.notify_all();
    }
    CloseHandle(done);
}

}  // namespace zelusb
