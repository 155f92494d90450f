#include "environment.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "scenario.h"

// A lab machine's description is a few lines; the bound stops a path such
// as /dev/zero from reading without end.
static const size_t SCENARIO_LIMIT = 1u << 20;

// A run holds the store for a few milliseconds, a second or two under
// valgrind; one still waiting after this long is stuck behind something
// else, and says so. LEDSIM_BUSY_WAIT_MS changes it, for the tests.
static const long BUSY_WAIT_MS = 10000;
static const long BUSY_WAIT_MAX_MS = 3600000;

// Where the default machine keeps its levels, the XDG place for state that
// outlives a run: $XDG_STATE_HOME/ledsim/state.db or, where that is not an
// absolute path, $HOME/.local/state/ledsim/state.db; "" where neither
// names a folder. *variable gets the one used.
static std::string DefaultStorePath(const char** variable)
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    bool xdg = state != NULL && state[0] == '/';
    *variable = xdg ? "XDG_STATE_HOME" : "HOME";
    return xdg                              ? std::string(state) + "/ledsim/state.db"
           : home != NULL && home[0] == '/' ? std::string(home) + "/.local/state/ledsim/state.db"
                                            : "";
}

// Makes the default store's folders where they are missing, private; false
// with why where its home cannot hold it: a folder on the way that cannot
// be made, or one above the store's own that another user may swap.
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

// Where the run keeps its levels: a scenario's only where LEDSIM_STATE asks
// for it. A home that cannot hold the default store is as if there were
// none: nothing is kept, and the run says so.
static std::string StorePath(const char* scenario, const char* state, const std::string& defaultStore,
                             const char* variable)
{
    std::string reason;
    if (state != NULL || scenario != NULL) {
        return state != NULL ? state : "";
    }
    if (defaultStore.empty()) {
        fprintf(stderr, "ledsim: brightness not kept: neither XDG_STATE_HOME nor HOME names a folder\n");
    } else if (!MakeStoreFolders(defaultStore, &reason)) {
        fprintf(stderr, "ledsim: brightness not kept: %s is %s: %s\n", variable, getenv(variable),
                reason.c_str());
    }
    return reason.empty() ? defaultStore : "";
}

// Any file that reads, a pipe too (LEDSIM_SCENARIO=<(...) in bash).
static std::string ReadScenario(const char* path, std::string* error)
{
    std::string text;
    int fd = path[0] != '\0' ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (path[0] == '\0') {
        *error = "LEDSIM_SCENARIO is set but empty: name a scenario file, or unset it";
    } else if (fd < 0 || !ReadWhole(fd, &text, SCENARIO_LIMIT)) {
        *error = std::string(path) + ": cannot read scenario: " +
                 (errno == EFBIG ? "larger than 1 MiB, the limit for a scenario" : strerror(errno));
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

bool LoadMachineFromEnvironment(SimProcess* process)
{
    const char* scenario = getenv("LEDSIM_SCENARIO");
    const char* wait = getenv("LEDSIM_BUSY_WAIT_MS");
    const char* variable = NULL;
    std::string defaultStore = DefaultStorePath(&variable);
    std::string error;
    char* end = NULL;
    errno = 0;
    long waitMs = wait != NULL ? strtol(wait, &end, 10) : BUSY_WAIT_MS;
    if (wait != NULL &&
        (wait[0] < '0' || wait[0] > '9' || *end != '\0' || errno != 0 || waitMs > BUSY_WAIT_MAX_MS)) {
        error = "LEDSIM_BUSY_WAIT_MS must be a number of milliseconds from 0 to " +
                std::to_string(BUSY_WAIT_MAX_MS) + ", not '" + wait + "'";
    }
    *process = {{error.empty() ? StorePath(scenario, getenv("LEDSIM_STATE"), defaultStore, variable) : "",
                 static_cast<int>(waitMs),
                 NULL,
                 {},
                 ""},
                {"", -1, 0}};
    // The trace goes into no store, whichever the run keeps, nor into the
    // scenario.
    std::vector<GuardedFile> guarded;
    for (const std::string& kept : {process->store.path, defaultStore}) {
        for (const char* suffix : STORE_SUFFIXES) {
            if (!kept.empty()) {
                guarded.push_back({kept + suffix, "a file of the brightness store"});
            }
        }
    }
    if (scenario != NULL) {
        guarded.push_back({scenario, "the scenario"});
    }
    if (error.empty() && getenv("LEDSIM_TRACE") != NULL) {
        OpenTraceFile(&process->trace, getenv("LEDSIM_TRACE"), guarded);
    }

    SimMachine* machine = scenario != NULL ? new SimMachine() : NewDefaultMachine();
    ScenarioError scenarioError = {0, ""};
    std::string text = error.empty() && scenario != NULL ? ReadScenario(scenario, &error) : "";
    if (error.empty() && scenario != NULL && !ParseScenario(text, machine, &scenarioError)) {
        error =
            std::string(scenario) + ":" + std::to_string(scenarioError.line) + ": " + scenarioError.message;
    }
    if (error.empty() && !process->store.path.empty() &&
        OpenBrightnessStore(&process->store, machine, &error)) {
        machine->hooks.levelSet = KeepLevel;
        machine->hooks.keeper = &process->store;
    }
    machine->hooks.callMade = WriteTraceLine;
    machine->hooks.listener = &process->trace;
    if (!error.empty()) {
        fprintf(stderr, "ledsim: %s\n", error.c_str());
        delete machine;
        CloseSimProcess(process);
    } else {
        UseMachine(machine);
    }
    return error.empty();
}

void CloseSimProcess(SimProcess* process)
{
    CloseBrightnessStore(&process->store);
    CloseTraceFile(&process->trace);
}
