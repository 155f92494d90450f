#include "machine.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "led_interface.h"
#include "scenario.h"
#include "state_file.h"
#include "utf.h"

const GUID LED_INTERFACE_CLASS = GUID_DEVINTERFACE_LED_VALUE;
// Disk interfaces: any class but the LED one will do.
const GUID OTHER_INTERFACE_CLASS = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const char16_t DEFAULT_DEVICE_PATH[] = u"\\\\?\\ROOT#LED#0000#" GUID_DEVINTERFACE_LED;

static SimMachine* theMachine = NULL;
static std::string tracePath;
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

void TraceCall(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    TheMachine().trace.push_back(line);

    if (!tracePath.empty()) {
        FILE* file = fopen(tracePath.c_str(), "a");
        if (file != NULL) {
            fprintf(file, "%s\n", line);
            fclose(file);
        } else {
            // Said once; the run goes on without the file.
            fprintf(stderr, "ledsim: trace not written: %s: %s\n", tracePath.c_str(), strerror(errno));
            tracePath.clear();
        }
    }
}

static void StopBeforeTheTool(const std::string& message)
{
    fprintf(stderr, "ledsim: %s\n", message.c_str());
    exit(2);
}

static std::string DefaultStatePath(void)
{
    const char* directory = getenv("TMPDIR");
    if (directory == NULL || directory[0] == '\0') {
        directory = "/tmp";
    }
    return std::string(directory) + "/ledsim-" + std::to_string(getuid()) + ".state";
}

// A lab machine's description is a few lines; the bound stops a path such
// as /dev/zero from reading without end.
static const size_t SCENARIO_LIMIT = 1u << 20;

// Any file that reads, a pipe too (LEDSIM_SCENARIO=<(...) in bash).
static std::string ReadWholeFile(const char* path)
{
    if (path[0] == '\0') {
        StopBeforeTheTool("LEDSIM_SCENARIO is set but empty: name a scenario file, or unset it");
    }
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        StopBeforeTheTool(std::string(path) + ": cannot read scenario: " + strerror(errno));
    }
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while (text.size() <= SCENARIO_LIMIT && (got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, got);
    }
    int readError = ferror(file) != 0 ? errno : 0;
    fclose(file);
    if (readError != 0) {
        StopBeforeTheTool(std::string(path) + ": cannot read scenario: " + strerror(readError));
    }
    if (text.size() > SCENARIO_LIMIT) {
        StopBeforeTheTool(std::string(path) +
                          ": cannot read scenario: larger than 1 MiB, the limit for a scenario");
    }
    return text;
}

static void AddDefaultInterface(SimMachine* machine)
{
    machine->interfaces.push_back(NewSimInterface(DEFAULT_DEVICE_PATH));
}

static void CheckBooksAtExit(void)
{
    std::string report = LedSimCheckBooks();
    if (!report.empty()) {
        fputs(report.c_str(), stderr);
    }
}

// A process (the tool's) configures its machine from the environment.
static void LoadFromEnvironment(void)
{
    const char* trace = getenv("LEDSIM_TRACE");
    const char* scenario = getenv("LEDSIM_SCENARIO");
    const char* state = getenv("LEDSIM_STATE");
    tracePath = trace != NULL ? trace : "";

    // Read before the machine exists, and free it before any stop, so that a
    // refused scenario leaves no leak for valgrind to report.
    std::string text = scenario != NULL ? ReadWholeFile(scenario) : std::string();
    SimMachine* machine = new SimMachine();
    std::string error;
    bool loaded = true;
    if (scenario != NULL) {
        ScenarioError scenarioError = {0, ""};
        if (!ParseScenario(text, machine, &scenarioError)) {
            loaded = false;
            error = std::string(scenario) + ":" + std::to_string(scenarioError.line) + ": " +
                    scenarioError.message;
        }
        machine->statePath = state != NULL ? state : "";
    } else {
        AddDefaultInterface(machine);
        machine->statePath = state != NULL ? state : DefaultStatePath();
    }
    if (loaded && !machine->statePath.empty()) {
        loaded = LoadBrightnessState(machine, &error);
    }
    if (!loaded) {
        delete machine;
        StopBeforeTheTool(error);
    }
    theMachine = machine;
    atexit(CheckBooksAtExit);
}

SimMachine& TheMachine(void)
{
    if (theMachine == NULL) {
        LoadFromEnvironment();
    }
    return *theMachine;
}

static void ReplaceMachine(SimMachine* machine)
{
    delete theMachine;
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
    SimMachine* machine = new SimMachine();
    AddDefaultInterface(machine);
    machine->statePath = statePath;
    std::string error;
    if (!machine->statePath.empty() && !LoadBrightnessState(machine, &error)) {
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
