/* The control device of the test HID minidriver (\\.\ZelUsbControl): what the bench and the
 * driver exchange. Shared by the driver (C) and the bench (C++). */
#pragma once

#define ZELUSB_SLOTS 8
/* The longest report a test device has, report ID included. */
#define ZELUSB_MAX_REPORT 72

/* Push one input report (report ID first) into a device: in ZELUSB_INPUT. A read the HID class
 * has pending on the device completes with it; otherwise it waits in the device's queue. */
#define IOCTL_ZELUSB_PUSH_INPUT \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Take the oldest output report any device was given: out ZELUSB_OUTPUT. Waits until there is
 * one; cancellable. */
#define IOCTL_ZELUSB_TAKE_OUTPUT \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* The state of a slot: in one ULONG, the slot; out three: 0 free, 1 a device is up, 2 it is being
 * removed; the number of handles programs hold open on its HID device; 1 while the HID class has
 * a read waiting for the device's next input report. */
#define IOCTL_ZELUSB_SLOT_STATE \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Where the output reports are: out ZELUSB_OUTPUT_STATE, read in one go. */
#define IOCTL_ZELUSB_OUTPUT_STATE \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct {
    unsigned long slot;
    unsigned long length;
    unsigned char data[ZELUSB_MAX_REPORT];
} ZELUSB_INPUT;

typedef struct {
    unsigned long queued; /* written by programs, not taken yet */
    unsigned long taken;  /* handed to takes since the driver loaded (wraps) */
} ZELUSB_OUTPUT_STATE;

typedef struct {
    unsigned long slot;
    unsigned long generation;
    unsigned long length;
    unsigned char data[ZELUSB_MAX_REPORT];
} ZELUSB_OUTPUT;
