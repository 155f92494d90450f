// The simulated machine: LED device interfaces, open sets and handles, the
// books, the calls it was asked, and the fault knobs a scenario sets. It
// lives in memory and does no I/O: whoever keeps its brightness or writes
// its calls down is told through the hooks below.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "led_interface.h"
#include "ledsim/ledsim.h"

struct SimFault {
    bool active;
    DWORD error;
};

struct SimInterface {
    std::u16string path;
    GUID interfaceClass;
    bool present;
    uint8_t brightness[LED_CHANNEL_COUNT];
    SimFault detailError; // The detail query (with a buffer) fails.
    SimFault sizeError;   // The size query (no buffer) fails, reporting no size.
    SimFault openError;   // CreateFileW fails.
    SimFault ioctlError;  // DeviceIoControl fails.
    bool hasRequiredSize; // The size query reports requiredSize instead of the truth.
    DWORD requiredSize;
    bool noOutput; // A read succeeds without writing its byte.
};

// A device information set. Its members are fixed when it is created; the
// members of the one class the enumeration asks for are listed once, so
// that every index costs the same.
struct SimSet {
    bool open;
    std::vector<size_t> members; // Positions in SimMachine::interfaces.
    bool classListed;
    GUID listedClass;
    std::vector<size_t> ofListedClass;
};

struct SimHandle {
    bool open;
    size_t member;
    DWORD flags;
};

struct SimMachine;

// Told that a device's channel was set, as the device serves the write:
// the device's path and levels, and which of them the write set.
typedef void (*SimLevelHook)(void* keeper, const SimInterface& device, int channel);
// Told of each call, as it is added to the machine's list.
typedef void (*SimCallHook)(void* listener, const std::string& call);

struct SimHooks {
    SimLevelHook levelSet;
    void* keeper;
    SimCallHook callMade;
    void* listener;
};

struct SimMachine {
    std::vector<SimInterface> interfaces;
    SimFault createSetError;
    std::unordered_map<DWORD, DWORD> enumErrors; // Index to the error its enumeration fails with.
    std::vector<SimSet> sets;
    std::vector<SimHandle> handles;
    LedSimBooks books;
    std::vector<std::string> calls;
    SimHooks hooks;
};

// The channels by name, in the contract's order: the scenario's keys and
// the columns the brightness is kept in.
extern const char* const LED_CHANNEL_NAMES[LED_CHANNEL_COUNT];

extern const GUID LED_INTERFACE_CLASS;
extern const GUID OTHER_INTERFACE_CLASS;
extern const char16_t DEFAULT_DEVICE_PATH[];

// The machine the platform calls serve: the one put in place, or else the
// embedded default, made on first use.
SimMachine& TheMachine(void);

// Puts machine in place of the current one, which is freed.
void UseMachine(SimMachine* machine);

// The embedded default machine: one LED device.
SimMachine* NewDefaultMachine(void);

// Adds one line to the machine's list of calls, and tells the listener.
void RecordCall(SimMachine& machine, const char* format, ...) __attribute__((format(printf, 2, 3)));

void SimSetLastError(DWORD error);

SimInterface NewSimInterface(const std::u16string& path);
