// The call trace: one line per platform call, kept by the machine and, where
// LEDSIM_TRACE names a file, appended to it as the call happens.
#pragma once

#include <string>

// Opens the trace file for this run; a file that cannot be used is said once
// on standard error and the run goes on without it.
void OpenTraceFile(const std::string& path);

void CloseTraceFile(void);

// Appends one line to the machine's trace and to the trace file, if open.
void TraceCall(const char* format, ...) __attribute__((format(printf, 1, 2)));
