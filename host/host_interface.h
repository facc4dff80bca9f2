// The driver's interfaces as a screen-reader host declares them, written from the interface table
// alone. The host programs share no header with the driver, so that a mistake in the driver's
// declaration (a slot out of place, a wrong argument count, a wrong calling convention) shows up
// as a failure.
#pragma once

#include <windows.h>

// The interfaces have external linkage on purpose: declared in an unnamed namespace, the compiler
// would see that no class in the program implements them and treat every call as unreachable.
namespace host {

// The driver as a host declares it: 35 slots, thiscall member functions (the default for members
// on 32-bit Windows), no destructor.
struct HostSink;
struct HostDriver {
    virtual int Open(const char* port, HostSink* sink, const char* first, const char* second) = 0;
    virtual void Close() = 0;
    virtual HostSink* SetSink(HostSink* sink) = 0;
    virtual int GetOpenParam1(char* buffer, int size) = 0;
    virtual int GetOpenParam2(char* buffer, int size) = 0;
    virtual int Slot5(int, int) = 0;
    virtual int GetVersionCode() = 0;
    virtual int Slot7() = 0;
    virtual int Slot8() = 0;
    virtual int Slot9() = 0;
    virtual int Slot10(int) = 0;
    virtual int WriteMain(const unsigned char* cells, int count) = 0;
    virtual int WriteAll(const unsigned char* cells, int count) = 0;
    virtual int ClearDisplay() = 0;
    virtual int Slot14(int, int) = 0;
    virtual int Slot15() = 0;
    virtual int Suspend(int flag) = 0;
    virtual void Slot17() = 0;
    virtual int GetTextCellCount() = 0;
    virtual int Slot19() = 0;
    virtual int GetStatusCellCount() = 0;
    virtual int GetTotalCellCount() = 0;
    virtual int Slot22() = 0;
    virtual int Slot23(int, int, int, int) = 0;
    virtual int Slot24() = 0;
    virtual int Slot25(int, int) = 0;
    virtual int Slot26(int, int, int) = 0;
    virtual int Slot27(int) = 0;
    virtual int Slot28(int) = 0;
    virtual int Slot29() = 0;
    virtual void Slot30(int) = 0;
    virtual int Slot31() = 0;
    virtual void Slot32(int) = 0;
    virtual int Slot33() = 0;
    virtual int GetIdentity(char* name, int size, GUID* id) = 0;
};

struct HostSink {
    virtual int OnKey(HostDriver*, const char*, int) { return 0; }
    virtual int OnData(HostDriver*, const unsigned char*, int) { return 0; }
};

}  // namespace host

// The export: a C function in the C calling convention, so the caller removes its argument.
using GetInterfaceFunction = host::HostDriver**(__cdecl*)(host::HostDriver**);
