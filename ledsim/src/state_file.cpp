#include "state_file.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "own_file.h"
#include "utf.h"

// A state file holds a line or two per machine; the bound stops a file that
// grew without end, or a wrong path, from being read whole into memory.
static const size_t STATE_LIMIT = 16u << 20;

// What a save names its new file before the rename: "<state>.saving-XXXXXX".
static const char TEMPORARY_INFIX[] = ".saving-";
static const size_t TEMPORARY_SUFFIX = 6;

// A brightness as the file keeps it: one to three digits, at most 255. Read
// as text because scanf's %u has no defined result for a number that overflows.
static bool ParseBrightness(const std::string& text, uint8_t* value)
{
    if (text.empty() || text.size() > 3) {
        return false;
    }
    unsigned result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned>(c - '0');
    }
    if (result > 255) {
        return false;
    }
    *value = static_cast<uint8_t>(result);
    return true;
}

// The path is everything before the last three blanks, so that any path a
// scenario can list comes back as it was saved.
static bool ParseStateLine(const std::string& line, std::string* path, uint8_t levels[3])
{
    size_t end = line.size();
    for (int channel = 2; channel >= 0; channel--) {
        size_t blank = end == 0 ? std::string::npos : line.rfind(' ', end - 1);
        if (blank == std::string::npos ||
            !ParseBrightness(line.substr(blank + 1, end - blank - 1), &levels[channel])) {
            return false;
        }
        end = blank;
    }
    *path = line.substr(0, end);
    return end != 0;
}

static std::string StateLine(const std::string& path, const uint8_t levels[3])
{
    return path + " " + std::to_string(levels[0]) + " " + std::to_string(levels[1]) + " " +
           std::to_string(levels[2]) + "\n";
}

static bool ParseStateText(const std::string& text, SimMachine* machine, std::string* error)
{
    std::unordered_map<std::u16string, size_t> byPath;
    for (size_t i = 0; i < machine->interfaces.size(); i++) {
        byPath.emplace(machine->interfaces[i].path, i);
    }
    unsigned lineNumber = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        lineNumber++;
        std::string where = machine->statePath + ":" + std::to_string(lineNumber) + ": ";
        for (char c : line) {
            unsigned char byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) {
                char code[8];
                snprintf(code, sizeof(code), "0x%02X", byte);
                *error = where + "not a brightness state file: control character " + code;
                return false;
            }
        }
        std::string path;
        uint8_t levels[3] = {0, 0, 0};
        std::u16string widePath;
        if (!ParseStateLine(line, &path, levels) || !Utf8ToUtf16(path, &widePath)) {
            *error = where + "not a brightness state file: '<path> <green> <blue> <keyback>' expected";
            return false;
        }
        auto found = byPath.find(widePath);
        if (found == byPath.end()) {
            machine->otherStates.push_back(StateLine(path, levels));
        } else {
            memcpy(machine->interfaces[found->second].brightness, levels, sizeof(levels));
        }
    }
    return true;
}

bool LoadBrightnessState(SimMachine* machine, std::string* error)
{
    int fd = OpenOwnFile(machine->statePath, O_RDONLY, "brightness state", error);
    if (fd < 0) {
        return error->empty(); // A missing file is an empty one.
    }
    // A read error is refused: the next save would drop what was not read.
    std::string text;
    bool read = ReadWhole(fd, &text, STATE_LIMIT);
    int reason = errno;
    close(fd);
    if (!read) {
        *error = machine->statePath + ": cannot read brightness state: " +
                 (reason == EFBIG ? "larger than 16 MiB, the limit for a state file" : strerror(reason));
        return false;
    }
    return ParseStateText(text, machine, error);
}

static bool IsTemporaryName(const std::string& name, const std::string& prefix)
{
    if (name.size() != prefix.size() + TEMPORARY_SUFFIX || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < name.size(); i++) {
        if (isalnum(static_cast<unsigned char>(name[i])) == 0) {
            return false;
        }
    }
    return true;
}

// A run killed between creating its new file and renaming it leaves that file
// behind. The caller holds the lock, so no live run owns one now.
static void RemoveLeftoverTemporaries(const std::string& statePath)
{
    size_t slash = statePath.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : statePath.substr(0, slash);
    std::string prefix = statePath.substr(slash == std::string::npos ? 0 : slash + 1) + TEMPORARY_INFIX;
    DIR* dir = opendir(folder.c_str());
    if (dir == NULL) {
        return;
    }
    for (struct dirent* entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
        struct stat info = {};
        if (IsTemporaryName(entry->d_name, prefix) &&
            fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == geteuid()) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

// Written to a file of a fresh name created here (never an existing one,
// never through a link) and renamed into place, so a run that dies midway
// leaves the old state. rename replaces a link at the path, it does not
// follow it.
static bool WriteAndRename(const SimMachine& machine, std::string* error)
{
    std::string temporary = machine.statePath + TEMPORARY_INFIX + std::string(TEMPORARY_SUFFIX, 'X');
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = machine.statePath + ": " + strerror(errno);
        return false;
    }
    std::string text;
    for (const SimInterface& iface : machine.interfaces) {
        text += StateLine(Utf16ToUtf8(iface.path), iface.brightness);
    }
    for (const std::string& line : machine.otherStates) {
        text += line;
    }
    // The reason of the first step that failed: the write, the close or the rename.
    int reason = WriteWhole(fd, text) ? 0 : errno;
    if (close(fd) != 0 && reason == 0) {
        reason = errno;
    }
    if (reason == 0 && rename(temporary.c_str(), machine.statePath.c_str()) != 0) {
        reason = errno;
    }
    bool ok = reason == 0;
    if (!ok) {
        *error = machine.statePath + ": " + strerror(reason);
        unlink(temporary.c_str());
    }
    return ok;
}

bool SaveBrightnessState(const SimMachine& machine, std::string* error)
{
    if (machine.stateLock >= 0) {
        RemoveLeftoverTemporaries(machine.statePath);
    }
    // A file-size limit (ulimit -f) would end the run with SIGXFSZ at the
    // write; ignored, the write fails with EFBIG and the old state stays.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    bool ok = WriteAndRename(machine, error);
    sigaction(SIGXFSZ, &previous, NULL);
    return ok;
}
