#include "state_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utf.h"

// A brightness as the file keeps it: one to three digits, at most 255. Read
// as text because scanf's %u has no defined result for a number that overflows.
static bool ParseBrightness(const char* text, uint8_t* value)
{
    size_t length = strlen(text);
    if (length == 0 || length > 3) {
        return false;
    }
    unsigned result = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (result > 255) {
        return false;
    }
    *value = static_cast<uint8_t>(result);
    return true;
}

static std::string StateLine(const std::string& path, const uint8_t levels[3])
{
    return path + " " + std::to_string(levels[0]) + " " + std::to_string(levels[1]) + " " +
           std::to_string(levels[2]) + "\n";
}

// The state may sit in a shared folder such as /tmp, where another user can
// plant a link or a FIFO at its path: only a regular file of this user is
// read, never through a link, and opening never waits on a FIFO.
static int OpenStateFile(const std::string& path, std::string* error)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return -1;
        }
        *error = path + ": " +
                 (errno == ELOOP ? "brightness state must be a regular file, not a symbolic link"
                                 : strerror(errno));
        return -1;
    }
    struct stat info = {};
    const char* refusal = NULL;
    if (fstat(fd, &info) != 0) {
        refusal = strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        refusal = "brightness state must be a regular file, not a folder";
    } else if (S_ISFIFO(info.st_mode)) {
        refusal = "brightness state must be a regular file, not a FIFO";
    } else if (!S_ISREG(info.st_mode)) {
        refusal = "brightness state must be a regular file";
    } else if (info.st_uid != geteuid()) {
        refusal = "brightness state must be your own file, not another user's";
    }
    if (refusal != NULL) {
        *error = path + ": " + refusal;
        close(fd);
        return -1;
    }
    return fd;
}

bool LoadBrightnessState(SimMachine* machine, std::string* error)
{
    error->clear();
    int fd = OpenStateFile(machine->statePath, error);
    if (fd < 0) {
        return error->empty(); // A missing file is an empty one.
    }
    FILE* file = fdopen(fd, "r");
    if (file == NULL) {
        *error = machine->statePath + ": " + strerror(errno);
        close(fd);
        return false;
    }
    bool ok = true;
    char path[4096];
    char numbers[3][16];
    int fields = 0;
    while ((fields = fscanf(file, "%4095s %15s %15s %15s", path, numbers[0], numbers[1], numbers[2])) == 4) {
        uint8_t values[3] = {0, 0, 0};
        std::u16string widePath;
        if (!ParseBrightness(numbers[0], &values[0]) || !ParseBrightness(numbers[1], &values[1]) ||
            !ParseBrightness(numbers[2], &values[2]) || !Utf8ToUtf16(path, &widePath)) {
            ok = false;
            break;
        }
        bool found = false;
        for (SimInterface& iface : machine->interfaces) {
            if (iface.path == widePath) {
                found = true;
                for (int channel = 0; channel < 3; channel++) {
                    iface.brightness[channel] = values[channel];
                }
            }
        }
        if (!found) {
            machine->otherStates.push_back(StateLine(path, values));
        }
    }
    if (fields != EOF) {
        ok = false;
    }
    fclose(file);
    if (!ok) {
        *error = machine->statePath + ": not a brightness state file";
    }
    return ok;
}

bool SaveBrightnessState(const SimMachine& machine, std::string* error)
{
    // Written to a file of a fresh name created here (never an existing one,
    // never through a link) and renamed into place, so a run that dies
    // midway leaves the old state. rename replaces a link at the path, it
    // does not follow it.
    std::string temporary = machine.statePath + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = machine.statePath + ": " + strerror(errno);
        return false;
    }
    FILE* file = fdopen(fd, "w");
    if (file == NULL) {
        *error = machine.statePath + ": " + strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    for (const SimInterface& iface : machine.interfaces) {
        fputs(StateLine(Utf16ToUtf8(iface.path), iface.brightness).c_str(), file);
    }
    for (const std::string& line : machine.otherStates) {
        fputs(line.c_str(), file);
    }
    // A write that failed midway shows in the error flag, not always in fclose.
    bool written = ferror(file) == 0;
    bool ok = fclose(file) == 0 && written && rename(temporary.c_str(), machine.statePath.c_str()) == 0;
    if (!ok) {
        *error = machine.statePath + ": " + strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}
