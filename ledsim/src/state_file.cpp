#include "state_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "utf.h"

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
    unsigned values[3];
    int fields = 0;
    while ((fields = fscanf(file, "%4095s %u %u %u", path, &values[0], &values[1], &values[2])) == 4) {
        std::u16string widePath;
        if (values[0] > 255 || values[1] > 255 || values[2] > 255 || !Utf8ToUtf16(path, &widePath)) {
            ok = false;
            break;
        }
        for (SimInterface& iface : machine->interfaces) {
            if (iface.path == widePath) {
                for (int channel = 0; channel < 3; channel++) {
                    iface.brightness[channel] = static_cast<uint8_t>(values[channel]);
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
    bool ok = fclose(file) == 0 && rename(temporary.c_str(), machine.statePath.c_str()) == 0;
    if (!ok) {
        *error = machine.statePath + ": " + strerror(errno);
        remove(temporary.c_str());
    }
    return ok;
}
