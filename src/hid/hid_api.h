// The platform's SetupAPI and HID class library declarations, in the order they need.
#pragma once

#include <windows.h>

#if defined(_WIN32)
// mingw-w64's HID headers declare their functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#else
#include <hidsdi.h>
#endif
#include <setupapi.h>
