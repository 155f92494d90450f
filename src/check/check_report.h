// The checker's output: one line per check, starting with its verdict, and a
// closing line that counts them.
#pragma once

#include <windows.h>

// Every check, in the order a run makes them: X(Name, "id", writes), the id
// naming the clause it checks, writes true where it changes levels (full
// runs it).
#define LED_CHECKS(X)                                                                                        \
    X(Discovery, "discovery", false)                                                                         \
    X(Open, "open", false)                                                                                   \
    X(Levels, "levels", false)                                                                               \
    X(OpenOthers, "open.others", false)                                                                      \
    X(CodesSix, "codes.six", true)                                                                           \
    X(CodesAccess, "codes.access", true)                                                                     \
    X(CodesFunctions, "codes.functions", true)                                                               \
    X(CodesTypes, "codes.types", true)                                                                       \
    X(SizesLengths, "sizes.lengths", true)                                                                   \
    X(SizesReturned, "sizes.returned", true)                                                                 \
    X(SizesGuard, "sizes.guard", true)                                                                       \
    X(SizesUnchanged, "sizes.unchanged", true)                                                               \
    X(ValuesLevels, "values.levels", true)                                                                   \
    X(ValuesIsolation, "values.isolation", true)                                                             \
    X(HandlesShared, "handles.shared", true)                                                                 \
    X(HandlesReopen, "handles.reopen", true)                                                                 \
    X(Soak, "soak", true)                                                                                    \
    X(Restore, "restore", true)

#define LED_CHECK_INDEX(Name, id, writes) Id##Name,
enum CheckId { LED_CHECKS(LED_CHECK_INDEX) CHECK_COUNT };
#undef LED_CHECK_INDEX

struct CheckInfo {
    const char* id;
    bool writes;
};
extern const CheckInfo CHECKS[CHECK_COUNT];

// In the order a finding weighs: a line takes the heaviest of its findings.
enum Verdict { Pass, Skip, Warn, Fail, VERDICT_COUNT };

struct CheckReport {
    bool strict; // A refusal with another error than the contract's fails.
    unsigned counts[VERDICT_COUNT];
    ULONGLONG startTicks;
};

// A finding that only weighs as a warning: a FAIL under --strict.
Verdict OtherErrorVerdict(const CheckReport* report);

// Prints "<VERDICT> <id>: " and counts it; the caller prints the rest of the
// line with printf and ends it with EndCheckLine.
void BeginCheckLine(CheckReport* report, Verdict verdict, CheckId check);
void EndCheckLine(void);

// The closing line: each verdict's count, the time since startTicks, and the
// exit status with what it means.
void PrintClosingLine(const CheckReport* report, int status, const char* meaning);
