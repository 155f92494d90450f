/*++

Module Name:

    led_interface.h

Abstract:

    Definitions shared by the LED driver and the applications that talk to it:
    the device interface class the driver registers, and the control codes it
    serves. Every request carries one brightness byte: a read returns it in a
    one-byte output buffer, a write passes it in a one-byte input buffer.

--*/
#pragma once

#include <windows.h>
#include <winioctl.h>

//
// Device interface class of LED devices, as braced text for CLSIDFromString.
// The driver registers an interface of this class for each LED device; the
// tool opens the first one it finds.
// {702eda9e-7390-4cfe-aea2-6f85676e3d22}
//
#define GUID_DEVINTERFACE_LED TEXT("{702eda9e-7390-4cfe-aea2-6f85676e3d22}")

//
// Device type, from the range Windows leaves to vendors (0x8000 and up).
// Unsigned, so that CTL_CODE's shift into bit 31 does not overflow an int.
//
#define FILE_DEVICE_LED 0x9C42u

//
// First function number Windows leaves to vendors. Each channel has a read
// and a write, in the channel order green, blue, keyback: reads are even,
// writes odd.
//
#define LED_IOCTL_INDEX 0x800

// clang-format off
#define IOCTL_LED_GREEN_READ    CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LED_GREEN_WRITE   CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LED_BLUE_READ     CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LED_BLUE_WRITE    CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LED_KEYBACK_READ  CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LED_KEYBACK_WRITE CTL_CODE(FILE_DEVICE_LED, LED_IOCTL_INDEX + 5, METHOD_BUFFERED, FILE_ANY_ACCESS)
// clang-format on
