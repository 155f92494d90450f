// Scenario files: a lab machine described one directive a line.
#pragma once

#include <string>

#include "machine.h"

struct ScenarioError {
    unsigned line;
    std::string message;
};

// Adds the scenario's interfaces and faults to *machine. Any line it cannot
// understand is a refusal naming that line; nothing is ever skipped.
bool ParseScenario(const std::string& text, SimMachine* machine, ScenarioError* error);
