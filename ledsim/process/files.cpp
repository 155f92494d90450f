#include "files.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

bool CheckOwnRegularFile(const std::string& path, const char* what, std::string* error)
{
    struct stat info = {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = path + ": " + strerror(errno);
        return false;
    }
    const char* refusal = S_ISLNK(info.st_mode)      ? "must be a regular file, not a symbolic link"
                          : S_ISDIR(info.st_mode)    ? "must be a regular file, not a folder"
                          : S_ISFIFO(info.st_mode)   ? "must be a regular file, not a FIFO"
                          : !S_ISREG(info.st_mode)   ? "must be a regular file, not a device"
                          : info.st_uid != geteuid() ? "must be your own file, not another user's"
                          : info.st_nlink > 1        ? "must be a regular file, not a hard link"
                                                     : NULL;
    if (refusal != NULL) {
        *error = path + ": " + what + " " + refusal;
    }
    return refusal == NULL;
}

bool CheckFolders(const std::string& folder, bool own, std::string* error)
{
    char real[PATH_MAX];
    const char* refusal = NULL;
    std::string at = realpath(folder.c_str(), real) != NULL ? real : "";
    for (; !at.empty() && refusal == NULL; own = false) {
        struct stat info = {};
        bool othersWrite = stat(at.c_str(), &info) == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        refusal =
            info.st_uid != geteuid() && info.st_uid != 0
                ? (own ? "the folder of the brightness store must be your own or root's, not another user's"
                       : "a folder above the brightness store must be your own or root's, not another user's")
            : own && (info.st_mode & S_IWOTH) != 0
                ? "the folder of the brightness store must be writable by you alone, not by others: keep "
                  "the store in a folder of your own (mkdir -m 700)"
            : own && othersWrite
                ? "the folder of the brightness store must be writable by you alone, not by its group "
                  "(chmod g-w)"
            : othersWrite && (info.st_mode & S_ISVTX) == 0
                ? "a folder above the brightness store must be writable by its owner alone, unless sticky "
                  "as /tmp is"
                : NULL;
        if (refusal != NULL) {
            *error = at + ": " + refusal;
        }
        at = at == "/" ? "" : FolderOf(at);
    }
    return refusal == NULL;
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string CanonicalPath(const std::string& path)
{
    size_t slash = path.rfind('/');
    char real[PATH_MAX];
    if (realpath(FolderOf(path).c_str(), real) == NULL) {
        return path;
    }
    return std::string(real) + (strcmp(real, "/") == 0 ? "" : "/") + path.substr(slash + 1);
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

void IgnoreSignal(int signal, struct sigaction* previous)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(signal, &ignore, previous);
}

void RestoreSignal(int signal, const struct sigaction* previous)
{
    sigaction(signal, previous, NULL);
}

long long MonotonicMs(void)
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}
