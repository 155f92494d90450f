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
static BrightnessStore store = {"", 0, NULL, {}, ""};
static TraceFile trace = {"", -1, 0};

static void StopBeforeTheTool(const std::string& message)
{
    CloseTraceFile(&trace);
    fprintf(stderr, "ledsim: %s\n", message.c_str());
    exit(2);
}

// Where the default machine keeps its levels: the XDG place for state that
// outlives a run, $XDG_STATE_HOME/ledsim/state.db or, where that is not an
// absolute path, $HOME/.local/state/ledsim/state.db. "" where neither
// variable names a folder; *variable gets the one used.
static std::string DefaultStorePath(const char** variable)
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    *variable = state != NULL && state[0] == '/' ? "XDG_STATE_HOME" : "HOME";
    if (state != NULL && state[0] == '/') {
        return std::string(state) + "/ledsim/state.db";
    }
    return home != NULL && home[0] == '/' ? std::string(home) + "/.local/state/ledsim/state.db" : "";
}

// Makes the default store's folders where they are missing, private: true,
// or false with why the home it is in cannot hold it: a folder on the way
// that cannot be made, or one above the store's own that another user may
// swap. The store's own folder is the store's to check.
static bool MakeStoreFolders(const std::string& path, std::string* reason)
{
    std::string folder = FolderOf(path);
    for (size_t slash = folder.find('/', 1); reason->empty(); slash = folder.find('/', slash + 1)) {
        std::string at = folder.substr(0, slash);
        if (mkdir(at.c_str(), 0700) != 0 && errno != EEXIST) {
            *reason = at + ": " + strerror(errno);
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    return reason->empty() && CheckFolders(FolderOf(folder), false, reason);
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
    const char* variable = NULL;
    std::string defaultStore = DefaultStorePath(&variable);
    std::string reason;
    store.busyWaitMs = BusyWaitMs();
    // A scenario keeps its levels only where LEDSIM_STATE asks for it. A
    // home that cannot hold the default store is as if it had none.
    if (state != NULL || scenario != NULL) {
        store.path = state != NULL ? state : "";
    } else if (defaultStore.empty()) {
        fprintf(stderr, "ledsim: brightness not kept: neither XDG_STATE_HOME nor HOME names a folder\n");
    } else if (!MakeStoreFolders(defaultStore, &reason)) {
        fprintf(stderr, "ledsim: brightness not kept: %s is %s: %s\n", variable, getenv(variable),
                reason.c_str());
    } else {
        store.path = defaultStore;
    }
    // The trace goes into no store, whichever the run keeps.
    std::vector<GuardedFile> guarded;
    for (const std::string& kept : {store.path, defaultStore}) {
        for (size_t i = 0; i < 4 && !kept.empty(); i++) {
            guarded.push_back({kept + STORE_SUFFIXES[i], "a file of the brightness store"});
        }
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
