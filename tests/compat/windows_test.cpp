// Window classes, windows, window data and properties.
#include "support.h"

#include <cstring>
#include <string>

namespace compat_test {
namespace {

using WindowClassTest = WindowTest;

// Registering the test class again under any spelling of its name fails: class names compare
// case-insensitively.
class RegisterAgainTest : public WindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RegisterAgainTest, FailsWithClassAlreadyExists) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DefWindowProcA;
    windowClass.lpszClassName = GetParam();
    SetLastError(kUntouched);
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_LAST_ERROR(ERROR_CLASS_ALREADY_EXISTS);
}

INSTANTIATE_TEST_SUITE_P(Spellings, RegisterAgainTest,
                         ::testing::Values("ZelCompatTestClass", "ZELCOMPATTESTCLASS",
                                           "zelcompattestclass"));

class ClassSizeTest : public CompatTest, public ::testing::WithParamInterface<UINT> {};

TEST_P(ClassSizeTest, RegisterClassExRefusesAWrongStructureSize) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = GetParam();
    windowClass.lpfnWndProc = &DefWindowProcA;
    windowClass.lpszClassName = "ZelCompatSizeClass";
    SetLastError(kUntouched);
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ClassSizeTest,
                         ::testing::Values(0u, static_cast<UINT>(sizeof(WNDCLASSEXA) - 4),
                                           static_cast<UINT>(sizeof(WNDCLASSEXA) + 4)));

TEST_F(WindowClassTest, CreateWindowRefusesAnUnknownClass) {
    Recorder recorder;
    SetLastError(kUntouched);
    EXPECT_EQ(Create(&recorder, "ZelCompatNoSuchClass"), nullptr);
    WINE_DIFFERS("CreateWindowExA sets ERROR_CLASS_DOES_NOT_EXIST for an unknown class");
    EXPECT_LAST_ERROR(ERROR_CANNOT_FIND_WND_CLASS);
}

TEST_F(WindowClassTest, UnregisterRefusesAnUnknownClassAndOneWithWindows) {
    SetLastError(kUntouched);
    EXPECT_FALSE(UnregisterClassA("ZelCompatNoSuchClass", nullptr));
    EXPECT_LAST_ERROR(ERROR_CLASS_DOES_NOT_EXIST);
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    SetLastError(kUntouched);
    EXPECT_FALSE(UnregisterClassA(kClassName, nullptr));
    EXPECT_LAST_ERROR(ERROR_CLASS_HAS_WINDOWS);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(CompatTest, AnUnregisteredClassCreatesNoWindows) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DefWindowProcA;
    windowClass.lpszClassName = "ZelCompatShortLivedClass";
    ASSERT_NE(RegisterClassExA(&windowClass), 0);
    ASSERT_TRUE(UnregisterClassA("zelcompatshortlivedclass", nullptr));
    SetLastError(kUntouched);
    EXPECT_EQ(CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, nullptr, nullptr),
              nullptr);
    WINE_DIFFERS("CreateWindowExA sets ERROR_CLASS_DOES_NOT_EXIST for an unknown class");
    EXPECT_LAST_ERROR(ERROR_CANNOT_FIND_WND_CLASS);
}

// CreateWindowExA finds the test class by its name in any case and by its atom.
enum class ClassRef { kName, kOtherCase, kAtom };

class CreateWindowTest : public WindowTest, public ::testing::WithParamInterface<ClassRef> {};

TEST_P(CreateWindowTest, SendsNcCreateAndCreateWithTheCreationParameters) {
    Recorder recorder;
    LPCSTR name = GetParam() == ClassRef::kName        ? kClassName
                  : GetParam() == ClassRef::kOtherCase ? "zelCOMPATtestCLASS"
                                                       : MAKEINTATOM(atom_);
    HWND window = Create(&recorder, name);
    ASSERT_NE(window, nullptr) << "error " << GetLastError();
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const Call& call : calls) {
        EXPECT_EQ(call.window, window);
        EXPECT_EQ(call.createParams, &recorder);
        EXPECT_EQ(call.createName, "zel compat test");
    }
    EXPECT_EQ(calls[0].message, static_cast<UINT>(WM_NCCREATE));
    EXPECT_EQ(calls[1].message, static_cast<UINT>(WM_CREATE));
    EXPECT_TRUE(DestroyWindow(window));
}

INSTANTIATE_TEST_SUITE_P(ClassRefs, CreateWindowTest,
                         ::testing::Values(ClassRef::kName, ClassRef::kOtherCase, ClassRef::kAtom));

// A procedure that refuses WM_NCCREATE (FALSE) or WM_CREATE (-1) stops the creation; the window
// still gets WM_NCDESTROY, where a procedure frees what it allocated for it.
struct RefusalCase {
    UINT message;
    LRESULT answer;
};

class RefusedCreationTest : public WindowTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedCreationTest, CreateWindowReturnsNullAndTheWindowIsGone) {
    Recorder recorder;
    recorder.Answer(GetParam().message, GetParam().answer);
    EXPECT_EQ(Create(&recorder), nullptr);
    auto calls = recorder.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().message, static_cast<UINT>(WM_NCDESTROY));
    EXPECT_FALSE(IsWindow(calls.back().window));
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedCreationTest,
                         ::testing::Values(RefusalCase{WM_NCCREATE, FALSE},
                                           RefusalCase{WM_CREATE, -1}));

using WindowLifeTest = WindowTest;

TEST_F(WindowLifeTest, DestroyWindowSendsDestroyThenNcDestroyAndInvalidatesTheHandle) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));
    auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2], static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(messages[3], static_cast<UINT>(WM_NCDESTROY));
    EXPECT_FALSE(IsWindow(window));
    SetLastError(kUntouched);
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), 0u);
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(kUntouched);
    EXPECT_FALSE(DestroyWindow(window));
    WINE_DIFFERS("DestroyWindow of a destroyed window sets ERROR_ACCESS_DENIED");
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowLifeTest, ANewWindowNeverGetsTheHandleOfOneJustDestroyed) {
    Recorder recorder;
    HWND previous = nullptr;
    for (int i = 0; i < 20; ++i) {
        HWND window = Create(&recorder);
        ASSERT_NE(window, nullptr);
        EXPECT_NE(window, previous);
        ASSERT_TRUE(DestroyWindow(window));
        previous = window;
    }
}

TEST_F(WindowLifeTest, DefWindowProcAcceptsNcCreateAndDestroysOnClose) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    CREATESTRUCTA create{};
    create.lpszName = "renamed";
    EXPECT_EQ(DefWindowProcA(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)), TRUE);
    EXPECT_EQ(DefWindowProcA(window, WM_APP, 1, 2), 0);
    EXPECT_TRUE(IsWindow(window));
    // The recording procedure leaves WM_CLOSE to DefWindowProcA.
    EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(recorder.Saw(WM_NCDESTROY));
}

LRESULT CALLBACK ReplacementProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_APP + 1 ? 99 : DefWindowProcA(window, message, wParam, lParam);
}

using WindowDataTest = WindowTest;

TEST_F(WindowDataTest, SetWindowLongPtrWndProcReturnsTheOldProcedureAndSwitchesToTheNew) {
    Recorder recorder;
    recorder.Answer(WM_APP + 1, 42);
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, WM_APP + 1, 0, 0), 42);
    LONG_PTR old =
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ReplacementProc));
    EXPECT_EQ(old, reinterpret_cast<LONG_PTR>(&RecordingProc));
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(&ReplacementProc));
    EXPECT_EQ(SendMessageA(window, WM_APP + 1, 0, 0), 99);
    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_WNDPROC, old),
              reinterpret_cast<LONG_PTR>(&ReplacementProc));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(recorder.Saw(WM_NCDESTROY));
}

TEST_F(WindowDataTest, UserDataRoundTripsThroughBothSetters) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 0x1234), 0);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0x1234);
    EXPECT_EQ(SetWindowLongA(window, GWLP_USERDATA, 0x5678), 0x1234);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0x5678);
    EXPECT_TRUE(DestroyWindow(window));
    SetLastError(kUntouched);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

#ifndef _WIN32
// Natively a LONG is narrower than a pointer, so SetWindowLongA cannot carry a procedure; the
// driver uses SetWindowLongPtrA, which on 32-bit Windows is SetWindowLongA.
TEST_F(WindowDataTest, SetWindowLongWndProcIsRefusedOnWideHosts) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    SetLastError(kUntouched);
    EXPECT_EQ(SetWindowLongA(window, GWLP_WNDPROC, 0), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&RecordingProc));
    EXPECT_TRUE(DestroyWindow(window));
}
#endif

TEST_F(WindowDataTest, PropertiesAreSetFoundAndRemovedByCaseInsensitiveName) {
    Recorder recorder;
    HWND window = Create(&recorder);
    ASSERT_NE(window, nullptr);
    int a = 0;
    int b = 0;
    EXPECT_EQ(GetPropA(window, "ZelSlot"), nullptr);
    EXPECT_EQ(RemovePropA(window, "ZelSlot"), nullptr);
    ASSERT_TRUE(SetPropA(window, "ZelSlot", &a));
    EXPECT_EQ(GetPropA(window, "zelslot"), &a);
    ASSERT_TRUE(SetPropA(window, "ZELSLOT", &b));
    EXPECT_EQ(GetPropA(window, "ZelSlot"), &b);
    EXPECT_EQ(RemovePropA(window, "zelSLOT"), &b);
    EXPECT_EQ(GetPropA(window, "ZelSlot"), nullptr);
    EXPECT_EQ(RemovePropA(window, "ZelSlot"), nullptr);
    EXPECT_TRUE(DestroyWindow(window));
    SetLastError(kUntouched);
    EXPECT_FALSE(SetPropA(window, "ZelSlot", &a));
    EXPECT_LAST_ERROR(ERROR_INVALID_WINDOW_HANDLE);
}

}  // namespace
}  // namespace compat_test
