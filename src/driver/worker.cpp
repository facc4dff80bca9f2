// The worker thread and the command channel between the host's slots and it.
#include <process.h>

#include <cstring>
#include <new>

#include "driver/driver.h"

namespace {

// The waiting commands: the only ones that a slot posts and then waits for.
bool IsWaitingCommand(std::uint32_t code) {
    return code == CmdOpenPort || code == CmdClosePort || code == CmdSuspend;
}

bool IsCommandMessage(const MSG& msg) {
    return msg.hwnd == nullptr && msg.message >= kCommandMessageBase &&
           msg.message <= kLastCommandMessage;
}

}  // namespace

int CBrailleSampleDriver::StartWorker() {
    unsigned threadId = 0;
    m_abandonWorker.store(0);
    // Each worker counts its own completions. A waiting command that an earlier worker never
    // handled (it ended first) would otherwise keep the counts apart, and every later waiting
    // slot, Open's included, would wait for ever.
    m_waitsPosted = 0;
    m_waitsHandled = 0;
    m_thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &CBrailleSampleDriver::WorkerThreadProc, this, 0, &threadId));
    if (m_thread != nullptr) SetThreadPriority(m_thread, THREAD_PRIORITY_ABOVE_NORMAL);
    m_threadId = threadId;
    return m_thread != nullptr ? 1 : 0;
}

unsigned __stdcall CBrailleSampleDriver::WorkerThreadProc(void* driver) {
    static_cast<CBrailleSampleDriver*>(driver)->RunMessageLoop();
    return 0;
}

void CBrailleSampleDriver::RunMessageLoop() {
    MSG msg;
    // The first look at the queue creates it; from then on posts to this thread succeed.
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // A host that stopped waiting for this thread to become ready has forgotten it already.
    if (m_abandonWorker.load() != 0) return;
    SetEvent(m_commandDone);
    m_timerId = SetTimer(nullptr, 0, kPollPeriodMs, nullptr);

    for (int running = 1; running != 0;) {
        // WM_QUIT (0) and a failed retrieval (-1) do not end the loop: only CmdStop does.
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) continue;
        if (IsCommandMessage(msg)) {
            running = HandleCommand(msg.message - kCommandMessageBase,
                                    reinterpret_cast<std::uint8_t*>(msg.wParam),
                                    static_cast<std::uint32_t>(msg.lParam));
        } else if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
            running = HandleCommand(CmdPoll, nullptr, 0);
        } else {
            DispatchMessageA(&msg);
        }
    }

    const UINT_PTR timer = m_timerId;
    if (timer != 0) KillTimer(nullptr, timer);
    m_timerId = 0;
    // A tick that came between the host's close and the stop may have found the USB display
    // again (or a resume by the other program may have reopened the link): nobody would ever
    // close those handles, so the link is let go here, without blanking (the close did that).
    CloseTransport();
    // Commands posted after the stop are never handled; their payloads are still ours to free.
    while (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), kCommandMessageBase, kLastCommandMessage,
                        PM_REMOVE)) {
        delete[] reinterpret_cast<std::uint8_t*>(msg.wParam);
    }
}

int CBrailleSampleDriver::HandleCommand(std::uint32_t code, std::uint8_t* payload,
                                        std::uint32_t param) {
    // A write's count describes its payload; without a payload there are no cells to read.
    const std::uint32_t cellCount = payload != nullptr ? param : 0;
    switch (code) {
        case CmdOpenPort:
            m_openResult = OpenTransport(reinterpret_cast<const char*>(payload));
            break;
        case CmdClosePort:
            // The host lets the display go: blank it first, unless it was suspended (then it is
            // not ours). Blanking later, through a queued clear, could blank a display that the
            // poll cycle had found again, while the host believes it shows text.
            if (m_suspended == 0) BlankBeforeClose();
            CloseTransport();
            break;
        case CmdSuspend:
            if (param != 0) {
                CloseTransport();
            } else if (m_sharedPause == 0) {
                OpenTransport(m_portName);
            }
            // While the display is lent to another program, its resume takes the display back.
            break;
        case CmdWriteMain:
            WriteMainCells(payload, cellCount);
            break;
        case CmdWriteAll:
            WriteAllCells(payload, cellCount);
            break;
        case CmdClear:
            ClearCells();
            break;
        case CmdPoll:
            Poll();
            break;
        default:  // CmdStop, CmdNone and unknown codes do nothing here.
            break;
    }
    delete[] payload;
    if (IsWaitingCommand(code)) m_waitsHandled = m_waitsHandled + 1;
    SetEvent(m_commandDone);
    return code == CmdStop ? 0 : 1;
}

int CBrailleSampleDriver::PostCommand(DriverCommand code, const void* data, std::uint32_t count,
                                      int wait) {
    if (m_thread == nullptr) return 0;

    std::uint8_t* payload = nullptr;
    if (data != nullptr && count != 0) {
        // count + 1 bytes: the copy is always followed by a zero, so a string arrives terminated.
        payload = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(count) + 1]();
        if (payload == nullptr) return 0;
        std::memcpy(payload, data, count);
    }

    const std::uint32_t ticket = wait != 0 ? m_waitsPosted + 1 : 0;
    ResetEvent(m_commandDone);
    const BOOL posted =
        PostThreadMessageA(m_threadId, kCommandMessageBase + code,
                           reinterpret_cast<WPARAM>(payload), static_cast<LPARAM>(count));
    if (!posted) {
        // The payload was never handed over, and no completion will come for it.
        delete[] payload;
        return 0;
    }
    if (wait == 0) return posted;

    m_waitsPosted = ticket;
    WaitForCompletion(ticket);
    return posted;
}

void CBrailleSampleDriver::WaitForCompletion(std::uint32_t ticket) {
    const auto handled = [this, ticket] {
        // Wrap-safe "m_waitsHandled has reached ticket".
        return static_cast<std::int32_t>(m_waitsHandled - ticket) >= 0;
    };
    // The thread's handle is waited on too: a worker that has ended will complete nothing more.
    const HANDLE handles[2] = {m_commandDone, m_thread};
    for (;;) {
        const DWORD result =
            MsgWaitForMultipleObjects(2, handles, FALSE, kWorkerWaitMs, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) {
            if (handled()) return;
            // Another command or a tick set the event. Reset it, then look again, so that a
            // completion landing between the two is not missed.
            ResetEvent(m_commandDone);
            if (handled()) return;
        } else if (result == WAIT_OBJECT_0 + 1 || result == WAIT_FAILED) {
            return;
        } else if (result == WAIT_OBJECT_0 + 2) {
            // Another thread sent this thread a message: run everything now queued here, so the
            // host's own windows (the key window among them) stay responsive while the slot waits.
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        // A time-out only renews the wait: the slot waits until its command has been handled.
    }
}
