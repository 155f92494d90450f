// Brightness kept between runs: one line per interface path,
// "<path> <green> <blue> <keyback>".
#pragma once

#include <string>

#include "machine.h"

// A missing file is an empty one. False, with a reason, for anything else at
// the path that is not a regular file of this user (a link is not followed),
// or that cannot be read or understood.
bool LoadBrightnessState(SimMachine* machine, std::string* error);

// Replaces the file whole, keeping the lines of paths this machine does not
// have; false, with "<path>: <reason>", if it cannot.
bool SaveBrightnessState(const SimMachine& machine, std::string* error);
