// The two interfaces that a screen-reader host and ZEL share.
//
// The host sees the driver as an IBrailleDriver pointer whose first word points at the virtual
// table, and calls the slots below as member functions in the platform compiler's default member
// convention (thiscall on 32-bit Windows: `this` in ECX, arguments on the stack, the callee
// removes them). The slot order is therefore fixed: never insert, remove or reorder a slot, and
// never give either interface a virtual destructor, which would add slots of its own.
#pragma once

#include <windows.h>

class IBrailleSink;

class IBrailleDriver {
  public:
    // Slot 0: opens the display on `portName`, keeps `sink` and the two host strings. 1 or 0.
    virtual int Open(const char* portName, IBrailleSink* sink, const char* openParam1,
                     const char* openParam2) = 0;
    // Slot 1: closes the display and stops the worker thread.
    virtual void Close() = 0;
    // Slot 2: installs a new sink (may be null) and returns the previous one.
    virtual IBrailleSink* SetSink(IBrailleSink* sink) = 0;
    // Slots 3 and 4: copy the first or second string given to Open into `buffer`.
    virtual int GetOpenParam1(char* buffer, int size) = 0;
    virtual int GetOpenParam2(char* buffer, int size) = 0;
    virtual int Reserved5(int first, int second) = 0;
    // Slot 6: the interface version this driver implements, 0x300.
    virtual int GetVersionCode() = 0;
    virtual int Reserved7() = 0;
    virtual int Reserved8() = 0;
    virtual int Reserved9() = 0;
    virtual int Reserved10(int first) = 0;
    // Slot 11: shows `count` host cells in the text area; returns whether they were queued.
    virtual int WriteMain(const unsigned char* cells, int count) = 0;
    // Slot 12: shows `count` host cells from the first status cell on.
    virtual int WriteAll(const unsigned char* cells, int count) = 0;
    // Slot 13: blanks the display without forgetting what it showed.
    virtual int ClearDisplay() = 0;
    virtual int Reserved14(int first, int second) = 0;
    virtual int Reserved15() = 0;
    // Slot 16: non-zero suspends (releases the display), zero resumes.
    virtual int Suspend(int flag) = 0;
    virtual void Reserved17() = 0;
    // Slot 18: the number of text cells of the last display opened.
    virtual int GetTextCellCount() = 0;
    virtual int Reserved19() = 0;
    // Slot 20: the number of status cells of the last display opened.
    virtual int GetStatusCellCount() = 0;
    // Slot 21: text plus status cells.
    virtual int GetTotalCellCount() = 0;
    virtual int Reserved22() = 0;
    virtual int Reserved23(int first, int second, int third, int fourth) = 0;
    virtual int Reserved24() = 0;
    virtual int Reserved25(int first, int second) = 0;
    virtual int Reserved26(int first, int second, int third) = 0;
    virtual int Reserved27(int first) = 0;
    virtual int Reserved28(int first) = 0;
    virtual int Reserved29() = 0;
    virtual void Reserved30(int first) = 0;
    virtual int Reserved31() = 0;
    virtual void Reserved32(int first) = 0;
    virtual int Reserved33() = 0;
    // Slot 34: the driver's name "ZEL" and its 16-byte identifier.
    virtual int GetIdentity(char* nameBuffer, int nameBufferSize, GUID* identifier) = 0;
};

// The host's callback object. The driver uses only these two slots and ignores their results.
class IBrailleSink {
  public:
    // A key of the display, by name ("Routing", "F1", ...) and value; runs on the thread that
    // opened the driver, from its message loop.
    virtual int OnKey(IBrailleDriver* driver, const char* keyName, int value) = 0;
    // A keyboard report of the display; runs on the driver's worker thread.
    virtual int OnData(IBrailleDriver* driver, const unsigned char* bytes, int count) = 0;
};
