#include "machine.h"

#include <stdio.h>
#include <stdlib.h>

#include "environment.h"
#include "led_interface.h"
#include "scenario.h"
#include "state_file.h"
#include "state_lock.h"
#include "trace.h"

const GUID LED_INTERFACE_CLASS = GUID_DEVINTERFACE_LED_VALUE;
// Disk interfaces: any class but the LED one will do.
const GUID OTHER_INTERFACE_CLASS = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const char16_t DEFAULT_DEVICE_PATH[] = u"\\\\?\\ROOT#LED#0000#" GUID_DEVINTERFACE_LED;

static SimMachine* theMachine = NULL;
static thread_local DWORD lastError = 0;

void SimSetLastError(DWORD error)
{
    lastError = error;
}

extern "C" DWORD WINAPI GetLastError(void)
{
    return lastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

SimInterface NewSimInterface(const std::u16string& path)
{
    SimInterface iface = {};
    iface.path = path;
    iface.interfaceClass = LED_INTERFACE_CLASS;
    iface.present = true;
    return iface;
}

SimMachine* NewDefaultMachine(void)
{
    SimMachine* machine = new SimMachine();
    machine->interfaces.push_back(NewSimInterface(DEFAULT_DEVICE_PATH));
    return machine;
}

bool LoadLockedState(SimMachine* machine, std::string* error)
{
    if (machine->statePath.empty()) {
        return true;
    }
    bool loaded = LockBrightnessState(machine->statePath, &machine->stateLock, error) &&
                  LoadBrightnessState(machine, error);
    if (!loaded) {
        UnlockBrightnessState(&machine->stateLock);
    }
    return loaded;
}

// The books are checked as the process ends; the lock is let go then too,
// before a wrapper such as valgrind spends its own time at the exit.
static void EndOfRun(void)
{
    std::string report = LedSimCheckBooks();
    if (!report.empty()) {
        fputs(report.c_str(), stderr);
    }
    if (theMachine != NULL) {
        UnlockBrightnessState(&theMachine->stateLock);
    }
    CloseTraceFile();
}

SimMachine& TheMachine(void)
{
    if (theMachine == NULL) {
        theMachine = LoadMachineFromEnvironment();
        atexit(EndOfRun);
    }
    return *theMachine;
}

void ReplaceMachine(SimMachine* machine)
{
    if (theMachine != NULL) {
        UnlockBrightnessState(&theMachine->stateLock);
        delete theMachine;
    }
    theMachine = machine;
}

bool LedSimLoadScenario(const std::string& text, std::string* error)
{
    SimMachine* machine = new SimMachine();
    ScenarioError scenarioError = {0, ""};
    if (!ParseScenario(text, machine, &scenarioError)) {
        *error = "line " + std::to_string(scenarioError.line) + ": " + scenarioError.message;
        delete machine;
        return false;
    }
    ReplaceMachine(machine);
    return true;
}

void LedSimLoadDefaultMachine(const char* statePath)
{
    // The current machine lets go of its lock first: it may be the same state.
    ReplaceMachine(NULL);
    SimMachine* machine = NewDefaultMachine();
    machine->statePath = statePath;
    std::string error;
    if (!LoadLockedState(machine, &error)) {
        fprintf(stderr, "ledsim: %s\n", error.c_str());
    }
    ReplaceMachine(machine);
}

LedSimBooks LedSimGetBooks(void)
{
    return TheMachine().books;
}

std::string LedSimCheckBooks(void)
{
    std::string report;
    if (theMachine == NULL) {
        return report;
    }
    const SimMachine& machine = *theMachine;
    for (size_t i = 0; i < machine.sets.size(); i++) {
        if (machine.sets[i].open) {
            report += "ledsim: device information set " + std::to_string(i) + " was never destroyed\n";
        }
    }
    for (size_t i = 0; i < machine.handles.size(); i++) {
        if (machine.handles[i].open) {
            report += "ledsim: device handle " + std::to_string(i) + " was never closed\n";
        }
    }
    if (machine.books.invalidCloses != 0) {
        report += "ledsim: " + std::to_string(machine.books.invalidCloses) +
                  " close(s) of an object that was not open\n";
    }
    return report;
}

const std::vector<std::string>& LedSimTrace(void)
{
    return TheMachine().trace;
}

int LedSimBrightness(size_t index, int channel)
{
    const SimMachine& machine = TheMachine();
    if (index >= machine.interfaces.size() || channel < 0 || channel > 2) {
        return -1;
    }
    return machine.interfaces[index].brightness[channel];
}
