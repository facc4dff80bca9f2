// The other program's side of the shared control block, for tests that play it in process: it
// makes the section and reads and writes the words.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver/driver.h"

class OtherProgram {
  public:
    explicit OtherProgram(DWORD size = kSharedViewLength) {
        m_section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                       kSharedSectionName);
        if (m_section != nullptr) {
            m_block = static_cast<SharedControlBlock*>(
                MapViewOfFile(m_section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        }
    }
    ~OtherProgram() {
        if (m_block != nullptr) UnmapViewOfFile(m_block);
        if (m_section != nullptr) CloseHandle(m_section);
    }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;

    bool Ready() const { return m_block != nullptr; }
    std::int32_t Word() const { return __atomic_load_n(&m_block->stateWord, __ATOMIC_ACQUIRE); }
    void Write(std::int32_t value) {
        if (m_block != nullptr) __atomic_store_n(&m_block->stateWord, value, __ATOMIC_RELEASE);
    }
    std::uint32_t Id1() const { return __atomic_load_n(&m_block->idWord1, __ATOMIC_ACQUIRE); }
    std::uint32_t Id2() const { return __atomic_load_n(&m_block->idWord2, __ATOMIC_ACQUIRE); }
    void ClearIds() {
        __atomic_store_n(&m_block->idWord1, 0u, __ATOMIC_RELEASE);
        __atomic_store_n(&m_block->idWord2, 0u, __ATOMIC_RELEASE);
    }

  private:
    HANDLE m_section = nullptr;
    SharedControlBlock* m_block = nullptr;
};
