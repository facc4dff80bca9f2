// The driver's live heap blocks. The driver allocates only with nothrow new (see
// docs/ARCHITECTURE.md); those calls and every delete are wrapped at link time (see
// CMakeLists.txt), and the blocks that nothrow new handed out and nobody has freed yet are kept in
// a fixed table, so that the count itself allocates nothing.
#include "soak_alloc.h"

#include <cstdint>
#include <mutex>
#include <new>

namespace {

constexpr std::size_t kSlots = 1 << 14;

std::mutex& TableLock() {
    static std::mutex lock;
    return lock;
}
void* g_blocks[kSlots];
std::size_t g_live = 0;
std::size_t g_overflow = 0;

std::size_t SlotOf(const void* block) {
    return (reinterpret_cast<std::uintptr_t>(block) >> 4) * 2654435761u % kSlots;
}

void Remember(void* block) {
    if (block == nullptr) return;
    std::lock_guard<std::mutex> hold(TableLock());
    for (std::size_t i = 0, slot = SlotOf(block); i < kSlots; ++i, slot = (slot + 1) % kSlots) {
        if (g_blocks[slot] == nullptr) {
            g_blocks[slot] = block;
            ++g_live;
            return;
        }
    }
    ++g_overflow;
}

void Forget(void* block) {
    if (block == nullptr) return;
    std::lock_guard<std::mutex> hold(TableLock());
    // Linear probing with deletion by back-shifting, so that lookups never stop early.
    std::size_t slot = SlotOf(block);
    for (std::size_t i = 0; i < kSlots; ++i, slot = (slot + 1) % kSlots) {
        if (g_blocks[slot] == nullptr) return;  // not one of the driver's
        if (g_blocks[slot] == block) break;
    }
    if (g_blocks[slot] != block) return;
    g_blocks[slot] = nullptr;
    --g_live;
    std::size_t hole = slot;
    for (std::size_t next = (hole + 1) % kSlots; g_blocks[next] != nullptr;
         next = (next + 1) % kSlots) {
        const std::size_t home = SlotOf(g_blocks[next]);
        const bool movable =
            hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            g_blocks[hole] = g_blocks[next];
            g_blocks[next] = nullptr;
            hole = next;
        }
    }
}

}  // namespace

std::size_t DriverLiveBlocks() {
    std::lock_guard<std::mutex> hold(TableLock());
    return g_live + g_overflow;
}

extern "C" {
void* __real__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);
void* __real__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);
void __real__ZdlPv(void* block);
void __real__ZdaPv(void* block);
void __real__ZdlPvm(void* block, std::size_t size);

void* __wrap__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
    void* block = __real__ZnwmRKSt9nothrow_t(size, tag);
    Remember(block);
    return block;
}
void* __wrap__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
    void* block = __real__ZnamRKSt9nothrow_t(size, tag);
    Remember(block);
    return block;
}
void __wrap__ZdlPv(void* block) {
    Forget(block);
    __real__ZdlPv(block);
}
void __wrap__ZdaPv(void* block) {
    Forget(block);
    __real__ZdaPv(block);
}
void __wrap__ZdlPvm(void* block, std::size_t size) {
    Forget(block);
    __real__ZdlPvm(block, size);
}
}
