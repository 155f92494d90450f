#include "machine.h"

#include <stdarg.h>
#include <stdio.h>

#define LED_CHANNEL_NAME(Name, name) #name,
const char* const LED_CHANNEL_NAMES[LED_CHANNEL_COUNT] = {LED_CHANNELS(LED_CHANNEL_NAME)};

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

SimMachine& TheMachine(void)
{
    if (theMachine == NULL) {
        theMachine = NewDefaultMachine();
    }
    return *theMachine;
}

void UseMachine(SimMachine* machine)
{
    delete theMachine;
    theMachine = machine;
}

void RecordCall(SimMachine& machine, const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    machine.calls.push_back(line);
    if (machine.hooks.callMade != NULL) {
        machine.hooks.callMade(machine.hooks.listener, machine.calls.back());
    }
}
