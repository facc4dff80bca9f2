// The serial port class. Operations that call other operations call them through the virtual
// table, so a derived class sees every step.
#include "serial/serial_port.h"

#include <cstring>

namespace {

// E_INVALIDARG: a mode value that SetFlowControl or SetReadMode does not list.
constexpr int kInvalidArgument = static_cast<int>(0x80070057u);

// "\\.\" and the name, with the terminating NUL, in a buffer of this size.
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr std::size_t kDevicePathSize = 64;
constexpr std::size_t kMaxNameLength = kDevicePathSize - (sizeof kDevicePrefix - 1) - 1;

constexpr DWORD kOpenEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;
constexpr DWORD kPurgeQueues = PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kOneByteTimeoutMs = 1000;
constexpr DWORD kBreakMs = 100;

// Copies "\\.\" and `name` into `path`; a name that does not fit is refused, never cut short into
// another port's name. Returns 0 or the error code.
int BuildDevicePath(const char* name, char (&path)[kDevicePathSize]) {
    if (name == nullptr) return ERROR_INVALID_NAME;
    const std::size_t length = ::strnlen(name, kMaxNameLength + 1);
    if (length > kMaxNameLength) return ERROR_FILENAME_EXCED_RANGE;
    std::memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
    std::memcpy(path + sizeof kDevicePrefix - 1, name, length + 1);
    return 0;
}

int ErrorCode(DWORD error) { return static_cast<int>(error); }

}  // namespace

CSerial::CSerial()
    : m_lastError(0), m_portHandle(nullptr), m_lastEvent(0), m_eventMask(0), m_ioEvent(nullptr) {}

CSerial::~CSerial() {
    if (m_portHandle != nullptr) ClosePort();
}

bool CSerial::StartOnOpenPort() {
    m_lastError = 0;
    if (m_portHandle != nullptr) return true;
    m_lastError = ERROR_INVALID_HANDLE;
    return false;
}

bool CSerial::ReadState(DCB* dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    if (GetCommState(m_portHandle, dcb)) return true;
    m_lastError = ErrorCode(GetLastError());
    return false;
}

bool CSerial::WriteState(DCB* dcb) {
    if (SetCommState(m_portHandle, dcb)) return true;
    m_lastError = ErrorCode(GetLastError());
    return false;
}

int CSerial::OpenPort(const char* name, DWORD inQueue, DWORD outQueue, bool overlapped) {
    m_lastError = 0;
    if (m_portHandle != nullptr) return m_lastError = ERROR_ALREADY_INITIALIZED;

    char path[kDevicePathSize];
    const int refused = BuildDevicePath(name, path);
    if (refused != 0) return m_lastError = refused;

    const HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return m_lastError = ErrorCode(GetLastError());
    m_portHandle = port;

    if (overlapped) {
        m_ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_ioEvent == nullptr) {
            m_lastError = ErrorCode(GetLastError());
            CloseHandle(m_portHandle);
            m_portHandle = nullptr;
            return m_lastError;
        }
    }

    if (inQueue != 0 || outQueue != 0) {
        if (!SetupComm(m_portHandle, inQueue, outQueue)) {
            const int error = ErrorCode(GetLastError());
            ClosePort();
            return m_lastError = error;
        }
    }

    // Neither result is tested here: m_lastError ends as the read mode's result, so that failure
    // alone is reported, with the port left open.
    SetEventMask(kOpenEventMask);
    SetReadMode(ReadImmediate);

    // The port's default configuration, from the bare name; failures of either call are not
    // reported.
    COMMCONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    if (GetDefaultCommConfigA(name, &config, &size)) SetCommConfig(m_portHandle, &config, size);
    return m_lastError;
}

int CSerial::ClosePort() {
    m_lastError = 0;
    if (m_portHandle == nullptr) return 0;
    PurgeBuffers();
    if (m_ioEvent != nullptr) {
        CloseHandle(m_ioEvent);
        m_ioEvent = nullptr;
    }
    CloseHandle(m_portHandle);
    m_portHandle = nullptr;
    return m_lastError;
}

int CSerial::Configure(DWORD baudRate, BYTE dataBits, int parity, BYTE stopBits) {
    if (!StartOnOpenPort()) return m_lastError;
    DCB dcb;
    if (!ReadState(&dcb)) return m_lastError;
    // Every other field stays as the default configuration applied at open left it.
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.Parity = static_cast<BYTE>(parity & 0xFF);
    dcb.StopBits = stopBits;
    dcb.fParity = parity != 0 ? 1 : 0;
    WriteState(&dcb);
    return m_lastError;
}

int CSerial::SetEventCharacter(char character, bool addToMask) {
    if (!StartOnOpenPort()) return m_lastError;
    DCB dcb;
    if (!ReadState(&dcb)) return m_lastError;
    dcb.EvtChar = character;
    if (addToMask) SetEventMask(QueryEventMask() | EV_RXFLAG);
    // A failure to write the DCB wins over one of the mask.
    WriteState(&dcb);
    return m_lastError;
}

int CSerial::SetEventMask(DWORD mask) {
    if (!StartOnOpenPort()) return m_lastError;
    if (SetCommMask(m_portHandle, mask)) {
        m_eventMask = mask;
    } else {
        m_lastError = ErrorCode(GetLastError());
    }
    return m_lastError;
}

int CSerial::SetFlowControl(FlowControl mode) {
    if (!StartOnOpenPort()) return m_lastError;
    DCB dcb;
    if (!ReadState(&dcb)) return m_lastError;
    switch (mode) {
        case FlowNone:
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fOutX = 0;
            dcb.fInX = 0;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            break;
        case FlowHardware:
            dcb.fOutxCtsFlow = 1;
            dcb.fOutxDsrFlow = 1;
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fOutX = 0;
            dcb.fInX = 0;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        case FlowSoftware:
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fOutX = 1;
            dcb.fInX = 1;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            break;
        default:
            return m_lastError = kInvalidArgument;
    }
    WriteState(&dcb);
    return m_lastError;
}

int CSerial::SetReadMode(ReadMode mode) {
    if (!StartOnOpenPort()) return m_lastError;
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(m_portHandle, &timeouts)) return m_lastError = ErrorCode(GetLastError());
    // The write time-outs stay as read.
    switch (mode) {
        case ReadImmediate:
            timeouts.ReadIntervalTimeout = MAXDWORD;
            break;
        case ReadWaitAll:
            timeouts.ReadIntervalTimeout = 0;
            break;
        default:
            return m_lastError = kInvalidArgument;
    }
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(m_portHandle, &timeouts)) m_lastError = ErrorCode(GetLastError());
    return m_lastError;
}

int CSerial::QueryBaudRate() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return -1;
    return static_cast<int>(dcb.BaudRate);
}

int CSerial::QueryDataBits() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return -1;
    return dcb.ByteSize;
}

int CSerial::QueryParity() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return -1;
    return dcb.fParity ? dcb.Parity : NOPARITY;
}

int CSerial::QueryStopBits() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return -1;
    return dcb.StopBits;
}

int CSerial::QueryFlowControl() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return -1;
    // The handshake lines decide, whatever the CTS and DSR flags say.
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return FlowHardware;
    }
    if (dcb.fOutX && dcb.fInX) return FlowSoftware;
    return FlowNone;
}

DWORD CSerial::QueryEventMask() {
    if (!StartOnOpenPort()) return 0;
    return m_eventMask;
}

char CSerial::QueryEventCharacter() {
    DCB dcb;
    if (!StartOnOpenPort() || !ReadState(&dcb)) return 0;
    return dcb.EvtChar;
}

template <typename Issue>
int CSerial::Transfer(Issue issue, DWORD* outCount, OVERLAPPED* overlapped, DWORD timeout,
                      bool fetchCount) {
    m_lastError = 0;
    DWORD localCount = 0;
    if (outCount == nullptr) outCount = &localCount;
    *outCount = 0;
    if (m_portHandle == nullptr) return m_lastError = ERROR_INVALID_HANDLE;
    // A port opened without overlapped I/O does plain blocking I/O only.
    if (m_ioEvent == nullptr && (overlapped != nullptr || timeout != INFINITE)) {
        return m_lastError = ERROR_INVALID_FUNCTION;
    }

    OVERLAPPED own;
    std::memset(&own, 0, sizeof own);
    own.hEvent = m_ioEvent;
    OVERLAPPED* record = overlapped;
    if (record == nullptr && m_ioEvent != nullptr) record = &own;

    if (issue(outCount, record)) {
        // Done at once: a caller waiting on the record's event sees the completion too.
        if (record != nullptr && record->hEvent != nullptr) SetEvent(record->hEvent);
        return m_lastError;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return m_lastError = ErrorCode(error);
    // The caller completes an operation on its own record; the time-out is not used.
    if (record != &own) return m_lastError;

    switch (WaitForSingleObject(m_ioEvent, timeout)) {
        case WAIT_OBJECT_0:
            if (fetchCount && !GetOverlappedResult(m_portHandle, &own, outCount, FALSE)) {
                m_lastError = ErrorCode(GetLastError());
            }
            break;
        case WAIT_TIMEOUT:
            m_lastError = FinishCancelled(&own, outCount, ERROR_TIMEOUT);
            break;
        default:
            // The operation may still be running; it must end before `own` goes away.
            m_lastError = FinishCancelled(&own, outCount, ErrorCode(GetLastError()));
            break;
    }
    return m_lastError;
}

int CSerial::FinishCancelled(OVERLAPPED* record, DWORD* outCount, int reason) {
    CancelIo(m_portHandle);
    // The cancel only asks the operation to end; until it has, the system may still write into
    // the record and the count, so its end is waited for.
    DWORD transferred = 0;
    const BOOL completed = GetOverlappedResult(m_portHandle, record, &transferred, TRUE);
    const DWORD error = completed ? 0 : GetLastError();
    // What was transferred before the cancel stays counted: bytes in the caller's buffer are
    // never silently dropped.
    *outCount = transferred;
    // It ended on its own before the cancel took effect: report that, not a time-out.
    if (completed) return 0;
    if (error == ERROR_OPERATION_ABORTED) return reason;
    return ErrorCode(error);
}

int CSerial::WaitForEvent(OVERLAPPED* overlapped, DWORD timeout) {
    const HANDLE port = m_portHandle;
    DWORD* const eventBits = &m_lastEvent;
    return Transfer(
        [port, eventBits](DWORD*, OVERLAPPED* record) {
            return WaitCommEvent(port, eventBits, record);
        },
        nullptr, overlapped, timeout, false);
}

int CSerial::WriteText(const char* text, DWORD* outCount, OVERLAPPED* overlapped, DWORD timeout) {
    return WriteBytes(text, static_cast<DWORD>(std::strlen(text)), outCount, overlapped, timeout);
}

int CSerial::WriteBytes(const void* buffer, DWORD count, DWORD* outCount, OVERLAPPED* overlapped,
                        DWORD timeout) {
    const HANDLE port = m_portHandle;
    return Transfer(
        [port, buffer, count](DWORD* done, OVERLAPPED* record) {
            return WriteFile(port, buffer, count, done, record);
        },
        outCount, overlapped, timeout, true);
}

int CSerial::ReadBytes(void* buffer, DWORD count, DWORD* outCount, OVERLAPPED* overlapped,
                       DWORD timeout) {
    const HANDLE port = m_portHandle;
    return Transfer(
        [port, buffer, count](DWORD* done, OVERLAPPED* record) {
            return ReadFile(port, buffer, count, done, record);
        },
        outCount, overlapped, timeout, true);
}

int CSerial::WriteOneByte(BYTE value) {
    DWORD written = 0;
    return WriteBytes(&value, 1, &written, nullptr, kOneByteTimeoutMs);
}

int CSerial::PurgeBuffers() {
    if (!StartOnOpenPort()) return m_lastError;
    if (!PurgeComm(m_portHandle, kPurgeQueues)) m_lastError = ErrorCode(GetLastError());
    return m_lastError;
}

int CSerial::SendBreak() {
    if (!StartOnOpenPort()) return m_lastError;
    SetCommBreak(m_portHandle);
    Sleep(kBreakMs);
    ClearCommBreak(m_portHandle);
    return m_lastError;
}

DWORD CSerial::TakeEvent() {
    const DWORD bits = m_lastEvent & m_eventMask;
    m_lastEvent = 0;
    return bits;
}

DWORD CSerial::TakeErrors() {
    if (!StartOnOpenPort()) return 0;
    DWORD errors = 0;
    if (ClearCommError(m_portHandle, &errors, nullptr)) return errors;
    m_lastError = ErrorCode(GetLastError());
    return 0;
}

bool CSerial::ModemLineOn(DWORD line) {
    // No test for a closed port: the system refuses the null handle.
    m_lastError = 0;
    DWORD status = 0;
    if (GetCommModemStatus(m_portHandle, &status)) return (status & line) != 0;
    m_lastError = ErrorCode(GetLastError());
    return false;
}

bool CSerial::IsClearToSend() { return ModemLineOn(MS_CTS_ON); }

bool CSerial::IsDataSetReady() { return ModemLineOn(MS_DSR_ON); }

bool CSerial::IsRinging() { return ModemLineOn(MS_RING_ON); }

bool CSerial::IsCarrierDetected() { return ModemLineOn(MS_RLSD_ON); }

DWORD CSerial::BytesWaiting() {
    if (!StartOnOpenPort()) return 0;
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(m_portHandle, &errors, &status)) return status.cbInQue;
    m_lastError = ErrorCode(GetLastError());
    return 0;
}

int ProbePort(const char* name) {
    const HANDLE port =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return 0;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return 1;
        case ERROR_ACCESS_DENIED:
            return 2;
        default:
            return -1;
    }
}
