// An idle poll tick must not allocate: the worker runs one every 100 ms for as long as the host
// keeps the driver open. The driver's allocation calls are wrapped at link time (see
// CMakeLists.txt) and counted while a tick runs on this thread.
#include <gtest/gtest.h>
#include <zel_compat/seams.h>
#include <zel_compat/hid.h>

#include <cstddef>
#include <cstdlib>
#include <new>

#include "driver/driver.h"

namespace {

thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;

void Count() {
    if (t_counting) ++t_allocations;
}

}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __real__Znwm(std::size_t size);
void* __real__Znam(std::size_t size);
void* __real__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);
void* __real__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);

void* __wrap_malloc(std::size_t size) {
    Count();
    return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
    Count();
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
    Count();
    return __real_realloc(block, size);
}
void* __wrap__Znwm(std::size_t size) {
    Count();
    return __real__Znwm(size);
}
void* __wrap__Znam(std::size_t size) {
    Count();
    return __real__Znam(size);
}
void* __wrap__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
    Count();
    return __real__ZnwmRKSt9nothrow_t(size, tag);
}
void* __wrap__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
    Count();
    return __real__ZnamRKSt9nothrow_t(size, tag);
}
}

namespace {

TEST(IdleTickAllocationTest, AnIdleTickWithTheDisplayOpenAllocatesNothingInTheDriver) {
    zelcompat::UseManualClock(1000);
    // A display that sends nothing, without the simulator, whose own allocations would count here.
    zelcompat::VirtualHidIdentity identity;
    identity.vendorId = 0x04D8;
    identity.productId = 0xABD7;
    identity.versionNumber = 0xF100;
    const zelcompat::HidDeviceId display = zelcompat::AddHidDevice(identity, nullptr);
    g_driver.m_useHid = 1;
    ASSERT_EQ(g_driver.FindDisplay(), 1);
    // One tick first: the layer registers this thread at its first read, once. In unoptimised
    // builds the layer's inline allocator code may resolve to this program's wrapped copy.
    g_driver.Poll();
    // The wrapping must be in place, or the count below proves nothing.
    t_counting = true;
    std::uint8_t* volatile array = new (std::nothrow) std::uint8_t[4];
    delete[] array;
    void* volatile block = std::malloc(4);
    std::free(block);
    const std::size_t probe = t_allocations;
    t_allocations = 0;
    for (int tick = 0; tick < 50; ++tick) g_driver.Poll();
    const std::size_t inTicks = t_allocations;
    t_counting = false;

    EXPECT_EQ(probe, 2u) << "the allocation calls are not wrapped";
    EXPECT_EQ(inTicks, 0u);
    g_driver.CloseTransport();
    zelcompat::RemoveHidDevice(display);
    zelcompat::UseRealClock();
}

}  // namespace
