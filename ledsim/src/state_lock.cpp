#include "state_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "own_file.h"

// A run holds the lock for a few milliseconds, a second or two under
// valgrind; a run still waiting after this long is stuck behind something
// else, and says so rather than hang.
static const int LOCK_WAIT_SECONDS = 10;
static const long LOCK_POLL_NANOSECONDS = 10000000L; // 10 ms

// The lock is a file of its own beside the state, which a save replaces by
// a rename: a lock on the old state file would not stop a run that opened
// the new one.
bool LockBrightnessState(const std::string& statePath, int* lock, std::string* error)
{
    std::string path = statePath + ".lock";
    *lock = OpenOwnFile(path, O_RDWR | O_CREAT, "brightness state lock", error);
    if (*lock < 0) {
        int reason = errno;
        bool nothingToLose =
            reason == ENOENT || reason == EROFS || (reason == EACCES && access(path.c_str(), F_OK) != 0);
        if (nothingToLose) {
            error->clear();
        }
        return nothingToLose;
    }
    const struct timespec poll = {0, LOCK_POLL_NANOSECONDS};
    const long tries = LOCK_WAIT_SECONDS * (1000000000L / LOCK_POLL_NANOSECONDS);
    for (long tried = 0; flock(*lock, LOCK_EX | LOCK_NB) != 0; tried++) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = path + ": cannot lock the brightness state: " + strerror(errno);
        } else if (tried == tries) {
            *error = statePath;
            *error += ": another run has held the brightness state for " + std::to_string(LOCK_WAIT_SECONDS);
            *error += " s, the limit for waiting (its lock: " + path + ")";
        } else {
            nanosleep(&poll, NULL);
            continue;
        }
        UnlockBrightnessState(lock);
        return false;
    }
    return true;
}

void UnlockBrightnessState(int* lock)
{
    if (*lock >= 0) {
        close(*lock);
        *lock = -1;
    }
}
