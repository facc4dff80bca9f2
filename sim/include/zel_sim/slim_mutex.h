// The simulators' mutex. In the Windows build std::mutex (winpthreads) creates an event the first
// time it is contended and keeps it for the mutex's life, so a check that counts a process's
// handles before and after a sequence of driver calls would count the simulator's own contention
// as the driver's leak. A slim reader/writer lock holds no handle at all.
#pragma once

#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelsim {

#if defined(_WIN32)
class SlimMutex {
  public:
    SlimMutex() = default;
    SlimMutex(const SlimMutex&) = delete;
    SlimMutex& operator=(const SlimMutex&) = delete;

    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    PSRWLOCK native_handle() { return &m_lock; }

  private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};
#else
using SlimMutex = std::mutex;
#endif

}  // namespace zelsim
