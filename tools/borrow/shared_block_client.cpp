// The other program's side of the shared control block. See shared_block_client.h.
#include "shared_block_client.h"

namespace {

// How often the state word is looked at while waiting; the driver looks at it every 100 ms.
constexpr DWORD kPollMs = 10;

std::string CallFailed(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

// A value the driver publishes as its port number: anything below 200 but the request and the
// answer, and not the mark this side writes while it waits.
bool IsPortNumber(std::int32_t word) {
    return word >= 0 && word < SharedBlockClient::kResumeRequest &&
           word != SharedBlockClient::kPauseRequest && word != SharedBlockClient::kPausedAnswer;
}

}  // namespace

bool SharedBlockClient::Open(std::string& error) {
    Close();
    // This side makes the section; the driver only opens it. If it is there already (the driver
    // holds it between two borrowings, or another program has made it), this opens it.
    m_section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionLength,
                                   kSectionName);
    if (m_section == nullptr) {
        error = CallFailed("CreateFileMappingA");
        return false;
    }
    m_words =
        static_cast<std::int32_t*>(MapViewOfFile(m_section, FILE_MAP_WRITE, 0, 0, kSectionLength));
    if (m_words == nullptr) {
        error = CallFailed("MapViewOfFile");
        Close();
        return false;
    }
    return true;
}

BlockWait SharedBlockClient::WaitForDriver(DWORD timeoutMs, const std::function<bool()>& stop,
                                           std::int32_t& port) {
    // A section made just now holds 0, which is also what a driver without a port publishes; a
    // request, an answer or another program's mark means someone else is at it.
    const std::int32_t found = LoadState();
    if (!IsPortNumber(found)) {
        port = found;
        return BlockWait::Busy;
    }
    StoreState(kNotYetPublished);
    const BlockWait result =
        WaitFor([](std::int32_t word) { return word != kNotYetPublished; }, timeoutMs, stop);
    if (result != BlockWait::Done) return result;
    port = LoadState();
    return IsPortNumber(port) ? BlockWait::Done : BlockWait::Busy;
}

BlockWait SharedBlockClient::RequestDisplay(DWORD timeoutMs, const std::function<bool()>& stop,
                                            std::uint8_t& id1, std::uint8_t& id2) {
    m_requested = true;
    StoreState(kPauseRequest);
    const BlockWait result =
        WaitFor([](std::int32_t word) { return word == kPausedAnswer; }, timeoutMs, stop);
    if (result != BlockWait::Done) return result;
    // The driver writes the identification words before its answer.
    id1 = static_cast<std::uint8_t>(__atomic_load_n(&m_words[1], __ATOMIC_ACQUIRE));
    id2 = static_cast<std::uint8_t>(__atomic_load_n(&m_words[2], __ATOMIC_ACQUIRE));
    return BlockWait::Done;
}

void SharedBlockClient::HandBack(std::int32_t leave) {
    if (!m_requested) return;
    // Both callers hand back the same value, so it may be set before the one write is claimed.
    m_handBackValue = kResumeRequest + leave;
    if (m_handedBack.exchange(true)) return;
    StoreState(kResumeRequest + leave);
}

BlockWait SharedBlockClient::WaitForHandBack(DWORD timeoutMs) {
    const std::int32_t handBack = m_handBackValue;
    // No stop condition: once asked, the hand-back is waited for to the end.
    return WaitFor([handBack](std::int32_t word) { return word != handBack; }, timeoutMs,
                   [] { return false; });
}

void SharedBlockClient::Close() {
    if (m_words != nullptr) UnmapViewOfFile(m_words);
    if (m_section != nullptr) CloseHandle(m_section);
    m_words = nullptr;
    m_section = nullptr;
}

std::int32_t SharedBlockClient::LoadState() const {
    return __atomic_load_n(&m_words[0], __ATOMIC_ACQUIRE);
}

void SharedBlockClient::StoreState(std::int32_t value) {
    __atomic_store_n(&m_words[0], value, __ATOMIC_RELEASE);
}

BlockWait SharedBlockClient::WaitFor(const std::function<bool(std::int32_t)>& done, DWORD timeoutMs,
                                     const std::function<bool()>& stop) const {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done(LoadState())) return BlockWait::Done;
        if (stop()) return BlockWait::Interrupted;
        if (GetTickCount() - start > timeoutMs) return BlockWait::TimedOut;
        Sleep(kPollMs);
    }
}
