#include "environment.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brightness_store.h"
#include "files.h"
#include "scenario.h"
#include "trace_file.h"

// What the process holds from the machine's load to its end.
static BrightnessStore store = {"", 0, NULL, ""};
static TraceFile trace = {"", -1, 0};

static void StopBeforeTheTool(const std::string& message)
{
    CloseTraceFile(&trace);
    fprintf(stderr, "ledsim: %s\n", message.c_str());
    exit(2);
}

// Where the default machine keeps its levels: the XDG place for state that
// outlives a run, in a folder of this user's only. Missing folders are made
// private. "" where neither variable names a folder.
static std::string DefaultStorePath(void)
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string folder;
    if (state != NULL && state[0] == '/') {
        folder = state;
    } else if (home != NULL && home[0] == '/') {
        folder = std::string(home) + "/.local/state";
    } else {
        return "";
    }
    folder += "/ledsim";
    for (size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0700);
    }
    mkdir(folder.c_str(), 0700);
    return folder + "/state.db";
}

// A lab machine's description is a few lines; the bound stops a path such
// as /dev/zero from reading without end.
static const size_t SCENARIO_LIMIT = 1u << 20;

// Any file that reads, a pipe too (LEDSIM_SCENARIO=<(...) in bash).
static std::string ReadScenario(const char* path)
{
    if (path[0] == '\0') {
        StopBeforeTheTool("LEDSIM_SCENARIO is set but empty: name a scenario file, or unset it");
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    std::string text;
    if (fd < 0 || !ReadWhole(fd, &text, SCENARIO_LIMIT)) {
        int reason = errno;
        StopBeforeTheTool(
            std::string(path) + ": cannot read scenario: " +
            (reason == EFBIG ? "larger than 1 MiB, the limit for a scenario" : strerror(reason)));
    }
    close(fd);
    return text;
}

// A run holds the store for a few milliseconds, a second or two under
// valgrind; a run still waiting after this long is stuck behind something
// else, and says so rather than hang. LEDSIM_BUSY_WAIT_MS changes it, so
// that tests of a busy store need not wait as long.
static const int BUSY_WAIT_MS = 10000;
static const int BUSY_WAIT_MAX_MS = 3600000;

static int BusyWaitMs(void)
{
    const char* text = getenv("LEDSIM_BUSY_WAIT_MS");
    if (text == NULL) {
        return BUSY_WAIT_MS;
    }
    char* end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value > BUSY_WAIT_MAX_MS) {
        StopBeforeTheTool("LEDSIM_BUSY_WAIT_MS must be a number of milliseconds from 0 to " +
                          std::to_string(BUSY_WAIT_MAX_MS) + ", not '" + text + "'");
    }
    return static_cast<int>(value);
}

// The books are checked as the process ends, and what it holds let go.
static void EndOfRun(void)
{
    std::string report = LedSimCheckBooks();
    if (!report.empty()) {
        fputs(report.c_str(), stderr);
    }
    CloseBrightnessStore(&store);
    CloseTraceFile(&trace);
}

SimMachine* LoadMachineFromEnvironment(void)
{
    const char* scenario = getenv("LEDSIM_SCENARIO");
    const char* state = getenv("LEDSIM_STATE");
    const char* tracePath = getenv("LEDSIM_TRACE");
    store.busyWaitMs = BusyWaitMs();
    // A scenario keeps its levels only where LEDSIM_STATE asks for it.
    store.path = state != NULL ? state : scenario != NULL ? "" : DefaultStorePath();
    if (state == NULL && scenario == NULL && store.path.empty()) {
        fprintf(stderr, "ledsim: brightness not kept: neither XDG_STATE_HOME nor HOME names a folder\n");
    }
    std::vector<GuardedFile> guarded;
    for (size_t i = 0; i < 4 && !store.path.empty(); i++) {
        guarded.push_back({store.path + STORE_SUFFIXES[i], "a file of the brightness store"});
    }
    if (scenario != NULL) {
        guarded.push_back({scenario, "the scenario"});
    }
    if (tracePath != NULL) {
        OpenTraceFile(&trace, tracePath, guarded);
    }

    // Read before the machine exists, and free it before any stop, so that a
    // refused setup leaves no leak for valgrind to report.
    std::string text = scenario != NULL ? ReadScenario(scenario) : std::string();
    SimMachine* machine = scenario != NULL ? new SimMachine() : NewDefaultMachine();
    std::string error;
    ScenarioError scenarioError = {0, ""};
    if (scenario != NULL && !ParseScenario(text, machine, &scenarioError)) {
        error =
            std::string(scenario) + ":" + std::to_string(scenarioError.line) + ": " + scenarioError.message;
    } else if (!store.path.empty() && OpenBrightnessStore(&store, machine, &error)) {
        machine->hooks.levelSet = KeepLevel;
        machine->hooks.keeper = &store;
    }
    if (!error.empty()) {
        delete machine;
        StopBeforeTheTool(error);
    }
    machine->hooks.callMade = WriteTraceLine;
    machine->hooks.listener = &trace;
    atexit(EndOfRun);
    return machine;
}

// Linked into the process, this layer makes the machine its calls run on.
__attribute__((constructor)) static void UseTheEnvironment(void)
{
    SetMachineLoader(LoadMachineFromEnvironment);
}
