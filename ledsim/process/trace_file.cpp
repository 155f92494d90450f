#include "trace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

// A FIFO's reader may be slower than the run: writes wait for it, up to
// this long in all, and the run then goes on without its trace.
static const long long TRACE_WAIT_MS = 10000;

static void StopTracing(TraceFile* trace, const char* reason)
{
    // Said once; the run goes on without the file.
    fprintf(stderr, "ledsim: trace not written: %s: %s\n", trace->path.c_str(), reason);
    CloseTraceFile(trace);
}

// Why the opened trace must not be used, or "". A regular file or a FIFO
// must be this user's own; a device such as /dev/null or a pipe will do.
static std::string Refusal(int fd, const std::vector<GuardedFile>& guarded)
{
    struct stat info = {};
    if (fstat(fd, &info) != 0) {
        return strerror(errno);
    }
    if ((S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) && info.st_uid != geteuid()) {
        return "trace must be your own file, not another user's";
    }
    for (const GuardedFile& file : guarded) {
        struct stat name = {};
        if (stat(file.path.c_str(), &name) == 0 && name.st_dev == info.st_dev && name.st_ino == info.st_ino) {
            return "trace must not be " + file.what;
        }
    }
    return "";
}

// A link is followed only where this user or root made it, as /dev/stderr
// and bash's >(...) are: another user may have planted it in a shared folder.
void OpenTraceFile(TraceFile* trace, const std::string& path, const std::vector<GuardedFile>& guarded)
{
    trace->path = path;
    trace->fd = -1;
    trace->waitLeftMs = TRACE_WAIT_MS;
    for (const GuardedFile& file : guarded) {
        if (CanonicalPath(file.path) == CanonicalPath(path)) {
            StopTracing(trace, ("trace must not be " + file.what).c_str());
            return;
        }
    }
    struct stat link = {};
    bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    if (isLink && link.st_uid != geteuid() && link.st_uid != 0) {
        StopTracing(trace, "trace must not be another user's symbolic link");
        return;
    }
    trace->fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW),
             0600);
    std::string refusal = trace->fd < 0 ? (errno == ENXIO ? "a FIFO with no reader" : strerror(errno))
                                        : Refusal(trace->fd, guarded);
    if (!refusal.empty()) {
        StopTracing(trace, refusal.c_str());
    }
}

// Waits for a full FIFO to take more; false once the run has waited its bound.
static bool WaitForReader(TraceFile* trace)
{
    struct pollfd ready = {trace->fd, POLLOUT, 0};
    long long start = MonotonicMs();
    int polled = trace->waitLeftMs > 0 ? poll(&ready, 1, static_cast<int>(trace->waitLeftMs)) : 0;
    trace->waitLeftMs -= MonotonicMs() - start;
    return polled != 0;
}

void WriteTraceLine(void* context, const std::string& call)
{
    TraceFile* trace = static_cast<TraceFile*>(context);
    if (trace->fd < 0) {
        return;
    }
    std::string line = call + "\n";
    const char* stop = NULL;
    struct sigaction pipe = {};
    struct sigaction size = {};
    IgnoreSignal(SIGPIPE, &pipe);
    IgnoreSignal(SIGXFSZ, &size);
    for (size_t done = 0; done < line.size() && stop == NULL;) {
        ssize_t wrote = write(trace->fd, line.data() + done, line.size() - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if (wrote < 0 && errno == EAGAIN) {
            stop = WaitForReader(trace) ? NULL : "its reader kept the run waiting for 10 s, the limit";
        } else if (wrote == 0 || errno != EINTR) {
            stop = strerror(wrote == 0 ? EIO : errno);
        }
    }
    RestoreSignal(SIGPIPE, &pipe);
    RestoreSignal(SIGXFSZ, &size);
    if (stop != NULL) {
        StopTracing(trace, stop);
    }
}

void CloseTraceFile(TraceFile* trace)
{
    if (trace->fd >= 0) {
        close(trace->fd);
        trace->fd = -1;
    }
}
