#include "trace.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine.h"
#include "own_file.h"

static int traceFile = -1;
static bool traceIsFifo = false;
static std::string tracePath;

static void StopTracing(const char* reason)
{
    // Said once; the run goes on without the file.
    fprintf(stderr, "ledsim: trace not written: %s: %s\n", tracePath.c_str(), reason);
    CloseTraceFile();
}

// Opened once, like the state never through a link, and never waiting on a
// FIFO: the trace may be asked for in a shared folder such as /tmp, where
// another user can plant a link, a FIFO or a file of their own at the path.
// A FIFO with a reader, or a device such as /dev/null, is fine.
void OpenTraceFile(const std::string& path)
{
    CloseTraceFile();
    tracePath = path;
    traceFile = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (traceFile < 0) {
        StopTracing(errno == ELOOP   ? "trace must not be a symbolic link"
                    : errno == ENXIO ? "a FIFO with no reader"
                                     : strerror(errno));
        return;
    }
    struct stat info = {};
    if (fstat(traceFile, &info) != 0) {
        StopTracing(strerror(errno));
    } else if ((S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) && info.st_uid != geteuid()) {
        StopTracing("trace must be your own file, not another user's");
    } else {
        traceIsFifo = S_ISFIFO(info.st_mode);
    }
}

void CloseTraceFile(void)
{
    if (traceFile >= 0) {
        close(traceFile);
        traceFile = -1;
    }
}

// A FIFO whose reader went away would end the run with SIGPIPE; ignored for
// the write, it fails with EPIPE, and that is said like any failed write.
static bool WriteTraceLine(const std::string& line)
{
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    if (traceIsFifo) {
        sigaction(SIGPIPE, &ignore, &previous);
    }
    bool written = WriteWhole(traceFile, line);
    int error = errno;
    if (traceIsFifo) {
        sigaction(SIGPIPE, &previous, NULL);
    }
    errno = error;
    return written;
}

void TraceCall(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    TheMachine().trace.push_back(line);

    if (traceFile >= 0 && !WriteTraceLine(std::string(line) + "\n")) {
        StopTracing(strerror(errno));
    }
}
