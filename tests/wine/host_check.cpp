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

#if defined(__i386__)
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

#elif defined(__x86_64__)
// x64 has one calling convention: the object pointer in RCX, then RDX, R8 and R9, further
// arguments on the stack above 32 bytes of shadow space that the caller reserves; the callee
// returns in RAX, leaves RSP as it found it and keeps RBX, RBP, RDI, RSI and R12 to R15.
//
// zel_probe_call(function, registers, stackArguments, rspChange, kept) calls `function` with
// RCX, RDX, R8 and R9 taken from registers[0..3], `stackArguments` zeros on the stack and the
// shadow space below them, and sentinels in the callee-saved registers. It returns RAX, stores
// how far RSP moved across the call and whether every sentinel survived.
extern "C" std::uintptr_t zel_probe_call(const void* function, const std::uintptr_t* registers,
                                         std::uintptr_t stackArguments, std::intptr_t* rspChange,
                                         int* kept);
__asm__(R"(
    .text
    .globl zel_probe_call
zel_probe_call:
    push %rbp
    mov %rsp, %rbp
    push %rbx
    push %rsi
    push %rdi
    push %r12
    push %r13
    push %r14
    push %r15
    sub $40, %rsp
    mov %rcx, -64(%rbp)
    mov %rdx, -72(%rbp)
    mov %r9, -80(%rbp)
    mov 48(%rbp), %rax
    mov %rax, -88(%rbp)
    mov %r8, %rcx
    test $1, %rcx
    jz 2f
    sub $8, %rsp
2:  test %rcx, %rcx
    jz 3f
    pushq $0
    dec %rcx
    jmp 2b
3:  sub $32, %rsp
    mov %rsp, %r12
    movabs $0x1111111111111111, %rbx
    movabs $0x2222222222222222, %rsi
    movabs $0x3333333333333333, %rdi
    movabs $0x4444444444444444, %r13
    movabs $0x5555555555555555, %r14
    movabs $0x6666666666666666, %r15
    mov -72(%rbp), %rax
    mov 0(%rax), %rcx
    mov 8(%rax), %rdx
    mov 16(%rax), %r8
    mov 24(%rax), %r9
    call *-64(%rbp)
    mov %rsp, %r10
    sub %r12, %r10
    mov -80(%rbp), %r11
    mov %r10, (%r11)
    xor %r10d, %r10d
    movabs $0x1111111111111111, %r11
    cmp %r11, %rbx
    jne 4f
    movabs $0x2222222222222222, %r11
    cmp %r11, %rsi
    jne 4f
    movabs $0x3333333333333333, %r11
    cmp %r11, %rdi
    jne 4f
    movabs $0x4444444444444444, %r11
    cmp %r11, %r13
    jne 4f
    movabs $0x5555555555555555, %r11
    cmp %r11, %r14
    jne 4f
    movabs $0x6666666666666666, %r11
    cmp %r11, %r15
    jne 4f
    mov $1, %r10d
4:  mov -88(%rbp), %r11
    mov %r10d, (%r11)
    lea -56(%rbp), %rsp
    pop %r15
    pop %r14
    pop %r13
    pop %r12
    pop %rdi
    pop %rsi
    pop %rbx
    pop %rbp
    ret
)");

struct ProbedCall {
    std::uintptr_t result;
    std::intptr_t rspChange;
    bool calleeSavedKept;
};

ProbedCall ProbeCall(const void* function, std::uintptr_t rcx, std::uintptr_t rdx = 0,
                     std::uintptr_t r8 = 0, std::uintptr_t r9 = 0, int stackArguments = 0) {
    const std::uintptr_t registers[4] = {rcx, rdx, r8, r9};
    ProbedCall call{};
    int kept = 0;
    call.result = zel_probe_call(function, registers, static_cast<std::uintptr_t>(stackArguments),
                                 &call.rspChange, &kept);
    call.calleeSavedKept = kept != 0;
    return call;
}

template <class T>
std::uintptr_t Word(T* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}
#endif

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

#if defined(__i386__)
    // The export is cdecl: a host that declares it so removes the argument itself, and a callee
    // that removed it too would leave the host's stack pointer 4 bytes off after every call.
    // (The probe passes a null argument, which the export refuses without writing through it.)
    EXPECT_EQ(BytesRemovedByCallee(reinterpret_cast<const void*>(s_getInterface), nullptr, 1), 0)
        << "GetBrailleInterface must leave its argument to the caller";
#elif defined(__x86_64__)
    // Its argument comes in RCX and goes back in RAX; RSP and the callee-saved registers are as
    // they were.
    HostDriver* third = nullptr;
    const ProbedCall call = ProbeCall(reinterpret_cast<const void*>(s_getInterface), Word(&third));
    EXPECT_EQ(call.result, Word(&third)) << "GetBrailleInterface returns its argument in RAX";
    EXPECT_EQ(third, s_driver) << "and stores the driver through the pointer it got in RCX";
    EXPECT_EQ(call.rspChange, 0);
    EXPECT_TRUE(call.calleeSavedKept);
#endif
}

// Every slot with its argument count. Every slot is safe to call with zero arguments before an
// Open: Open refuses a null port name, Close and Suspend(0) find nothing to do, SetSink(null)
// installs no sink.
struct SlotCase {
    int slot;
    int arguments;
};
constexpr SlotCase kSlotCases[] = {
    {5, 2},  {6, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 1}, {14, 2}, {15, 0}, {17, 0}, {18, 0},
    {19, 0}, {20, 0}, {21, 0}, {22, 0}, {23, 4}, {24, 0}, {25, 2}, {26, 3}, {27, 1}, {28, 1},
    {29, 0}, {30, 1}, {31, 0}, {32, 1}, {33, 0}, {35, 1}, {36, 1}, {11, 2}, {12, 2}, {13, 0},
    {3, 2},  {4, 2},  {34, 3}, {0, 4},  {1, 0},  {2, 1},  {16, 1}};

#if defined(__i386__)
TEST_F(HostCheck, SlotsAreThiscallAndRemoveExactlyTheirArguments) {
    for (const SlotCase& c : kSlotCases) {
        EXPECT_EQ(BytesRemovedByCallee(Slot(c.slot), s_driver, c.arguments), 4 * c.arguments)
            << "slot " << c.slot;
    }
}
#elif defined(__x86_64__)
TEST_F(HostCheck, SlotsTakeThisInRcxAndLeaveTheStackAndTheSavedRegistersAsTheyWere) {
    // The object and up to three arguments in registers, the rest on the stack: every slot
    // returns with RSP where it was and the callee-saved registers kept.
    for (const SlotCase& c : kSlotCases) {
        const ProbedCall call =
            ProbeCall(Slot(c.slot), Word(s_driver), 0, 0, 0, c.arguments > 3 ? c.arguments - 3 : 0);
        EXPECT_EQ(call.rspChange, 0) << "slot " << c.slot;
        EXPECT_TRUE(call.calleeSavedKept) << "slot " << c.slot;
    }

    // The arguments are where the convention puts them: SetSink's in RDX (it answers the sink
    // it had), GetIdentity's buffer in RDX, its size in R8 and its identifier's address in R9.
    HostSink first, second;
    EXPECT_EQ(ProbeCall(Slot(2), Word(s_driver), Word(&first)).result, 0u);
    EXPECT_EQ(ProbeCall(Slot(2), Word(s_driver), Word(&second)).result, Word(&first));
    EXPECT_EQ(ProbeCall(Slot(2), Word(s_driver), 0).result, Word(&second));
    char name[16] = {};
    GUID id{};
    EXPECT_EQ(ProbeCall(Slot(34), Word(s_driver), Word(name), sizeof name, Word(&id)).result, 1u);
    EXPECT_STREQ(name, "ZEL");
    EXPECT_EQ(id.Data1, 0xd5d2d9e8u);
    EXPECT_EQ(ProbeCall(Slot(34), Word(s_driver), Word(name), sizeof name, 0).result, 0u)
        << "a null identifier address in R9 is refused";
    // The object itself comes in RCX: the version code is read from it.
    EXPECT_EQ(ProbeCall(Slot(6), Word(s_driver)).result & 0xFFFFFFFFu, 0x300u);
}
#endif

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
