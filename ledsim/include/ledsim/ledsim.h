// Control of the simulated Windows machine behind the stand-in platform:
// what tests and tools use to set it up and to read its books. The tool
// itself never includes this.
#pragma once

#include <string>
#include <vector>

// Counts since the machine was loaded; LedSimCheckBooks tells which set or
// handle is still open.
struct LedSimBooks {
    unsigned setsCreated;
    unsigned setsDestroyed;
    unsigned invalidCloses; // Close or destroy of a closed or unknown object.
};

// Replaces the machine with one described by scenario text (the format of
// LEDSIM_SCENARIO), in memory: nothing is kept. On a refusal returns false
// with "line N: reason" in *error and leaves the machine as it was.
bool LedSimLoadScenario(const std::string& text, std::string* error);

// Replaces the machine with the embedded default: one LED device.
void LedSimLoadDefaultMachine(void);

LedSimBooks LedSimGetBooks(void);

// One line per object left open or closed twice; empty when balanced.
std::string LedSimCheckBooks(void);

// Every platform call since the machine was loaded, one line each.
const std::vector<std::string>& LedSimCalls(void);

// Brightness of one channel (0 green, 1 blue, 2 keyback) of the
// interface at position `index` in the scenario; -1 if there is none.
int LedSimBrightness(size_t index, int channel);
