// The trace file: the machine's calls, one line each, appended to the file
// LEDSIM_TRACE names as each call happens.
#pragma once

#include <string>
#include <vector>

struct TraceFile {
    std::string path;
    int fd;
    long long waitLeftMs; // How much longer writes may wait for a FIFO's reader, in all.
};

// A file the run reads or keeps, which the trace must not be: its path, and
// what it is ("the scenario").
struct GuardedFile {
    std::string path;
    std::string what;
};

// Opens the trace for this run. A file that cannot be used, or that is one
// of the guarded files (by name or by inode), is said once on standard
// error, and the run goes on without it.
void OpenTraceFile(TraceFile* trace, const std::string& path, const std::vector<GuardedFile>& guarded);

// The machine's call hook: appends one line, or stops the trace, saying why.
void WriteTraceLine(void* context, const std::string& call);

void CloseTraceFile(TraceFile* trace);
