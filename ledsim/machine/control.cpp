// Control of the machine for tests and tools: ledsim/ledsim.h.
#include "ledsim/ledsim.h"

#include "machine.h"
#include "scenario.h"

bool LedSimLoadScenario(const std::string& text, std::string* error)
{
    SimMachine* machine = new SimMachine();
    ScenarioError scenarioError = {0, ""};
    if (!ParseScenario(text, machine, &scenarioError)) {
        *error = "line " + std::to_string(scenarioError.line) + ": " + scenarioError.message;
        delete machine;
        return false;
    }
    UseMachine(machine);
    return true;
}

void LedSimLoadDefaultMachine(void)
{
    UseMachine(NewDefaultMachine());
}

LedSimBooks LedSimGetBooks(void)
{
    return TheMachine().books;
}

std::string LedSimCheckBooks(void)
{
    std::string report;
    const SimMachine& machine = TheMachine();
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

const std::vector<std::string>& LedSimCalls(void)
{
    return TheMachine().calls;
}

int LedSimBrightness(size_t index, int channel)
{
    const SimMachine& machine = TheMachine();
    if (index >= machine.interfaces.size() || channel < 0 || channel >= LED_CHANNEL_COUNT) {
        return -1;
    }
    return machine.interfaces[index].brightness[channel];
}
