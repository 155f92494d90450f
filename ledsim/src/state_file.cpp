#include "state_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

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

bool LoadBrightnessState(SimMachine* machine, std::string* error)
{
    FILE* file = fopen(machine->statePath.c_str(), "r");
    if (file == NULL) {
        if (errno == ENOENT) {
            return true;
        }
        *error = machine->statePath + ": " + strerror(errno);
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
        for (SimInterface& iface : machine->interfaces) {
            if (iface.path == widePath) {
                for (int channel = 0; channel < 3; channel++) {
                    iface.brightness[channel] = values[channel];
                }
            }
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
    // Written aside and renamed, so a run that dies midway leaves the old state.
    std::string temporary = machine.statePath + ".new";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == NULL) {
        *error = temporary + ": " + strerror(errno);
        return false;
    }
    for (const SimInterface& iface : machine.interfaces) {
        fprintf(file, "%s %u %u %u\n", Utf16ToUtf8(iface.path).c_str(), iface.brightness[0],
                iface.brightness[1], iface.brightness[2]);
    }
    // A write that failed midway shows in the error flag, not always in fclose.
    bool written = ferror(file) == 0;
    bool ok = fclose(file) == 0 && written && rename(temporary.c_str(), machine.statePath.c_str()) == 0;
    if (!ok) {
        *error = machine.statePath + ": " + strerror(errno);
        remove(temporary.c_str());
    }
    return ok;
}
