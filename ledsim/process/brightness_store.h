// The brightness kept between runs: an SQLite database with a row per
// device path and a column per channel. A run reads its devices' rows when
// its machine is loaded, and each write sets its one column of its one row
// in a transaction of its own, so runs that share a store never hold it
// between those moments and never undo one another's writes.
#pragma once

#include <sqlite3.h>

#include <string>

#include "machine.h"

struct BrightnessStore {
    std::string path;
    int busyWaitMs; // How long a run waits for a store that another run holds.
    sqlite3* db;
    sqlite3_stmt* writes[LED_CHANNEL_COUNT]; // Each channel's write, prepared once a run.
    std::string unusable;                    // Why writes cannot be kept, where they cannot.
};

// The four names the store owns: the database and SQLite's companions.
extern const char* const STORE_SUFFIXES[4];

// Opens the store, making it where missing, and sets the machine's devices
// to the levels it keeps. False with the reason in *error for a store the
// run must not use: a folder that others may write, anything but a regular
// file of this user at one of its names, a file that is not a store of this
// version's, or one busy for longer than a run waits. A refused file keeps
// its bytes, or, stamped as a store, its bytes as SQLite's recovery left
// them. A store the run cannot write is only read.
bool OpenBrightnessStore(BrightnessStore* store, SimMachine* machine, std::string* error);

// The machine's level hook: keeps one level, or says why it cannot.
void KeepLevel(void* context, const SimInterface& device, int channel);

void CloseBrightnessStore(BrightnessStore* store);
