// A field of the driver object that both threads touch without a lock.
#pragma once

#include <atomic>

// Holds a plain 32-bit (or pointer) value that one thread writes and another reads. Every access is
// a relaxed atomic load or store: on x86 that is the same aligned move as a plain field, but it is
// well-defined C++, so a reader sees the old or the new value and never a torn one. Ordering
// between the threads comes from the completion event and the message queue, never from these
// fields.
template <typename T>
class SharedField {
    static_assert(std::atomic<T>::is_always_lock_free, "a shared field must be lock-free");

  public:
    constexpr SharedField() noexcept : m_value{} {}
    constexpr explicit SharedField(T value) noexcept : m_value{value} {}
    SharedField(const SharedField&) = delete;
    SharedField& operator=(const SharedField&) = delete;

    T Load() const noexcept { return m_value.load(std::memory_order_relaxed); }
    void Store(T value) noexcept { m_value.store(value, std::memory_order_relaxed); }

    operator T() const noexcept { return Load(); }
    SharedField& operator=(T value) noexcept {
        Store(value);
        return *this;
    }

  private:
    std::atomic<T> m_value;
};
