#include "check/check_options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void PrintCheckUsage(void)
{
    printf("Usage:\n"
           "  Tovrin_LED_Check [full] [--interface N] [--strict] [--soak SECONDS] [--only CHECKS]\n"
           "  Tovrin_LED_Check --help\n"
           "    (no full)        find the LED interfaces, open one as the tool does, read its levels;\n"
           "                     changes nothing\n"
           "    full             also writes, sweeps the codes and sizes, checks the handles, and\n"
           "                     restores the levels it found\n"
           "    --interface N    check interface N of SetupAPI's list, from 0 (default: the one the\n"
           "                     tool opens)\n"
           "    --strict         a refusal with another error than the contract's is a FAIL, not a WARN\n"
           "    --soak SECONDS   with full: also a thread per channel on a handle of its own, writing and\n"
           "                     reading for SECONDS\n"
           "    --only CHECKS    with full: only these groups or checks, by id, e.g. codes,sizes.returned\n"
           "  Exit status: 0 no FAIL, 1 a FAIL, 2 could not check (usage, no interface, the open\n"
           "  refused, Ctrl-C), 3 levels not restored\n");
}

// A decimal number, whole words only.
static bool ParseNumber(const char* text, DWORD* number)
{
    char* end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value > 0xFFFFFFFFul) {
        return false;
    }
    *number = static_cast<DWORD>(value);
    return true;
}

// Does the word (a group such as "codes", or a check's id) name the check?
static bool Names(const char* word, size_t length, CheckId check)
{
    const char* id = CHECKS[check].id;
    return strncmp(id, word, length) == 0 && (id[length] == '\0' || id[length] == '.');
}

// Marks the checks a comma-separated list names; false for a word that names
// none.
static bool SelectChecks(const char* list, bool selected[CHECK_COUNT])
{
    const char* word = list;
    for (;;) {
        size_t length = strcspn(word, ",");
        bool known = false;
        for (int check = 0; check < CHECK_COUNT; check++) {
            if (length > 0 && Names(word, length, static_cast<CheckId>(check))) {
                selected[check] = true;
                known = true;
            }
        }
        if (!known) {
            printf("--only: no check is named '%.*s'\n", static_cast<int>(length), word);
            return false;
        }
        if (word[length] == '\0') {
            return true;
        }
        word += length + 1;
    }
}

// An option that takes a value, and so is followed by one.
static bool TakesValue(const char* word)
{
    return strcmp(word, "--interface") == 0 || strcmp(word, "--soak") == 0 || strcmp(word, "--only") == 0;
}

bool ParseCheckOptions(int argc, char** argv, CheckOptions* options)
{
    const char* only = NULL;
    bool ok = true;
    for (int i = 1; ok && i < argc; i++) {
        const char* word = argv[i];
        const char* value = TakesValue(word) && i + 1 < argc ? argv[++i] : NULL;
        if (strcmp(word, "--help") == 0 || strcmp(word, "/?") == 0) {
            options->help = true;
        } else if (strcmp(word, "full") == 0) {
            options->full = true;
        } else if (strcmp(word, "--strict") == 0) {
            options->strict = true;
        } else if (strcmp(word, "--interface") == 0 && value != NULL) {
            ok = ParseNumber(value, &options->interfaceIndex);
            options->interfaceGiven = true;
        } else if (strcmp(word, "--soak") == 0 && value != NULL) {
            ok = ParseNumber(value, &options->soakSeconds) && options->soakSeconds > 0;
        } else if (strcmp(word, "--only") == 0 && value != NULL) {
            only = value;
        } else {
            ok = false;
        }
        if (!ok) {
            printf("Not understood: %s%s%s\n", word, value != NULL ? " " : "", value != NULL ? value : "");
        }
    }
    // Every check but the soak, which its own option asks for; or what
    // --only names.
    for (int check = 0; check < CHECK_COUNT; check++) {
        options->selected[check] = only == NULL && (check != IdSoak || options->soakSeconds > 0);
    }
    if (ok && only != NULL) {
        ok = SelectChecks(only, options->selected);
    }
    if (ok && options->selected[IdSoak] && options->soakSeconds == 0) {
        printf("The soak needs its time: --soak SECONDS\n");
        ok = false;
    }
    if (ok && !options->full && (options->soakSeconds > 0 || only != NULL)) {
        printf("--soak and --only go with full, which writes levels\n");
        ok = false;
    }
    return ok;
}
