// zel.dll's own allocation functions, over the C runtime's malloc and free.
//
// The driver allocates only with nothrow new (a failed allocation is a null pointer it checks) and
// never throws or catches. The static C++ runtime's allocation functions are written with
// exceptions (the nothrow forms call the throwing ones inside a try block), and with them come
// the runtime's unwinder, its terminate handler and that handler's symbol demangler: about three
// quarters of the DLL. These do what the runtime's do for the driver, without any of that. The
// DLL's code is built without exceptions and without run-time type information, so nothing else
// brings them back; the native build keeps its platform's functions (the sanitizers replace them).
#include <cstdlib>
#include <new>

// malloc(0) may return null, which the caller would take for a failure; new never does.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
