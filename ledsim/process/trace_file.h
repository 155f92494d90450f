// The trace file: the machine's calls, one line each, appended to the file
// LEDSIM_TRACE names as each call happens.
#pragma once

#include <string>

struct TraceFile {
    std::string path;
    int fd;
    long long waitLeftMs; // How much longer writes may wait for a FIFO's reader, in all.
};

// Opens the trace for this run. A file that cannot be used, or that is one
// of the store's files (storeNames), is said once on standard error, and
// the run goes on without it.
void OpenTraceFile(TraceFile* trace, const std::string& path, const std::string storeNames[],
                   size_t nameCount);

// The machine's call hook: appends one line, or stops the trace, saying why.
void WriteTraceLine(void* context, const std::string& call);

void CloseTraceFile(TraceFile* trace);
