// Brightness kept between runs: one line per interface path,
// "<path> <green> <blue> <keyback>".
#pragma once

#include <string>

#include "machine.h"

// A missing file is an empty one. False, with a reason, for a file that
// exists but cannot be read or understood.
bool LoadBrightnessState(SimMachine* machine, std::string* error);

// Rewrites the file whole; false, with a reason, if it cannot.
bool SaveBrightnessState(const SimMachine& machine, std::string* error);
