#include "check/check_report.h"

#include <stdio.h>

#define LED_CHECK_INFO(Name, id, writes) {id, writes},
const CheckInfo CHECKS[CHECK_COUNT] = {LED_CHECKS(LED_CHECK_INFO)};

static const char* const VERDICT_WORDS[VERDICT_COUNT] = {"PASS", "SKIP", "WARN", "FAIL"};

Verdict OtherErrorVerdict(const CheckReport* report)
{
    return report->strict ? Fail : Warn;
}

void BeginCheckLine(CheckReport* report, Verdict verdict, CheckId check)
{
    report->counts[verdict]++;
    printf("%s %s: ", VERDICT_WORDS[verdict], CHECKS[check].id);
}

void EndCheckLine(void)
{
    // Each line as it is made: a run that hangs or is stopped shows how far
    // it got, through a pipe too.
    printf("\n");
    fflush(stdout);
}

void PrintClosingLine(const CheckReport* report, int status, const char* meaning)
{
    unsigned long tenths = static_cast<unsigned long>((GetTickCount64() - report->startTicks) / 100);
    printf("Tovrin_LED_Check: %u PASS, %u FAIL, %u WARN, %u SKIP in %lu.%lu s; exit status %d, %s\n",
           report->counts[Pass], report->counts[Fail], report->counts[Warn], report->counts[Skip],
           tenths / 10, tenths % 10, status, meaning);
    fflush(stdout);
}
