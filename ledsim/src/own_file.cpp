#include "own_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenOwnFile(const std::string& path, int flags, const char* what, std::string* error)
{
    error->clear();
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        int reason = errno;
        if (reason != ENOENT) {
            *error = path + ": " +
                     (reason == ELOOP ? std::string(what) + " must be a regular file, not a symbolic link"
                                      : strerror(reason));
        }
        errno = reason;
        return -1;
    }
    struct stat info = {};
    const char* refusal = NULL;
    if (fstat(fd, &info) != 0 ||
        (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) && !S_ISFIFO(info.st_mode))) {
        refusal = "must be a regular file";
    } else if (S_ISDIR(info.st_mode)) {
        refusal = "must be a regular file, not a folder";
    } else if (S_ISFIFO(info.st_mode)) {
        refusal = "must be a regular file, not a FIFO";
    } else if (info.st_uid != geteuid()) {
        refusal = "must be your own file, not another user's";
    }
    if (refusal != NULL) {
        *error = path + ": " + what + " " + refusal;
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

bool WriteWhole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            errno = wrote == 0 ? EIO : errno;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool ReadWhole(int fd, std::string* text, size_t limit)
{
    char chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        text->append(chunk, static_cast<size_t>(got));
        if (text->size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
}
