// Helpers shared by the conformance cases.
#include "support.h"

#include <algorithm>
#include <memory>

namespace compat_test {
namespace {

unsigned __stdcall RunBody(void* argument) {
    std::unique_ptr<std::function<unsigned()>> body(
        static_cast<std::function<unsigned()>*>(argument));
    return (*body)();
}

constexpr const char* kRecorderProp = "ZelCompatRecorder";

// The messages a Recorder keeps.
bool OfInterest(UINT message) {
    return message == WM_NCCREATE || message == WM_CREATE || message == WM_DESTROY ||
           message == WM_NCDESTROY || message == WM_TIMER || message == WM_CLOSE ||
           message >= WM_APP;
}

}  // namespace

HANDLE StartThread(std::function<unsigned()> body, DWORD* threadId) {
    auto* heapBody = new std::function<unsigned()>(std::move(body));
    unsigned id = 0;
    std::uintptr_t handle = _beginthreadex(nullptr, 0, &RunBody, heapBody, 0, &id);
    if (handle == 0) {
        delete heapBody;
        ADD_FAILURE() << "_beginthreadex failed";
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<HANDLE>(handle);
}

DWORD JoinThread(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), kWaitObject0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_TRUE(CloseHandle(thread));
    return exitCode;
}

void PassTime(DWORD milliseconds) {
#ifdef _WIN32
    Sleep(milliseconds);
#else
    zelcompat::AdvanceTicks(milliseconds);
#endif
}

void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
}

void CompatTest::SetUp() {
#ifndef _WIN32
    zelcompat::UseManualClock(0x00100000);
    handles_ = zelcompat::LiveHandleCount();
    windows_ = zelcompat::LiveWindowCount();
#endif
    DrainQueue();
}

void CompatTest::TearDown() {
    DrainQueue();
#ifndef _WIN32
    EXPECT_EQ(zelcompat::LiveHandleCount(), handles_) << "the case leaked handles";
    EXPECT_EQ(zelcompat::LiveWindowCount(), windows_) << "the case leaked windows";
    zelcompat::UseRealClock();
#endif
}

void Recorder::Answer(UINT message, LRESULT result) {
    std::lock_guard<std::mutex> guard(mutex_);
    answers_.emplace_back(message, result);
}

std::vector<Call> Recorder::Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
}

std::vector<UINT> Recorder::Messages() const {
    std::vector<UINT> messages;
    for (const Call& call : Calls()) {
        messages.push_back(call.message);
    }
    return messages;
}

bool Recorder::Saw(UINT message) const {
    auto messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

void Recorder::Record(const Call& call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(call);
}

bool Recorder::Answers(UINT message, LRESULT* result) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& answer : answers_) {
        if (answer.first == message) {
            *result = answer.second;
            return true;
        }
    }
    return false;
}

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetPropA(window, kRecorderProp, create->lpCreateParams);
    }
    auto* recorder = static_cast<Recorder*>(GetPropA(window, kRecorderProp));
    if (message == WM_NCDESTROY) {
        RemovePropA(window, kRecorderProp);
    }
    if (recorder == nullptr) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    if (OfInterest(message)) {
        Call call;
        call.window = window;
        call.message = message;
        call.wParam = wParam;
        call.lParam = lParam;
        call.threadId = GetCurrentThreadId();
        if (message == WM_NCCREATE || message == WM_CREATE) {
            auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            call.createParams = create->lpCreateParams;
            call.createName = create->lpszName != nullptr ? create->lpszName : "";
        }
        recorder->Record(call);
    }
    LRESULT result;
    if (recorder->Answers(message, &result)) {
        return result;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void WindowTest::SetUp() {
    CompatTest::SetUp();
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &RecordingProc;
    windowClass.lpszClassName = kClassName;
    atom_ = RegisterClassExA(&windowClass);
    ASSERT_NE(atom_, 0) << "error " << GetLastError();
}

void WindowTest::TearDown() {
    DrainQueue();
    EXPECT_TRUE(UnregisterClassA(kClassName, nullptr)) << "error " << GetLastError();
    CompatTest::TearDown();
}

HWND WindowTest::Create(Recorder* recorder, LPCSTR className) {
    return CreateWindowExA(0, className, "zel compat test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, recorder);
}

}  // namespace compat_test
