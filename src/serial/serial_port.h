// One Windows communications port: opened by name, with line parameters, flow control and read
// time-outs, communication events, and reads and writes with or without overlapped I/O and with a
// time-out, plus a few line-state queries. It knows nothing of the display's protocol.
//
// Every failure is a Win32 error code (or E_INVALIDARG) in m_lastError, which each operation
// clears as it starts; nothing throws. No lock: one thread at a time per instance.
#pragma once

#include <windows.h>

class CSerial {
  public:
    enum FlowControl : int { FlowNone = 0, FlowHardware = 1, FlowSoftware = 2 };
    enum ReadMode : int {
        ReadImmediate = 0,  // a read returns at once with what has arrived, possibly nothing
        ReadWaitAll = 1,    // a read waits until the requested count has arrived
    };

    CSerial();
    // Closes an open port (through ClosePort).
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Opens the port `name` (a bare name such as COM3) for reading and writing, exclusively. With
    // `overlapped` every read, write and event wait may run overlapped and time out; without it
    // only blocking calls with no OVERLAPPED record and an INFINITE time-out are allowed. Queue
    // sizes of 0 leave the driver's queues as they are. Then sets the event mask 0x00C1, the
    // read mode ReadImmediate and the port's default configuration. A name longer than 59
    // characters is refused with ERROR_FILENAME_EXCED_RANGE.
    virtual int OpenPort(const char* name, DWORD inQueue, DWORD outQueue, bool overlapped);
    // Purges both queues and closes the port; 0 on a closed port. The event mask and the last
    // event outlive the close.
    virtual int ClosePort();
    // Sets the line; parity and stop bits are the DCB values, passed on unchecked. Any non-zero
    // parity switches parity checking on.
    virtual int Configure(DWORD baudRate, BYTE dataBits, int parity, BYTE stopBits);
    virtual int SetEventCharacter(char character, bool addToMask);
    virtual int SetEventMask(DWORD mask);
    // Waits for a communication event of the mask; its bits are then fetched with TakeEvent.
    virtual int WaitForEvent(OVERLAPPED* overlapped, DWORD timeout);
    virtual int SetFlowControl(FlowControl mode);
    virtual int SetReadMode(ReadMode mode);
    // The line's settings as the port reports them; -1 on failure.
    virtual int QueryBaudRate();
    virtual int QueryDataBits();
    virtual int QueryParity();
    virtual int QueryStopBits();
    virtual int QueryFlowControl();
    // The mask last set with success; 0 on a closed port.
    virtual DWORD QueryEventMask();
    // 0 on failure.
    virtual char QueryEventCharacter();

    // Reads, writes and event waits. `outCount` may be null. With no OVERLAPPED record on a port
    // opened for overlapped I/O, the call uses a record of its own and waits up to `timeout` ms;
    // when that runs out it cancels the port's I/O, waits for the cancelled operation to end (the
    // system writes into the record and the count until then) and returns ERROR_TIMEOUT with the
    // count of what was transferred before the cancel. An operation that completed before the
    // cancel took effect is reported as it ended (0 and its full count), so no bytes read are
    // lost. With the caller's record, a pending operation returns 0 at once and the caller
    // completes it.
    virtual int WriteText(const char* text, DWORD* outCount, OVERLAPPED* overlapped, DWORD timeout);
    virtual int WriteBytes(const void* buffer, DWORD count, DWORD* outCount, OVERLAPPED* overlapped,
                           DWORD timeout);
    virtual int ReadBytes(void* buffer, DWORD count, DWORD* outCount, OVERLAPPED* overlapped,
                          DWORD timeout);

    // WriteBytes of one byte with a 1000 ms time-out.
    int WriteOneByte(BYTE value);
    // Empties both queues; pending reads and writes are not aborted.
    int PurgeBuffers();
    // Holds the line in the break state for 100 ms.
    int SendBreak();
    // The bits of the last event wait within the event mask, once; leaves m_lastError as it is.
    DWORD TakeEvent();
    // The CE_ error bits, cleared on the port; 0 on failure.
    DWORD TakeErrors();
    // The modem lines; false on failure.
    bool IsClearToSend();
    bool IsDataSetReady();
    bool IsRinging();
    bool IsCarrierDetected();
    // The number of bytes waiting in the input queue; 0 on a closed port or failure. Lets a
    // caller read only what has arrived, without relying on a ReadImmediate read to return at
    // once (Wine keeps such an overlapped read pending until a byte arrives).
    DWORD BytesWaiting();

  protected:
    int m_lastError;
    HANDLE m_portHandle;  // null when closed, never INVALID_HANDLE_VALUE
    DWORD m_lastEvent;
    DWORD m_eventMask;
    HANDLE m_ioEvent;  // manual reset; only on a port opened for overlapped I/O

  private:
    // Clears m_lastError; on a closed port sets it to ERROR_INVALID_HANDLE and answers false.
    bool StartOnOpenPort();
    // GetCommState and SetCommState; a failure sets m_lastError.
    bool ReadState(DCB* dcb);
    bool WriteState(DCB* dcb);
    // The steps shared by reads, writes and event waits; `issue(count, record)` starts the call.
    template <typename Issue>
    int Transfer(Issue issue, DWORD* outCount, OVERLAPPED* overlapped, DWORD timeout,
                 bool fetchCount);
    // Cancels the operation on the own `record` and waits for it to end; the result to report.
    int FinishCancelled(OVERLAPPED* record, DWORD* outCount, int reason);
    bool ModemLineOn(DWORD line);
};

// Whether the port `name` (passed to CreateFileA as it is) can be opened: 0 free, 1 absent
// (ERROR_FILE_NOT_FOUND), 2 in use (ERROR_ACCESS_DENIED), -1 any other failure.
int ProbePort(const char* name);
