/*
 * Stand-in LED driver for end-to-end runs of Tovrin_LED_Test under Wine.
 *
 * A WDM function driver for a root-enumerated device.  It registers the LED
 * interface class, keeps three brightness bytes per device while loaded and
 * serves the six LED control codes strictly: anything the real driver would
 * not accept is refused, with the statuses and in the order of the contract
 * header's table, so a tool that sends the wrong code or buffer sizes fails
 * here instead of passing by luck.
 *
 * Requests on a handle not opened the agreed way are refused with
 * STATUS_ACCESS_DENIED (see open_as_agreed).
 *
 * Per device, values under the device's hardware key ("Device Parameters",
 * written by ledinst) steer it:
 *   Green, Blue, Keyback  REG_DWORD 0..255  brightness at load (default 0)
 *   CreateStatus          REG_DWORD NTSTATUS to fail IRP_MJ_CREATE with
 *   IoctlStatus           REG_DWORD NTSTATUS to fail every LED request with
 *   DropLink              REG_DWORD nonzero: delete the interface's symbolic
 *                         link right after enabling it, so the interface is
 *                         still listed but its path no longer opens, as when a
 *                         device goes away between discovery and open
 * The two status values are read again on every request, so a test can change
 * them without reloading the driver; 0 means serve normally.  Wine 8.0 does
 * not wait for IRP_MJ_CREATE (the open has already succeeded when the driver
 * sees it), so there CreateStatus cannot fail an open and DropLink stands in.
 */
#include <ntddk.h>

#include "led_interface.h"

static const GUID led_interface_class = GUID_DEVINTERFACE_LED_VALUE;

enum { GREEN, BLUE, KEYBACK, CHANNELS };

static const WCHAR* const channel_value_names[CHANNELS] = {L"Green", L"Blue", L"Keyback"};

struct led_device {
    DEVICE_OBJECT* lower;
    UNICODE_STRING link;
    HANDLE params; /* hardware key, kept open for the fault settings */
    UCHAR level[CHANNELS];
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

static char stray_open; /* its address marks a file opened otherwise */

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp)
{
    struct led_device* led = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = configured_status(led, L"CreateStatus");

    /* Wine has already opened the file and ignores a failure here, so the
     * mark makes every LED request on it fail instead. */
    if (!open_as_agreed(stack)) {
        stack->FileObject->FsContext2 = &stray_open;
        if (!status)
            status = STATUS_ACCESS_DENIED;
    }
    return complete(irp, status, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp)
{
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

/* Finds the channel and direction of one of the six codes of the contract
 * header; any other code is not served. */
static BOOLEAN decode_led_code(ULONG code, int* channel, BOOLEAN* write)
{
    int c, w;

    for (c = 0; c < CHANNELS; c++)
        for (w = 0; w < 2; w++)
            if (IOCTL_LED_CODE(c, w) == code) {
                *channel = c;
                *write = (BOOLEAN)w;
                return TRUE;
            }
    return FALSE;
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT* device, IRP* irp)
{
    struct led_device* led = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;
    BOOLEAN write;
    int channel;

    if (!decode_led_code(code, &channel, &write))
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    if (stack->FileObject && stack->FileObject->FsContext2 == &stray_open)
        return complete(irp, STATUS_ACCESS_DENIED, 0);

    if ((status = configured_status(led, L"IoctlStatus")))
        return complete(irp, status, 0);

    if (!write) /* read: nothing in, exactly one byte out */
    {
        if (in_len)
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (out_len < 1)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        if (out_len > 1)
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        buffer[0] = led->level[channel];
        return complete(irp, STATUS_SUCCESS, 1);
    }

    /* write: exactly one byte in, nothing out */
    if (out_len)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (in_len < 1)
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (in_len > 1)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    led->level[channel] = buffer[0];
    return complete(irp, STATUS_SUCCESS, 0);
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
