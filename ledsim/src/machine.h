// The simulated machine: LED device interfaces, open sets and handles, the
// books, and the fault knobs a scenario sets.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ledsim/ledsim.h"

struct SimFault {
    bool active;
    DWORD error;
};

struct SimInterface {
    std::u16string path;
    GUID interfaceClass;
    bool present;
    uint8_t brightness[3];
    SimFault detailError; // The detail query (with a buffer) fails.
    SimFault sizeError;   // The size query (no buffer) fails, reporting no size.
    SimFault openError;   // CreateFileW fails.
    SimFault ioctlError;  // DeviceIoControl fails.
    bool hasRequiredSize; // The size query reports requiredSize instead of the truth.
    DWORD requiredSize;
    bool noOutput; // A read succeeds without writing its byte.
};

struct SimEnumError {
    DWORD index;
    DWORD error;
};

struct SimSet {
    bool open;
    std::vector<size_t> members; // Positions in SimMachine::interfaces.
};

struct SimHandle {
    bool open;
    size_t member;
    DWORD flags;
};

struct SimMachine {
    std::vector<SimInterface> interfaces;
    SimFault createSetError;
    std::vector<SimEnumError> enumErrors;
    std::string statePath; // Empty: brightness is not kept between runs.
    int stateLock = -1;    // Held from the load of the state to the end of the run.
    // State lines of paths this machine does not have (another scenario's
    // devices sharing the file), written back unchanged.
    std::vector<std::string> otherStates;
    std::vector<SimSet> sets;
    std::vector<SimHandle> handles;
    LedSimBooks books;
    std::vector<std::string> trace;
};

extern const GUID LED_INTERFACE_CLASS;
extern const GUID OTHER_INTERFACE_CLASS;
extern const char16_t DEFAULT_DEVICE_PATH[];

// The machine, loaded from the environment on first use.
SimMachine& TheMachine(void);

// The embedded default machine: one LED device, nothing kept.
SimMachine* NewDefaultMachine(void);

// Puts machine (or none) in place of the current one, which is freed with its lock.
void ReplaceMachine(SimMachine* machine);

// Loads the state at machine->statePath, if any, under its lock; false with
// a reason, the lock released.
bool LoadLockedState(SimMachine* machine, std::string* error);

void SimSetLastError(DWORD error);

SimInterface NewSimInterface(const std::u16string& path);
