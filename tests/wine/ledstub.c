/*
 * Stand-in LED driver for end-to-end runs of Tovrin_LED_Test under Wine.
 *
 * A WDM function driver for a root-enumerated device.  It registers the LED
 * interface class, keeps three brightness bytes per device while loaded and
 * serves the six LED control codes strictly: anything the real driver would
 * not accept is refused, by the refusal rules of the contract header, so a
 * tool that sends the wrong code or buffer sizes fails here instead of
 * passing by luck.
 *
 * Requests on a handle not opened the agreed way are refused with
 * STATUS_ACCESS_DENIED (see open_as_agreed).
 *
 * Per device, values under the device's hardware key ("Device Parameters",
 * written by ledinst) steer it:
 *   Green, Blue, Keyback  REG_DWORD 0..255  brightness at load (default 0)
 *   CreateStatus          REG_DWORD NTSTATUS to fail IRP_MJ_CREATE with
 *   IoctlStatus           REG_DWORD NTSTATUS to fail every LED request with
 *   Fault                 REG_SZ    one fault of LEDSTUB_FAULTS below
 *   DropLink              REG_DWORD nonzero: delete the interface's symbolic
 *                         link right after enabling it, so the interface is
 *                         still listed but its path no longer opens, as when a
 *                         device goes away between discovery and open
 * CreateStatus, IoctlStatus and Fault are read when a handle is opened and
 * hold for its requests, so a test changes them without reloading the driver
 * (a registry query per request would make a request cost seven times as
 * much under Wine).  Status 0 means serve normally.  Wine 8.0 does not wait
 * for IRP_MJ_CREATE (the open has already succeeded when the driver sees
 * it), so there CreateStatus cannot fail an open and DropLink stands in.
 */
#include <ntddk.h>

#include "led_interface.h"

static const GUID led_interface_class = GUID_DEVINTERFACE_LED_VALUE;

#define CHANNEL_INDEX(Name, name) channel_##name,
enum { LED_CHANNELS(CHANNEL_INDEX) CHANNELS };

#define CHANNEL_VALUE_NAME(Name, name) L"" #Name,
static const WCHAR* const channel_value_names[CHANNELS] = {LED_CHANNELS(CHANNEL_VALUE_NAME)};

/* The faults, one at a time: each breaks one clause of the contract that
 * Tovrin_LED_Check checks, or (any-open) does what the contract allows. */
#define LEDSTUB_FAULTS(X)                                                                                    \
    X(none, "serve the contract")                                                                            \
    X(seventh_code, "serve function 0x806 too, as a read of green")                                          \
    X(access_ignored, "match the six codes whatever their access bits")                                      \
    X(type_ignored, "match the six codes whatever their device type")                                        \
    X(other_error, "refuse unknown codes with STATUS_NOT_SUPPORTED")                                         \
    X(no_keyback_write, "refuse the keyback write as an unknown code")                                       \
    X(two_byte_read, "serve a read into 2 bytes")                                                            \
    X(write_without_input, "serve a write without input, storing nothing")                                   \
    X(write_returns_1, "report 1 byte returned for a write")                                                 \
    X(refused_changes, "store the first byte of a two-byte write, then refuse it")                           \
    X(writes_ignored, "serve writes, storing nothing")                                                       \
    X(level_wrong, "store blue 165 as 164")                                                                  \
    X(green_sets_blue, "store a green write in blue too")                                                    \
    X(per_handle, "keep the levels per handle, from the device's at open")                                   \
    X(any_open, "serve handles opened any way")

#define FAULT_INDEX(name, what) fault_##name,
enum { LEDSTUB_FAULTS(FAULT_INDEX) FAULTS };

/* The setting names a fault as the list does: Fault=seventh_code. */
#define FAULT_SETTING(name, what) L"" #name,
static const WCHAR* const fault_names[FAULTS] = {LEDSTUB_FAULTS(FAULT_SETTING)};

struct led_device {
    DEVICE_OBJECT* lower;
    UNICODE_STRING link;
    HANDLE params; /* hardware key, kept open for the fault settings */
    UCHAR level[CHANNELS];
};

/* Pool tag of the open handles' records, "Ledo" as a memory dump shows it. */
#define OPEN_TAG 0x6F64654Cu

/* What an open handle holds, in its file object's FsContext2. */
struct led_open {
    BOOLEAN stray; /* not opened the agreed way */
    NTSTATUS ioctl_status;
    int fault;
    UCHAR level[CHANNELS]; /* the handle's own levels, for fault_per_handle */
};

static BOOLEAN query_dword(HANDLE key, const WCHAR* name, ULONG* value)
{
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    UNICODE_STRING str;
    ULONG size;

    if (!key)
        return FALSE;
    RtlInitUnicodeString(&str, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &str, KeyValuePartialInformation, info, sizeof(buffer), &size)))
        return FALSE;
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return FALSE;
    RtlCopyMemory(value, info->Data, sizeof(ULONG));
    return TRUE;
}

static NTSTATUS configured_status(struct led_device* led, const WCHAR* name)
{
    ULONG value;
    return query_dword(led->params, name, &value) ? (NTSTATUS)value : STATUS_SUCCESS;
}

/* The fault the Fault setting names; none where it names no fault. */
static int configured_fault(struct led_device* led)
{
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64 * sizeof(WCHAR)];
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    UNICODE_STRING str, setting;
    ULONG size;
    int fault;

    RtlInitUnicodeString(&str, L"Fault");
    if (!led->params ||
        !NT_SUCCESS(
            ZwQueryValueKey(led->params, &str, KeyValuePartialInformation, info, sizeof(buffer), &size)) ||
        info->Type != REG_SZ || info->DataLength < sizeof(WCHAR))
        return fault_none;
    setting.Buffer = (WCHAR*)info->Data;
    setting.Length = setting.MaximumLength = (USHORT)(info->DataLength - sizeof(WCHAR)); /* its terminator */
    for (fault = 0; fault < FAULTS; fault++) {
        RtlInitUnicodeString(&str, fault_names[fault]);
        if (RtlEqualUnicodeString(&setting, &str, FALSE))
            return fault;
    }
    return fault_none;
}

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* The agreed open: read/write access, shared read/write, synchronous.  Wine
 * passes no access mask (SecurityContext is NULL there), so that part is only
 * checked where one is given. */
static BOOLEAN open_as_agreed(const IO_STACK_LOCATION* stack)
{
    const IO_SECURITY_CONTEXT* context = stack->Parameters.Create.SecurityContext;
    const ACCESS_MASK data = FILE_READ_DATA | FILE_WRITE_DATA;

    if (stack->Parameters.Create.ShareAccess != (FILE_SHARE_READ | FILE_SHARE_WRITE))
        return FALSE;
    if (!(stack->Parameters.Create.Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)))
        return FALSE;
    return !context || (context->DesiredAccess & data) == data;
}

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp)
{
    struct led_device* led = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = configured_status(led, L"CreateStatus");
    struct led_open* open = ExAllocatePoolWithTag(NonPagedPool, sizeof(*open), OPEN_TAG);

    /* Wine has already opened the file and ignores a failure here, so a
     * stray or missing mark makes every LED request on it fail instead. */
    if (!open)
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    open->fault = configured_fault(led);
    open->ioctl_status = configured_status(led, L"IoctlStatus");
    open->stray = !open_as_agreed(stack) && open->fault != fault_any_open;
    RtlCopyMemory(open->level, led->level, sizeof(open->level));
    stack->FileObject->FsContext2 = open;
    if (open->stray && !status)
        status = STATUS_ACCESS_DENIED;
    return complete(irp, status, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp)
{
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);

    (void)device;
    if (stack->FileObject && stack->FileObject->FsContext2)
        ExFreePoolWithTag(stack->FileObject->FsContext2, OPEN_TAG);
    return complete(irp, STATUS_SUCCESS, 0);
}

/* Finds the channel and direction of one of the six codes of the contract
 * header (or what a fault takes for one); any other code is not served. */
static BOOLEAN decode_led_code(ULONG code, int fault, int* channel, BOOLEAN* write)
{
    ULONG mask = fault == fault_access_ignored ? ~(3u << 14) : fault == fault_type_ignored ? 0xFFFFu : ~0u;
    int c, w;

    if (fault == fault_seventh_code && code == IOCTL_LED_CODE(CHANNELS, 0)) {
        *channel = channel_green;
        *write = FALSE;
        return TRUE;
    }
    for (c = 0; c < CHANNELS; c++)
        for (w = 0; w < 2; w++)
            if ((IOCTL_LED_CODE(c, w) & mask) == (code & mask)) {
                *channel = c;
                *write = (BOOLEAN)w;
                return !(fault == fault_no_keyback_write && c == channel_keyback && w);
            }
    return FALSE;
}

/* The status the contract's refusal rules give a request, STATUS_SUCCESS
 * where none applies; the names are the operands of the rules. */
#define REFUSAL_STATUS(Name, applies, ntstatus, win32error, request) (applies) ? (ntstatus):
static NTSTATUS contract_status(BOOLEAN known, ULONG other, ULONG own)
{
    return LED_REFUSAL_RULES(REFUSAL_STATUS) STATUS_SUCCESS;
}

/* The status a faulty driver gives a request instead, where it differs. */
static NTSTATUS faulty_status(int fault, NTSTATUS status, BOOLEAN known, BOOLEAN write, ULONG other,
                              ULONG own)
{
    if (fault == fault_other_error && !known)
        return STATUS_NOT_SUPPORTED;
    if (fault == fault_two_byte_read && known && !write && !other && own == 2)
        return STATUS_SUCCESS;
    if (fault == fault_write_without_input && known && write && !other && !own)
        return STATUS_SUCCESS;
    return status;
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT* device, IRP* irp)
{
    struct led_device* led = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    struct led_open* open = stack->FileObject ? stack->FileObject->FsContext2 : NULL;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    int fault = open ? open->fault : fault_none, channel = 0;
    BOOLEAN write = FALSE, known = decode_led_code(code, fault, &channel, &write);
    ULONG other = write ? out_len : in_len, own = write ? in_len : out_len;
    NTSTATUS status = faulty_status(fault, contract_status(known, other, own), known, write, other, own);
    UCHAR* level = fault == fault_per_handle ? open->level : led->level;

    if (!known)
        return complete(irp, status, 0);
    if (!open || open->stray)
        return complete(irp, STATUS_ACCESS_DENIED, 0);
    if (open->ioctl_status)
        return complete(irp, open->ioctl_status, 0);
    if (fault == fault_refused_changes && write && !other && own == 2)
        level[channel] = buffer[0];
    if (status)
        return complete(irp, status, 0);

    if (!write) {
        buffer[0] = level[channel];
        return complete(irp, STATUS_SUCCESS, 1);
    }
    if (own && fault != fault_writes_ignored) {
        level[channel] =
            fault == fault_level_wrong && channel == channel_blue && buffer[0] == 165 ? 164 : buffer[0];
        if (fault == fault_green_sets_blue && channel == channel_green)
            level[channel_blue] = buffer[0];
    }
    return complete(irp, STATUS_SUCCESS, fault == fault_write_returns_1 ? 1 : 0);
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT* device, IRP* irp)
{
    struct led_device* led = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT* lower = led->lower;
    NTSTATUS status;
    ULONG value;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        /* The root bus has no resources to start, so no need to wait for it. */
        IoSetDeviceInterfaceState(&led->link, TRUE);
        if (query_dword(led->params, L"DropLink", &value) && value)
            IoDeleteSymbolicLink(&led->link);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&led->link, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_REMOVE_DEVICE:
        IoSetDeviceInterfaceState(&led->link, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        if (led->params)
            ZwClose(led->params);
        RtlFreeUnicodeString(&led->link);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }

    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

static NTSTATUS WINAPI add_device(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo)
{
    struct led_device* led;
    DEVICE_OBJECT* device;
    NTSTATUS status;
    ULONG value, i;

    status = IoCreateDevice(driver, sizeof(*led), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &device);
    if (!NT_SUCCESS(status))
        return status;
    led = device->DeviceExtension;
    RtlZeroMemory(led, sizeof(*led));

    /* Ask the PDO before attaching: the key lookup sends IRPs down the stack. */
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &led->params)))
        led->params = NULL;
    for (i = 0; i < CHANNELS; i++)
        if (query_dword(led->params, channel_value_names[i], &value))
            led->level[i] = (UCHAR)value;

    status = IoRegisterDeviceInterface(pdo, &led_interface_class, NULL, &led->link);
    if (!NT_SUCCESS(status)) {
        if (led->params)
            ZwClose(led->params);
        IoDeleteDevice(device);
        return status;
    }

    led->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void WINAPI driver_unload(DRIVER_OBJECT* driver)
{
    (void)driver;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry)
{
    (void)registry;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    return STATUS_SUCCESS;
}
