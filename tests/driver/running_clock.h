// Moves the manual clock on a millisecond at a time from another thread for as long as it lives,
// so that a worker spinning on the tick count (the hello exchange, the serial identification)
// gets through its waits. With a pause, each millisecond lasts at least that long in real time:
// for waits on a display whose answers travel a real pseudo-terminal.
#pragma once

#include <zel_compat/seams.h>

#include <atomic>
#include <chrono>
#include <thread>

class RunningClock {
  public:
    explicit RunningClock(std::chrono::microseconds pause = std::chrono::microseconds(0))
        : m_thread([this, pause] {
              while (!m_stop.load()) {
                  zelcompat::AdvanceTicks(1);
                  if (pause.count() == 0) {
                      std::this_thread::yield();
                  } else {
                      std::this_thread::sleep_for(pause);
                  }
              }
          }) {}
    ~RunningClock() {
        m_stop.store(true);
        m_thread.join();
    }
    RunningClock(const RunningClock&) = delete;
    RunningClock& operator=(const RunningClock&) = delete;

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
