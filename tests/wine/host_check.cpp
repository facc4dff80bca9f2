// A screen-reader host's view of zel.dll: loads the real DLL, finds the export, and talks to the
// driver through a declaration of its slot table written here from the interface table alone. It
// deliberately shares no header with the driver, so that a mistake in the driver's declaration
// (a slot out of place, a wrong argument count, a wrong calling convention) shows up as a failure.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "handle_count.h"
#include "host_interface.h"

namespace {

using host::HostDriver;
using host::HostSink;

// Calls `function` with `argumentCount` zero arguments on the stack and `self` in ECX, and returns
// how many bytes the callee removed from the stack. A thiscall or stdcall callee removes all of
// its arguments (4 bytes each); a cdecl one leaves them to the caller and removes none.
int BytesRemovedByCallee(const void* function, void* self, int argumentCount) {
    // Everything the sequence needs is in registers before the first push, so that no operand is
    // addressed relative to a stack pointer that the pushes move. ESI and EDI survive the call in
    // every convention.
    std::uintptr_t accumulator = reinterpret_cast<std::uintptr_t>(function);
    __asm__ volatile(
        "mov %%esp, %%esi\n\t"
        "1:\n\t"
        "test %%edx, %%edx\n\t"
        "jz 2f\n\t"
        "pushl $0\n\t"
        "dec %%edx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "mov %%esp, %%edi\n\t"
        "call *%%eax\n\t"
        "mov %%esp, %%eax\n\t"
        "sub %%edi, %%eax\n\t"
        "mov %%esi, %%esp\n\t"
        : "+a"(accumulator), "+c"(self), "+d"(argumentCount)
        :
        : "esi", "edi", "memory", "cc");
    return static_cast<int>(accumulator);
}

int ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

class HostCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_module = LoadLibraryA("zel.dll");
        ASSERT_NE(s_module, nullptr) << "LoadLibraryA: error " << GetLastError();
        s_getInterface = reinterpret_cast<GetInterfaceFunction>(
            reinterpret_cast<void*>(GetProcAddress(s_module, "GetBrailleInterface")));
        ASSERT_NE(s_getInterface, nullptr);
        s_getInterface(&s_driver);
        ASSERT_NE(s_driver, nullptr);
    }
    static void TearDownTestSuite() {
        if (s_module != nullptr) FreeLibrary(s_module);
    }

    // The address of slot `index` in the driver's virtual table.
    static const void* Slot(int index) {
        return (*reinterpret_cast<void* const* const*>(s_driver))[index];
    }

    static HMODULE s_module;
    static GetInterfaceFunction s_getInterface;
    static HostDriver* s_driver;
};
HMODULE HostCheck::s_module = nullptr;
GetInterfaceFunction HostCheck::s_getInterface = nullptr;
HostDriver* HostCheck::s_driver = nullptr;

TEST_F(HostCheck, ExportIsFoundByNameAndByOrdinalOneAndLeavesItsArgumentToTheCaller) {
    const FARPROC byOrdinal = GetProcAddress(s_module, MAKEINTRESOURCEA(1));
    EXPECT_EQ(reinterpret_cast<void*>(byOrdinal), reinterpret_cast<void*>(s_getInterface));

    HostDriver* first = nullptr;
    HostDriver* second = nullptr;
    EXPECT_EQ(s_getInterface(&first), &first) << "returns its argument";
    s_getInterface(&second);
    EXPECT_EQ(first, second) << "the same object every time";
    EXPECT_EQ(first, s_driver);

    // The export is cdecl: a host that declares it so removes the argument itself, and a callee
    // that removed it too would leave the host's stack pointer 4 bytes off after every call.
    // (The probe passes a null argument, which the export refuses without writing through it.)
    EXPECT_EQ(BytesRemovedByCallee(reinterpret_cast<const void*>(s_getInterface), nullptr, 1), 0)
        << "GetBrailleInterface must leave its argument to the caller";
}

TEST_F(HostCheck, SlotsAreThiscallAndRemoveExactlyTheirArguments) {
    // Every slot is safe to call with zero arguments before an Open: Open refuses a null port
    // name, Close and Suspend(0) find nothing to do, SetSink(null) installs no sink.
    struct Case {
        int slot;
        int arguments;
    };
    const Case cases[] = {{5, 2},  {6, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 1}, {14, 2}, {15, 0},
                          {17, 0}, {18, 0}, {19, 0}, {20, 0}, {21, 0}, {22, 0}, {23, 4}, {24, 0},
                          {25, 2}, {26, 3}, {27, 1}, {28, 1}, {29, 0}, {30, 1}, {31, 0}, {32, 1},
                          {33, 0}, {35, 1}, {36, 1}, {11, 2}, {12, 2}, {13, 0}, {3, 2},  {4, 2},
                          {34, 3}, {0, 4},  {1, 0},  {2, 1},  {16, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(BytesRemovedByCallee(Slot(c.slot), s_driver, c.arguments), 4 * c.arguments)
            << "slot " << c.slot;
    }
}

TEST_F(HostCheck, FixedAnswersBeforeAnyOpen) {
    EXPECT_EQ(s_driver->GetVersionCode(), 0x300);
    EXPECT_EQ(s_driver->GetTextCellCount(), 0);
    EXPECT_EQ(s_driver->GetStatusCellCount(), 0);
    EXPECT_EQ(s_driver->GetTotalCellCount(), 0);

    const int stubs[] = {s_driver->Slot5(1, 2),     s_driver->Slot7(),
                         s_driver->Slot8(),         s_driver->Slot9(),
                         s_driver->Slot10(1),       s_driver->Slot14(1, 2),
                         s_driver->Slot15(),        s_driver->Slot19(),
                         s_driver->Slot22(),        s_driver->Slot23(1, 2, 3, 4),
                         s_driver->Slot24(),        s_driver->Slot25(1, 2),
                         s_driver->Slot26(1, 2, 3), s_driver->Slot27(1),
                         s_driver->Slot28(1),       s_driver->Slot29(),
                         s_driver->Slot31(),        s_driver->Slot33()};
    for (int result : stubs) EXPECT_EQ(result, 0);
    s_driver->Slot17();
    s_driver->Slot30(1);
    s_driver->Slot32(1);

    char name[16];
    std::memset(name, 'x', sizeof name);
    GUID id;
    ASSERT_EQ(s_driver->GetIdentity(name, sizeof name, &id), 1);
    EXPECT_STREQ(name, "ZEL");
    const unsigned char expected[16] = {0xe8, 0xd9, 0xd2, 0xd5, 0x37, 0x46, 0x07, 0x4a,
                                        0xbf, 0x46, 0x42, 0x54, 0x3a, 0x3c, 0xaa, 0xcc};
    EXPECT_EQ(std::memcmp(&id, expected, sizeof expected), 0);
    EXPECT_EQ(s_driver->GetIdentity(nullptr, 16, &id), 0);
    EXPECT_EQ(s_driver->GetIdentity(name, 16, nullptr), 0);
}

TEST_F(HostCheck, CloseBeforeOpenIsHarmlessAndOpenWithoutADisplayLeavesNoThread) {
    const int threadsBefore = ThreadsOfThisProcess();
    ASSERT_GT(threadsBefore, 0);
    s_driver->Close();
    const unsigned char cells[2] = {1, 2};
    EXPECT_EQ(s_driver->WriteMain(cells, 2), 0) << "no worker runs";

    HostSink sink;
    EXPECT_EQ(s_driver->Open("COM199", &sink, "first", "second"), 0);
    EXPECT_EQ(s_driver->GetTextCellCount(), 0);
    EXPECT_EQ(s_driver->WriteMain(cells, 2), 0) << "no worker runs after a failed Open";
    EXPECT_EQ(s_driver->SetSink(nullptr), nullptr) << "a failed Open keeps no sink";
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore) << "the worker thread was left running";
    s_driver->Close();
}

TEST_F(HostCheck, OpenLooksForTheUsbDisplayAndLeavesNoHandleWhenNoneIsThere) {
    // The first attempt runs the system's device enumeration, which loads and caches what it
    // needs; from the second on, an attempt that finds no display must give back every handle.
    HostSink sink;
    EXPECT_EQ(s_driver->Open("COM198", &sink, "", ""), 0);
    const DWORD handlesBefore = CountProcessHandles();
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(s_driver->Open("COM198", &sink, "", ""), 0);
        EXPECT_EQ(s_driver->GetTextCellCount(), 0);
    }
    const DWORD handlesAfter = CountProcessHandles();
    EXPECT_EQ(handlesAfter, handlesBefore);
}

}  // namespace
