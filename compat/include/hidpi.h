// The HID parsing subset that ZEL uses (HidP_GetCaps), for POSIX hosts; see hidsdi.h.
#pragma once

#if defined(_WIN32)
#error "compat/include must not be on the include path of a Windows build"
#endif

extern "C++" {
#include <windows.h>
}

#define NTAPI

using NTSTATUS = LONG;
using USAGE = USHORT;
using PUSAGE = USAGE*;

// Parsed report descriptors of HidD_GetPreparsedData: an opaque key, valid until
// HidD_FreePreparsedData.
struct _HIDP_PREPARSED_DATA;
using PHIDP_PREPARSED_DATA = _HIDP_PREPARSED_DATA*;

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
using PHIDP_CAPS = HIDP_CAPS*;

#define FACILITY_HID_ERROR_CODE 0x11
#define HIDP_ERROR_CODES(SEV, CODE)                                                            \
    (static_cast<NTSTATUS>((static_cast<ULONG>(SEV) << 28) | (FACILITY_HID_ERROR_CODE << 16) | \
                           (CODE)))
#define HIDP_STATUS_SUCCESS (HIDP_ERROR_CODES(0x0, 0))
#define HIDP_STATUS_INVALID_PREPARSED_DATA (HIDP_ERROR_CODES(0xC, 1))

extern "C" {

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities);

}  // extern "C"
