/*++

Module Name:

    led_interface.h

Abstract:

    Definitions shared by the LED driver and the applications that talk to it:
    the device interface class the driver registers, the control codes it
    serves, and what it refuses. Every request carries one brightness byte: a
    read returns it in a one-byte output buffer, a write passes it in a
    one-byte input buffer. A read returns 1 byte, a write 0.

    A driver includes <ntddk.h> or <wdm.h> first, and CTL_CODE and GUID come
    from there; an application gets them from the SDK headers included here.

--*/
#pragma once

#ifndef _WDMDDK_
#include <windows.h>
#include <winioctl.h>
#endif

//
// Device interface class of LED devices. The driver registers an interface
// of this class for each LED device; the tool opens the first one it finds.
//
// As braced text, which the tool converts with CLSIDFromString:
//
#define GUID_DEVINTERFACE_LED TEXT("{702eda9e-7390-4cfe-aea2-6f85676e3d22}")

//
// The same class as a GUID value, for the driver's IoRegisterDeviceInterface:
//     static const GUID LedInterfaceClass = GUID_DEVINTERFACE_LED_VALUE;
//
// clang-format off
#define GUID_DEVINTERFACE_LED_VALUE \
    {0x702eda9e, 0x7390, 0x4cfe, {0xae, 0xa2, 0x6f, 0x85, 0x67, 0x6e, 0x3d, 0x22}}
// clang-format on

//
// Device type, from the range Windows leaves to vendors (0x8000 and up).
// Unsigned, so that CTL_CODE's shift into bit 31 does not overflow an int.
//
#define FILE_DEVICE_LED 0x9C42u

//
// The LED channels, in the order that numbers them: green (0), blue (1),
// keyback (2). X(Name, name) for each, Name for identifiers, name as the
// tool's command line spells it.
//
#define LED_CHANNELS(X) X(Green, green) X(Blue, blue) X(Keyback, keyback)

// The entries of LED_CHANNELS.
#define LED_CHANNEL_COUNT 3

//
// First function number Windows leaves to vendors. Each channel has a read
// and a write, in the channel order above: reads are even, writes odd.
//
#define LED_IOCTL_INDEX 0x800

//
// The code of one channel's read (write 0) or write (write 1). Pass unsigned
// values where the compiler checks sign conversions.
//
// clang-format off
#define IOCTL_LED_CODE(channel, write) \
    CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 2 * (channel) + (write), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_LED_GREEN_READ    IOCTL_LED_CODE(0, 0)
#define IOCTL_LED_GREEN_WRITE   IOCTL_LED_CODE(0, 1)
#define IOCTL_LED_BLUE_READ     IOCTL_LED_CODE(1, 0)
#define IOCTL_LED_BLUE_WRITE    IOCTL_LED_CODE(1, 1)
#define IOCTL_LED_KEYBACK_READ  IOCTL_LED_CODE(2, 0)
#define IOCTL_LED_KEYBACK_WRITE IOCTL_LED_CODE(2, 1)
// clang-format on

//
// What the driver refuses, in the order it checks (the first rule that
// applies decides), with the status the driver completes the request with
// and the Win32 error the application then gets from GetLastError:
//
//     X(Name, applies, ntstatus, win32error, "request")
//
// applies is an expression of three names that the user of the list defines
// where it expands it:
//     known   nonzero when the code is one of the six above
//     other   the length of the buffer on the side the code has none (a
//             read's input, a write's output)
//     own     the length of the buffer on the code's own side, where its one
//             byte goes (a read's output, a write's input)
// Anything no rule refuses is served. A driver's X uses ntstatus and ignores
// win32error, an application's the other way round: an argument that X
// ignores is never expanded, so neither needs the other's names declared.
//
// clang-format off
#define LED_REFUSAL_RULES(X) \
    X(UnknownCode, !(known),     STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION,    "any code but the six") \
    X(OtherSide,   (other) != 0, STATUS_INVALID_PARAMETER,      ERROR_INVALID_PARAMETER,   "a buffer on the side the code has none") \
    X(NoByte,      (own) == 0,   STATUS_BUFFER_TOO_SMALL,       ERROR_INSUFFICIENT_BUFFER, "the one-byte buffer missing (length 0)") \
    X(LongByte,    (own) > 1,    STATUS_INVALID_PARAMETER,      ERROR_INVALID_PARAMETER,   "the one-byte buffer longer than 1 byte")
// clang-format on
