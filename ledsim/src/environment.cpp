#include "environment.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "own_file.h"
#include "scenario.h"
#include "trace.h"

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

SimMachine* LoadMachineFromEnvironment(void)
{
    const char* trace = getenv("LEDSIM_TRACE");
    const char* scenario = getenv("LEDSIM_SCENARIO");
    const char* state = getenv("LEDSIM_STATE");
    if (trace != NULL) {
        OpenTraceFile(trace);
    }

    // Read before the machine exists, and free it before any stop, so that a
    // refused scenario leaves no leak for valgrind to report.
    std::string text = scenario != NULL ? ReadWholeFile(scenario) : std::string();
    SimMachine* machine = scenario != NULL ? new SimMachine() : NewDefaultMachine();
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
        machine->statePath = state != NULL ? state : DefaultStatePath();
    }
    loaded = loaded && LoadLockedState(machine, &error);
    if (!loaded) {
        delete machine;
        StopBeforeTheTool(error);
    }
    return machine;
}
