// The shared control block: another program on the machine borrows the display through three
// words in a named section, and the driver looks at them first thing in every tick.
//
// Both processes write the block without a lock. The driver reads stateWord once per tick and
// writes whole aligned words; each access is atomic, and the words that answer a pause are
// written before the answer itself.
#include "driver/driver.h"

namespace {

std::int32_t LoadWord(const std::int32_t& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }

template <typename T>
void StoreWord(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}

// What the driver publishes for its port: the number, unless the other program would take it for
// a request or an answer (COM101, COM102, COM200 and up). Those are published as 0, "no port
// known", so that the driver never reads its own number back as a pause or a resume.
std::int32_t PublishedPortNumber(std::int32_t portNumber) {
    if (portNumber == kPauseRequest || portNumber == kPausedAnswer ||
        portNumber >= kResumeRequest) {
        return 0;
    }
    return portNumber;
}

}  // namespace

int CBrailleSampleDriver::ServiceSharedBlock() {
    if (m_sectionHandle == nullptr) {
        // Tried on every tick until the other program has made the section. The view of a section
        // too short for it is never made; the block is then ignored for good.
        const HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, TRUE, kSharedSectionName);
        if (section != nullptr) {
            m_sectionHandle = section;
            m_blockView = static_cast<SharedControlBlock*>(
                MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, kSharedViewLength));
        }
        return 1;
    }
    if (m_blockView == nullptr) return 1;

    const std::int32_t word = LoadWord(m_blockView->stateWord);
    if (word >= kResumeRequest) {
        StoreWord(m_blockView->stateWord, word - kResumeRequest);
        SetSharedPause(0);
        // Attached again on the next tick, which then acts on what is left in the word.
        DetachSharedBlock();
        return 1;
    }
    if (m_sharedPause != 0) return 0;
    if (word == kPauseRequest) {
        SetSharedPause(1);
        // The link is closed before the other program can see the answer.
        StoreWord(m_blockView->idWord1, static_cast<std::uint32_t>(m_deviceId1));
        StoreWord(m_blockView->idWord2, static_cast<std::uint32_t>(m_deviceId2));
        StoreWord(m_blockView->stateWord, kPausedAnswer);
        // Nothing more this tick: the USB branch would find the display again at once and hold it
        // while the other program believes it free.
        return 0;
    }
    StoreWord(m_blockView->stateWord, PublishedPortNumber(m_portNumber));
    return 1;
}

void CBrailleSampleDriver::SetSharedPause(int flag) {
    if (flag != 0) {
        m_sharedPause = 1;
        CloseTransport();
        return;
    }
    const std::int32_t wasPaused = m_sharedPause;
    m_sharedPause = 0;
    // While the host has the driver suspended, its own resume takes the display back.
    if (m_suspended != 0) return;
    // A resume that ends no pause leaves a working display alone. Without one it is the other
    // program's only way to try again: after a resume whose reopen failed (it still held the
    // port, say), nothing else would bring the display back until the host suspended and resumed.
    if (wasPaused == 0 && TransportIsOpen()) return;
    // The other program may have left its own cells on the display, and the host may have written
    // meanwhile: the display gets the host's current image back.
    if (OpenTransport(m_portName) != 0) ResendImage();
}

void CBrailleSampleDriver::DetachSharedBlock() {
    if (m_blockView != nullptr) UnmapViewOfFile(m_blockView);
    if (m_sectionHandle != nullptr) CloseHandle(m_sectionHandle);
    m_blockView = nullptr;
    m_sectionHandle = nullptr;
}
