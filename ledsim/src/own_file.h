// Opening the files of the brightness state, which may sit in a shared folder
// such as /tmp, where another user can plant a link, a FIFO or a file of
// their own at the path: only a regular file of this user is used, never
// through a link, and opening never waits on a FIFO.
#pragma once

#include <string>

// open(2) with `flags` and O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode 0600 if
// it creates the file. Returns the descriptor, or -1 with "<path>: <reason>"
// in *error (`what` names the file in it) and errno from the failed open or
// check; a file that does not exist leaves *error empty.
int OpenOwnFile(const std::string& path, int flags, const char* what, std::string* error);

// Writes all of text, retrying short writes; false with errno on a failure.
bool WriteWhole(int fd, const std::string& text);

// Reads fd to its end: true with all of it in *text, or false with errno
// (EFBIG for more than limit bytes). A read error is never taken for the end.
bool ReadWhole(int fd, std::string* text, size_t limit);
