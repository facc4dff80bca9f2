// The calling thread's last-error code.
#include <windows.h>

namespace {

// Each thread has its own code, as on Windows; calls that succeed leave it alone.
thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

DWORD WINAPI GetLastError() { return t_lastError; }

void WINAPI SetLastError(DWORD code) { t_lastError = code; }
