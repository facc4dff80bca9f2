/* A HID minidriver for test devices that exist only in software.
 *
 * Each root device of the service becomes one HID device whose identity numbers and report
 * lengths the bench wrote into the service's Parameters key just before it created the device;
 * the same key names the device's slot (0 to ZELUSB_SLOTS - 1). A control device,
 * \\.\ZelUsbControl, is the bench's side of every device: it pushes input reports into a slot
 * and takes the output reports that programs wrote, in the order they were written, each tagged
 * with its slot. The report descriptor is a vendor page with one collection of byte-wide input
 * and output fields and no report IDs, so the HID class hands reports to and from this driver
 * without the report ID byte.
 *
 * Built with -nostdlib: it imports only ntoskrnl.exe, hal.dll and hidclass.sys. */
#include <ntddk.h>
#include <hidusage.h>
#include <hidclass.h>

#include "zelusb_control.h"

/* ---- What the HID class expects of a minidriver (not declared by mingw's DDK headers) ---- */

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} MINIDRIVER_REGISTRATION;

typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HIDCLASS_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} DEVICE_DESCRIPTOR;
#pragma pack(pop)

NTSTATUS NTAPI HidRegisterMinidriver(MINIDRIVER_REGISTRATION* registration);

#define HID_CODE(n) CTL_CODE(FILE_DEVICE_KEYBOARD, (n), METHOD_NEITHER, FILE_ANY_ACCESS)
#define CODE_GET_DEVICE_DESCRIPTOR HID_CODE(0)
#define CODE_GET_REPORT_DESCRIPTOR HID_CODE(1)
#define CODE_READ_REPORT HID_CODE(2)
#define CODE_WRITE_REPORT HID_CODE(3)
#define CODE_GET_STRING HID_CODE(4)
#define CODE_GET_DEVICE_ATTRIBUTES HID_CODE(9)

/* ---- Freestanding helpers ---- */

void* memcpy(void* to, const void* from, size_t n);
void* memset(void* to, int value, size_t n);

void* memcpy(void* to, const void* from, size_t n) {
    unsigned char* d = to;
    const unsigned char* s = from;
    while (n--) *d++ = *s++;
    return to;
}

void* memset(void* to, int value, size_t n) {
    unsigned char* d = to;
    while (n--) *d++ = (unsigned char)value;
    return to;
}

/* ---- State ---- */

#define INPUT_QUEUE 64
#define OUTPUT_QUEUE 256

typedef struct {
    ULONG length;
    UCHAR data[ZELUSB_MAX_REPORT];
} Report;

typedef struct {
    BOOLEAN used;
    BOOLEAN removed;
    ULONG generation; /* counts the devices that used the slot */
    DEVICE_ATTRIBUTES attributes;
    ULONG inputLength; /* report ID included, as the capabilities count it */
    ULONG outputLength;
    PDEVICE_OBJECT fdo;
    ULONG openHandles; /* handles programs hold open on its HID device, the system's aside */
    PIRP pendingRead;
    ULONG inputHead, inputCount;
    Report input[INPUT_QUEUE]; /* last: a new device clears everything before it */
} Slot;

typedef struct {
    ULONG slot;
} MiniExtension;

static KSPIN_LOCK g_lock;
static Slot g_slots[ZELUSB_SLOTS];
static ZELUSB_OUTPUT g_output[OUTPUT_QUEUE];
static ULONG g_outputHead, g_outputCount;
static ULONG g_outputsTaken; /* handed to takes, for the bench's count of what it handled */
static PIRP g_pendingTake;
static PDEVICE_OBJECT g_control;
static UNICODE_STRING g_parametersPath;
static WCHAR g_parametersBuffer[256];

/* The handles open on the HID devices, to tell the bench whether a program still holds one. */
#define OPEN_FILES 128
static struct {
    PFILE_OBJECT file;
    ULONG slot;
    BOOLEAN rawInput; /* Wine's raw input list: not counted */
} g_openFiles[OPEN_FILES];

/* Wine's raw input list keeps a handle on every HID device and asks each for this at once. */
#define CODE_GET_WINE_RAWINPUT_HANDLE \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 300, METHOD_BUFFERED, FILE_ANY_ACCESS)

static PDRIVER_DISPATCH g_hidCreate, g_hidClose, g_hidDeviceControl;

static MiniExtension* Mini(PDEVICE_OBJECT fdo) {
    return (MiniExtension*)((HIDCLASS_DEVICE_EXTENSION*)fdo->DeviceExtension)->MiniDeviceExtension;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- The device's identity, from the service's Parameters key ---- */

static ULONG ReadParameter(HANDLE key, const WCHAR* name, ULONG fallback) {
    UNICODE_STRING valueName;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    ULONG size = 0;
    RtlInitUnicodeString(&valueName, name);
    if (ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof(buffer), &size) !=
            STATUS_SUCCESS ||
        info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return fallback;
    return *(ULONG*)info->Data;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG slot, vendor, product, version, inputLength, outputLength;
    KIRQL irql;
    Slot* s;
    (void)driver;

    InitializeObjectAttributes(&attributes, &g_parametersPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (ZwOpenKey(&key, KEY_READ, &attributes) != STATUS_SUCCESS) return STATUS_UNSUCCESSFUL;
    slot = ReadParameter(key, L"Slot", ZELUSB_SLOTS);
    vendor = ReadParameter(key, L"VendorID", 0);
    product = ReadParameter(key, L"ProductID", 0);
    version = ReadParameter(key, L"VersionNumber", 0);
    inputLength = ReadParameter(key, L"InputLength", 9);
    outputLength = ReadParameter(key, L"OutputLength", 9);
    ZwClose(key);
    if (slot >= ZELUSB_SLOTS || inputLength < 2 || inputLength > ZELUSB_MAX_REPORT ||
        outputLength < 2 || outputLength > ZELUSB_MAX_REPORT)
        return STATUS_INVALID_PARAMETER;

    KeAcquireSpinLock(&g_lock, &irql);
    s = &g_slots[slot];
    if (s->used) {
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_DEVICE_BUSY;
    }
    {
        ULONG generation = s->generation;
        memset(s, 0, sizeof(*s) - sizeof(s->input));
        s->generation = generation;
    }
    s->used = TRUE;
    s->generation++;
    s->attributes.Size = sizeof(DEVICE_ATTRIBUTES);
    s->attributes.VendorID = (USHORT)vendor;
    s->attributes.ProductID = (USHORT)product;
    s->attributes.VersionNumber = (USHORT)version;
    s->inputLength = inputLength;
    s->outputLength = outputLength;
    s->fdo = fdo;
    KeReleaseSpinLock(&g_lock, irql);

    Mini(fdo)->slot = slot;
    return STATUS_SUCCESS;
}

/* ---- Cancelling what waits here ---- */

static void NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    ULONG i;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < ZELUSB_SLOTS; ++i)
        if (g_slots[i].pendingRead == irp) g_slots[i].pendingRead = NULL;
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

static void NTAPI CancelTake(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_pendingTake == irp) g_pendingTake = NULL;
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the slot's pending read away from its cancel routine; NULL when there is none or it is
 * being cancelled. Called with g_lock held. */
static PIRP ClaimRead(Slot* s) {
    PIRP irp = s->pendingRead;
    if (!irp) return NULL;
    s->pendingRead = NULL;
    if (!IoSetCancelRoutine(irp, NULL)) return NULL; /* its cancel routine completes it */
    return irp;
}

static PIRP ClaimTake(void) {
    PIRP irp = g_pendingTake;
    if (!irp) return NULL;
    g_pendingTake = NULL;
    if (!IoSetCancelRoutine(irp, NULL)) return NULL;
    return irp;
}

/* Copies the data of an input report (the report ID dropped) into a read's buffer. */
static ULONG FillRead(PIRP irp, const Slot* s, const Report* report) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* out = irp->UserBuffer;
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG length = s->inputLength - 1, i;
    if (length > room) length = room;
    for (i = 0; i < length; ++i) out[i] = i + 1 < report->length ? report->data[i + 1] : 0;
    return length;
}

/* ---- The HID class's requests ---- */

/* One field of `count` data bytes (logical 0 to 255, 8 bits each) with the given usage, as an
   input (main item 0x81) or output (0x91) item; returns the bytes written. */
static ULONG AppendDataField(UCHAR* d, UCHAR usage, ULONG count, UCHAR mainItem) {
    const UCHAR field[] = {0x09, usage, 0x15, 0x00,         0x26,     0xFF, 0x00,
                           0x75, 0x08,  0x95, (UCHAR)count, mainItem, 0x02};
    ULONG i;
    for (i = 0; i < sizeof field; ++i) d[i] = field[i];
    return sizeof field;
}

static ULONG BuildReportDescriptor(const Slot* s, UCHAR* d) {
    ULONG n = 0;
    /* Usage page (vendor 0xFF00), usage 1, application collection */
    d[n++] = 0x06;
    d[n++] = 0x00;
    d[n++] = 0xFF;
    d[n++] = 0x09;
    d[n++] = 0x01;
    d[n++] = 0xA1;
    d[n++] = 0x01;
    /* Input and output: byte-wide data fields */
    n += AppendDataField(d + n, 0x02, s->inputLength - 1, 0x81);
    n += AppendDataField(d + n, 0x03, s->outputLength - 1, 0x91);
    d[n++] = 0xC0;
    return n;
}

static NTSTATUS NTAPI InternalDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG slot = Mini(fdo)->slot;
    Slot* s = &g_slots[slot];
    UCHAR descriptor[64];
    KIRQL irql;

    switch (code) {
        case CODE_GET_DEVICE_DESCRIPTOR: {
            DEVICE_DESCRIPTOR* d = irp->UserBuffer;
            if (room < sizeof(*d)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            d->bLength = sizeof(*d);
            d->bDescriptorType = 0x21;
            d->bcdHID = 0x0100;
            d->bCountry = 0;
            d->bNumDescriptors = 1;
            d->bReportType = 0x22;
            d->wReportLength = (USHORT)BuildReportDescriptor(s, descriptor);
            return Complete(irp, STATUS_SUCCESS, sizeof(*d));
        }
        case CODE_GET_REPORT_DESCRIPTOR: {
            ULONG length = BuildReportDescriptor(s, descriptor);
            if (room < length) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            memcpy(irp->UserBuffer, descriptor, length);
            return Complete(irp, STATUS_SUCCESS, length);
        }
        case CODE_GET_DEVICE_ATTRIBUTES:
            if (room < sizeof(DEVICE_ATTRIBUTES)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            memcpy(irp->UserBuffer, &s->attributes, sizeof(DEVICE_ATTRIBUTES));
            return Complete(irp, STATUS_SUCCESS, sizeof(DEVICE_ATTRIBUTES));
        case CODE_GET_STRING: {
            static const WCHAR text[] = L"ZEL test device";
            if (room < sizeof(text)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            memcpy(irp->UserBuffer, text, sizeof(text));
            return Complete(irp, STATUS_SUCCESS, sizeof(text));
        }
        case CODE_READ_REPORT: {
            KeAcquireSpinLock(&g_lock, &irql);
            if (s->removed) {
                KeReleaseSpinLock(&g_lock, irql);
                return Complete(irp, STATUS_DELETE_PENDING, 0);
            }
            if (s->inputCount > 0) {
                Report report = s->input[s->inputHead];
                ULONG length;
                s->inputHead = (s->inputHead + 1) % INPUT_QUEUE;
                s->inputCount--;
                length = FillRead(irp, s, &report);
                KeReleaseSpinLock(&g_lock, irql);
                return Complete(irp, STATUS_SUCCESS, length);
            }
            if (s->pendingRead) {
                KeReleaseSpinLock(&g_lock, irql);
                return Complete(irp, STATUS_DEVICE_BUSY, 0);
            }
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelRead);
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
                KeReleaseSpinLock(&g_lock, irql);
                Complete(irp, STATUS_CANCELLED, 0);
                return STATUS_PENDING;
            }
            s->pendingRead = irp;
            KeReleaseSpinLock(&g_lock, irql);
            return STATUS_PENDING;
        }
        case CODE_WRITE_REPORT: {
            HID_XFER_PACKET* packet = irp->UserBuffer;
            ZELUSB_OUTPUT* out;
            PIRP take;
            ULONG length, i;
            if (!packet || !packet->reportBuffer) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            length = packet->reportBufferLen + 1;
            if (length > ZELUSB_MAX_REPORT) length = ZELUSB_MAX_REPORT;
            KeAcquireSpinLock(&g_lock, &irql);
            if (s->removed) {
                KeReleaseSpinLock(&g_lock, irql);
                return Complete(irp, STATUS_DELETE_PENDING, 0);
            }
            if (g_outputCount == OUTPUT_QUEUE) {
                g_outputHead = (g_outputHead + 1) % OUTPUT_QUEUE; /* the oldest is lost */
                g_outputCount--;
            }
            out = &g_output[(g_outputHead + g_outputCount) % OUTPUT_QUEUE];
            g_outputCount++;
            out->slot = slot;
            out->generation = s->generation;
            out->length = length;
            out->data[0] = packet->reportId;
            for (i = 1; i < length; ++i) out->data[i] = packet->reportBuffer[i - 1];
            take = ClaimTake();
            if (take) {
                *(ZELUSB_OUTPUT*)take->AssociatedIrp.SystemBuffer = g_output[g_outputHead];
                g_outputHead = (g_outputHead + 1) % OUTPUT_QUEUE;
                g_outputCount--;
                g_outputsTaken++;
            }
            KeReleaseSpinLock(&g_lock, irql);
            if (take) Complete(take, STATUS_SUCCESS, sizeof(ZELUSB_OUTPUT));
            return Complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
        }
        default:
            return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    HIDCLASS_DEVICE_EXTENSION* hid = fdo->DeviceExtension;
    ULONG slot = Mini(fdo)->slot;
    PIRP read = NULL;
    KIRQL irql;

    if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL ||
        stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        KeAcquireSpinLock(&g_lock, &irql);
        g_slots[slot].removed = TRUE;
        g_slots[slot].inputCount = 0;
        read = ClaimRead(&g_slots[slot]);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            ULONG i;
            g_slots[slot].used = FALSE;
            /* The closing of handles that die with the device is not sent here. */
            g_slots[slot].openHandles = 0;
            for (i = 0; i < OPEN_FILES; ++i)
                if (g_openFiles[i].file && g_openFiles[i].slot == slot) g_openFiles[i].file = NULL;
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (read) Complete(read, STATUS_DELETE_PENDING, 0);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(hid->NextDeviceObject, irp);
}

/* ---- The control device ---- */

static NTSTATUS ControlIoctl(PIRP irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    if (code == IOCTL_ZELUSB_PUSH_INPUT) {
        const ZELUSB_INPUT* in = buffer;
        Report report;
        PIRP read;
        Slot* s;
        ULONG length = 0;
        if (inLength < sizeof(ZELUSB_INPUT) || in->slot >= ZELUSB_SLOTS ||
            in->length > ZELUSB_MAX_REPORT)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        report.length = in->length;
        memcpy(report.data, in->data, in->length);
        KeAcquireSpinLock(&g_lock, &irql);
        s = &g_slots[in->slot];
        if (!s->used || s->removed) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        }
        read = ClaimRead(s);
        if (read) {
            length = FillRead(read, s, &report);
        } else {
            if (s->inputCount == INPUT_QUEUE) {
                s->inputHead = (s->inputHead + 1) % INPUT_QUEUE;
                s->inputCount--;
            }
            s->input[(s->inputHead + s->inputCount) % INPUT_QUEUE] = report;
            s->inputCount++;
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (read) Complete(read, STATUS_SUCCESS, length);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == IOCTL_ZELUSB_TAKE_OUTPUT) {
        if (outLength < sizeof(ZELUSB_OUTPUT)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_outputCount > 0) {
            *(ZELUSB_OUTPUT*)buffer = g_output[g_outputHead];
            g_outputHead = (g_outputHead + 1) % OUTPUT_QUEUE;
            g_outputCount--;
            g_outputsTaken++;
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_SUCCESS, sizeof(ZELUSB_OUTPUT));
        }
        if (g_pendingTake) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_DEVICE_BUSY, 0);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelTake);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
            KeReleaseSpinLock(&g_lock, irql);
            Complete(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
        g_pendingTake = irp;
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_PENDING;
    }
    if (code == IOCTL_ZELUSB_SLOT_STATE) {
        ULONG slot = *(const ULONG*)buffer, state, handles, reading;
        if (inLength < sizeof(ULONG) || outLength < 3 * sizeof(ULONG) || slot >= ZELUSB_SLOTS)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        state = g_slots[slot].used ? (g_slots[slot].removed ? 2 : 1) : 0;
        handles = g_slots[slot].openHandles;
        reading = g_slots[slot].pendingRead != NULL;
        KeReleaseSpinLock(&g_lock, irql);
        ((ULONG*)buffer)[0] = state;
        ((ULONG*)buffer)[1] = handles;
        ((ULONG*)buffer)[2] = reading;
        return Complete(irp, STATUS_SUCCESS, 3 * sizeof(ULONG));
    }
    if (code == IOCTL_ZELUSB_OUTPUT_STATE) {
        ZELUSB_OUTPUT_STATE state;
        if (outLength < sizeof(ZELUSB_OUTPUT_STATE))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        state.queued = g_outputCount;
        state.taken = g_outputsTaken;
        KeReleaseSpinLock(&g_lock, irql);
        *(ZELUSB_OUTPUT_STATE*)buffer = state;
        return Complete(irp, STATUS_SUCCESS, sizeof(ZELUSB_OUTPUT_STATE));
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* The slot of a HID device (the HID class's child of one of our devices). Wine's HID class keeps
 * the parent first in its child's extension. */
static ULONG SlotOfHidDevice(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT parent =
        device->DeviceExtension ? *(PDEVICE_OBJECT*)device->DeviceExtension : NULL;
    ULONG i;
    for (i = 0; i < ZELUSB_SLOTS; ++i)
        if (g_slots[i].used && g_slots[i].fdo == parent) return i;
    return ZELUSB_SLOTS;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status;
    KIRQL irql;
    ULONG slot, i;
    if (device == g_control) return Complete(irp, STATUS_SUCCESS, 0);
    KeAcquireSpinLock(&g_lock, &irql);
    slot = SlotOfHidDevice(device);
    KeReleaseSpinLock(&g_lock, irql);
    status = g_hidCreate(device, irp); /* completes the request: only the status is read after */
    if (status != STATUS_SUCCESS || slot == ZELUSB_SLOTS) return status;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < OPEN_FILES; ++i) {
        if (!g_openFiles[i].file) {
            g_openFiles[i].file = file;
            g_openFiles[i].slot = slot;
            g_openFiles[i].rawInput = FALSE;
            g_slots[slot].openHandles++;
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    return status;
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    KIRQL irql;
    ULONG i;
    if (device == g_control) return Complete(irp, STATUS_SUCCESS, 0);
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < OPEN_FILES; ++i) {
        if (g_openFiles[i].file == file) {
            if (!g_openFiles[i].rawInput) g_slots[g_openFiles[i].slot].openHandles--;
            g_openFiles[i].file = NULL;
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    return g_hidClose(device, irp);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    ULONG i;
    if (device == g_control) return ControlIoctl(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == CODE_GET_WINE_RAWINPUT_HANDLE) {
        KeAcquireSpinLock(&g_lock, &irql);
        for (i = 0; i < OPEN_FILES; ++i) {
            if (g_openFiles[i].file == stack->FileObject && !g_openFiles[i].rawInput) {
                g_openFiles[i].rawInput = TRUE;
                g_slots[g_openFiles[i].slot].openHandles--;
            }
        }
        KeReleaseSpinLock(&g_lock, irql);
    }
    return g_hidDeviceControl(device, irp);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    static const WCHAR suffix[] = L"\\Parameters";
    MINIDRIVER_REGISTRATION registration;
    UNICODE_STRING name, link;
    ULONG i, n = registryPath->Length / sizeof(WCHAR);
    NTSTATUS status;

    KeInitializeSpinLock(&g_lock);
    if (n + sizeof(suffix) / sizeof(WCHAR) > sizeof(g_parametersBuffer) / sizeof(WCHAR))
        return STATUS_NAME_TOO_LONG;
    for (i = 0; i < n; ++i) g_parametersBuffer[i] = registryPath->Buffer[i];
    for (i = 0; i < sizeof(suffix) / sizeof(WCHAR); ++i) g_parametersBuffer[n + i] = suffix[i];
    RtlInitUnicodeString(&g_parametersPath, g_parametersBuffer);

    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDeviceControl;

    memset(&registration, 0, sizeof(registration));
    registration.Revision = 1;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = sizeof(MiniExtension);
    registration.DevicesArePolled = FALSE;
    status = HidRegisterMinidriver(&registration);
    if (status != STATUS_SUCCESS) return status;

    /* The HID class took over creation, closing and device control for its devices; the control
     * device is ours. */
    g_hidCreate = driver->MajorFunction[IRP_MJ_CREATE];
    g_hidClose = driver->MajorFunction[IRP_MJ_CLOSE];
    g_hidDeviceControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

    RtlInitUnicodeString(&name, L"\\Device\\ZelUsbControl");
    RtlInitUnicodeString(&link, L"\\DosDevices\\ZelUsbControl");
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
    if (status != STATUS_SUCCESS) return status;
    g_control->Flags |= DO_BUFFERED_IO;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    return IoCreateSymbolicLink(&link, &name);
}
