// The files the process layer reads and writes, which may be named in a
// shared folder such as /tmp, where another user can plant a link, a FIFO
// or a file of their own; a write must not end the run with a signal, nor
// wait on it without end.
#pragma once

#include <signal.h>

#include <string>

// True where nothing is at path, or a regular file of this user with no
// other name (a link is not followed; a name seen with no link at all is
// being removed by another run); else false with "<path>: <what> must be
// ..." in *error.
bool CheckOwnRegularFile(const std::string& path, const char* what, std::string* error);

// True where the folder, and each one above it up to /, is this user's or
// root's and writable by its owner alone (a group or ACL that grants write
// shows in the group bits): whoever can write a folder can swap the files
// in it. A folder above may be sticky instead, as /tmp is; the store's own
// folder (own) may not. Else false with "<folder>: <why>" in *error. A
// folder that does not resolve passes: opening in it says why.
bool CheckFolders(const std::string& folder, bool own, std::string* error);

// The folder a path names a file in: "." for a bare name.
std::string FolderOf(const std::string& path);

// The path with its folder resolved, so that two names of one file compare
// equal whether or not the file exists yet.
std::string CanonicalPath(const std::string& path);

// Reads fd to its end: true with all of it in *text, or false with errno
// (EFBIG for more than limit bytes).
bool ReadWhole(int fd, std::string* text, size_t limit);

// While its signal is ignored, a write past a file-size limit or into a
// pipe without a reader fails with EFBIG or EPIPE rather than end the run.
void IgnoreSignal(int signal, struct sigaction* previous);
void RestoreSignal(int signal, const struct sigaction* previous);

// Milliseconds on a clock that only goes forward, for bounded waits.
long long MonotonicMs(void);
