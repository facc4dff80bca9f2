// The interface slots that the host calls, on the host's thread.
#include <cstring>

#include "driver/driver.h"

namespace {

// The driver's name as it is reported by GetIdentity and used as the key window's class name.
constexpr char kDriverName[] = "ZEL";

// True when `text` is a string of fewer than `size` characters, so that it fits a field of `size`
// bytes with its terminator.
bool FitsField(const char* text, std::size_t size) {
    return text != nullptr && ::strnlen(text, size) < size;
}

// Copies a string that FitsField accepted into its field, zero-filling the rest of the field.
template <std::size_t N>
void StoreField(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::strlen(text));
}

}  // namespace

CBrailleSampleDriver::CBrailleSampleDriver() noexcept {
    std::memcpy(m_driverName, kDriverName, sizeof kDriverName);
}

CBrailleSampleDriver::~CBrailleSampleDriver() {
    const UINT_PTR timer = m_timerId;
    if (timer != 0) KillTimer(nullptr, timer);
    m_timerId = 0;
    DetachSharedBlock();
}

int CBrailleSampleDriver::Open(const char* portName, IBrailleSink* sink, const char* openParam1,
                               const char* openParam2) {
    // A second Open while a worker runs would start another worker and lose the first one's
    // handles; it is refused and changes nothing. Strings that do not fit their fields are refused
    // before anything is created.
    if (m_thread != nullptr) return 0;
    if (!FitsField(portName, kPortNameSize) || !FitsField(openParam1, kOpenParamSize) ||
        !FitsField(openParam2, kOpenParamSize)) {
        return 0;
    }

    m_commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_commandDone == nullptr) {
        ReleaseHostObjects();
        return 0;
    }
    ResetEvent(m_commandDone);
    if (!StartWorker()) {
        ReleaseHostObjects();
        return 0;
    }
    if (WaitForSingleObject(m_commandDone, kWorkerWaitMs) != WAIT_OBJECT_0) {
        // The worker never became ready. If its queue does not exist yet the stop command cannot
        // be posted; the abandon flag then makes the worker end as soon as it starts.
        m_abandonWorker.store(1);
        PostThreadMessageA(m_threadId, kCommandMessageBase + CmdStop, 0, 0);
        ForgetWorker();
        ReleaseHostObjects();
        return 0;
    }

    // A suspension left over from the last session would keep the attempt from sending anything;
    // the new session starts resumed.
    m_suspended = 0;
    // The cell counts survive Close, so they alone cannot tell whether this attempt found a
    // display: the worker also records the attempt's own result.
    m_openResult = 0;
    PostCommand(CmdOpenPort, portName, static_cast<std::uint32_t>(std::strlen(portName)), 1);

    if (m_openResult != 0 && m_textCells > 0) {
        m_sink = sink;
        StoreField(m_openParam1, openParam1);
        StoreField(m_openParam2, openParam2);
        RegisterKeyWindowClass(g_moduleInstance);
        // A resume while closed makes a key window too; the session gets a window of its own
        // and that one goes, rather than being forgotten.
        const HWND leftOver = m_keyWindow;
        if (leftOver != nullptr) DestroyWindow(leftOver);
        m_keyWindow = CreateKeyWindow(g_moduleInstance);
        m_opened = 1;
        m_suspended = 0;
        return 1;
    }

    // An attempt that opened a display reporting no text cells still holds the port: release it
    // before the worker goes.
    if (m_openResult != 0) PostCommand(CmdClosePort, nullptr, 0, 1);
    PostCommand(CmdStop, nullptr, 0, 0);
    ForgetWorker();
    ReleaseHostObjects();
    return 0;
}

void CBrailleSampleDriver::Close() {
    if (m_opened == 0) return;
    PostCommand(CmdClosePort, nullptr, 0, 1);
    PostCommand(CmdStop, nullptr, 0, 0);
    ForgetWorker();
    ReleaseHostObjects();
}

void CBrailleSampleDriver::ForgetWorker() {
    if (m_thread == nullptr) return;
    // The worker may be in the middle of a long device operation when the stop comes (a tick that
    // takes the display back for the other program identifies a serial display, which takes up
    // to 16 s when it stays silent). Forgotten while it runs, it would go on using the link after
    // the host has let the driver go, and alongside the next session's worker: each time-out
    // only renews the wait, as for the waiting commands.
    while (WaitForSingleObject(m_thread, kWorkerWaitMs) == WAIT_TIMEOUT) {
    }
    CloseHandle(m_thread);
    m_thread = nullptr;
}

void CBrailleSampleDriver::ReleaseHostObjects() {
    const HANDLE done = m_commandDone;
    if (done != nullptr) CloseHandle(done);
    m_commandDone = nullptr;
    const HWND window = m_keyWindow;
    if (window != nullptr) DestroyWindow(window);
    m_keyWindow = nullptr;
}

IBrailleSink* CBrailleSampleDriver::SetSink(IBrailleSink* sink) {
    IBrailleSink* previous = m_sink;
    m_sink = sink;
    return previous;
}

int CBrailleSampleDriver::CopyOpenParam(const char* source, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return 0;
    // The stored string always ends within its field; strncpy stops there and zero-fills the rest
    // of the caller's `size` bytes.
    const std::size_t bound = static_cast<std::size_t>(size);
    std::strncpy(buffer, source, bound);
    buffer[bound - 1] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int CBrailleSampleDriver::GetOpenParam1(char* buffer, int size) {
    return CopyOpenParam(m_openParam1, buffer, size);
}

int CBrailleSampleDriver::GetOpenParam2(char* buffer, int size) {
    return CopyOpenParam(m_openParam2, buffer, size);
}

int CBrailleSampleDriver::GetVersionCode() { return kVersionCode; }

int CBrailleSampleDriver::WriteMain(const unsigned char* cells, int count) {
    if (m_suspended != 0 || cells == nullptr || count <= 0) return 0;
    return PostCommand(CmdWriteMain, cells, static_cast<std::uint32_t>(count), 0);
}

int CBrailleSampleDriver::WriteAll(const unsigned char* cells, int count) {
    if (m_suspended != 0 || cells == nullptr || count <= 0) return 0;
    return PostCommand(CmdWriteAll, cells, static_cast<std::uint32_t>(count), 0);
}

int CBrailleSampleDriver::ClearDisplay() {
    if (m_suspended != 0) return 0;
    return PostCommand(CmdClear, nullptr, 0, 0);
}

int CBrailleSampleDriver::Suspend(int flag) {
    if (flag == m_suspended) return 1;
    m_suspended = flag;
    if (flag != 0 && m_keyWindow != nullptr) {
        DestroyWindow(m_keyWindow);
        m_keyWindow = nullptr;
    } else if (flag == 0 && m_keyWindow == nullptr) {
        m_keyWindow = CreateKeyWindow(g_moduleInstance);
    }
    return PostCommand(CmdSuspend, nullptr, static_cast<std::uint32_t>(flag), 1);
}

int CBrailleSampleDriver::GetTextCellCount() { return m_textCells; }
int CBrailleSampleDriver::GetStatusCellCount() { return m_statusCells; }
int CBrailleSampleDriver::GetTotalCellCount() { return m_textCells + m_statusCells; }

int CBrailleSampleDriver::GetIdentity(char* nameBuffer, int nameBufferSize, GUID* identifier) {
    // A name buffer too small for "ZEL" and its terminator is refused whole rather than left
    // holding a cut name without a terminator.
    if (nameBuffer == nullptr || identifier == nullptr) return 0;
    if (nameBufferSize < static_cast<int>(sizeof kDriverName)) return 0;
    std::memcpy(nameBuffer, kDriverName, sizeof kDriverName);
    *identifier = kDriverIdentity;
    return 1;
}

// The slots below are part of the fixed interface but have no work in this driver.
int CBrailleSampleDriver::Reserved5(int, int) { return 0; }
int CBrailleSampleDriver::Reserved7() { return 0; }
int CBrailleSampleDriver::Reserved8() { return 0; }
int CBrailleSampleDriver::Reserved9() { return 0; }
int CBrailleSampleDriver::Reserved10(int) { return 0; }
int CBrailleSampleDriver::Reserved14(int, int) { return 0; }
int CBrailleSampleDriver::Reserved15() { return 0; }
void CBrailleSampleDriver::Reserved17() {}
int CBrailleSampleDriver::Reserved19() { return 0; }
int CBrailleSampleDriver::Reserved22() { return 0; }
int CBrailleSampleDriver::Reserved23(int, int, int, int) { return 0; }
int CBrailleSampleDriver::Reserved24() { return 0; }
int CBrailleSampleDriver::Reserved25(int, int) { return 0; }
int CBrailleSampleDriver::Reserved26(int, int, int) { return 0; }
int CBrailleSampleDriver::Reserved27(int) { return 0; }
int CBrailleSampleDriver::Reserved28(int) { return 0; }
int CBrailleSampleDriver::Reserved29() { return 0; }
void CBrailleSampleDriver::Reserved30(int) {}
int CBrailleSampleDriver::Reserved31() { return 0; }
void CBrailleSampleDriver::Reserved32(int) {}
int CBrailleSampleDriver::Reserved33() { return 0; }
void CBrailleSampleDriver::Reserved35(int) {}
void CBrailleSampleDriver::Reserved36(int) {}
