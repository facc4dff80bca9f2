/* A hid.dll of the test's own, planted where a careless install could leave one: beside the host
 * program and in its current folder. Loaded, it says so through a named event that lives as long
 * as it is loaded; its functions find no device. The driver must never load it. */
#include <windows.h>

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} PLANTED_ATTRIBUTES;

static HANDLE g_loaded;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        g_loaded = CreateEventA(NULL, TRUE, TRUE, "zel_planted_hid_loaded");
    return TRUE;
}

__declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID* guid) { ZeroMemory(guid, sizeof *guid); }
__declspec(dllexport) BOOLEAN WINAPI
    HidD_GetAttributes(HANDLE device, PLANTED_ATTRIBUTES* attributes) {
    (void)device;
    (void)attributes;
    return FALSE;
}
__declspec(dllexport) BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, void** data) {
    (void)device;
    *data = NULL;
    return FALSE;
}
__declspec(dllexport) BOOLEAN WINAPI HidD_FreePreparsedData(void* data) {
    (void)data;
    return FALSE;
}
__declspec(dllexport) LONG WINAPI HidP_GetCaps(void* data, void* caps) {
    (void)data;
    (void)caps;
    return 0;
}
