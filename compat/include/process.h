// The C runtime's thread-start function, declared for POSIX hosts (see windows.h beside this file).
#pragma once

#include <windows.h>

#include <cstdint>

using ZelThreadStart = unsigned(__stdcall*)(void*);

// Starts a thread at `start` with `argument`; returns its handle (0 on failure) and stores its id
// in `*threadId` when that pointer is not null. Only the default security and stack size and a
// thread that runs at once (`initFlag` 0) are supported.
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, ZelThreadStart start,
                              void* argument, unsigned initFlag, unsigned* threadId);
