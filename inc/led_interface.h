/*++

Module Name:

    led_interface.h

Abstract:

    Definitions shared by the LED driver and the applications that talk to it:
    the device interface class the driver registers, and the control codes it
    serves. Every request carries one brightness byte: a read returns it in a
    one-byte output buffer, a write passes it in a one-byte input buffer.

    What the driver refuses, checked in this order (the first that applies
    decides), with the error the application then gets from GetLastError:

    request                                  status                         Win32 error
    ---------------------------------------  -----------------------------  -------------------------------
    any code but the six below               STATUS_INVALID_DEVICE_REQUEST  ERROR_INVALID_FUNCTION (1)
    a buffer on the side the code has none   STATUS_INVALID_PARAMETER       ERROR_INVALID_PARAMETER (87)
      (input on a read, output on a write)
    the one-byte buffer missing (length 0)   STATUS_BUFFER_TOO_SMALL        ERROR_INSUFFICIENT_BUFFER (122)
    the one-byte buffer longer than 1 byte   STATUS_INVALID_PARAMETER       ERROR_INVALID_PARAMETER (87)

    Anything else is served: a read returns the byte (1 byte returned), a
    write stores it (0 bytes returned).

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
// The LED channels, in this order: green (0), blue (1), keyback (2).
//
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
