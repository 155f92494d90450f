#include <stdio.h>
#include <stdlib.h>

#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/led_exchange.h"
#include "device/led_control.h"

// Latencies in microseconds: each below 1 ms has a bucket, then one per
// 100 us up to 100 ms, and the last holds the rest.
const DWORD FINE_BUCKETS = 1000;
const DWORD BUCKET_COUNT = FINE_BUCKETS + 991;

struct SoakThread {
    const WCHAR* path;
    DWORD channel;
    ULONGLONG deadline; // GetTickCount64's.
    LONGLONG frequency; // QueryPerformanceCounter's ticks a second.
    DWORD openError;
    unsigned requests;
    unsigned errors;
    DWORD firstError;
    unsigned mismatches;
    BYTE wrote; // The first mismatch.
    BYTE read;
    ULONGLONG longest;
    unsigned buckets[BUCKET_COUNT];
};

static DWORD Bucket(ULONGLONG micros)
{
    if (micros < FINE_BUCKETS) {
        return static_cast<DWORD>(micros);
    }
    ULONGLONG coarse = FINE_BUCKETS + (micros - FINE_BUCKETS) / 100;
    return coarse < BUCKET_COUNT ? static_cast<DWORD>(coarse) : BUCKET_COUNT - 1;
}

static ULONGLONG BucketStart(DWORD bucket)
{
    return bucket < FINE_BUCKETS ? bucket : FINE_BUCKETS + 100ull * (bucket - FINE_BUCKETS);
}

// One request, timed into the thread's tally; false where it was refused.
static bool TimedRequest(SoakThread* soak, HANDLE device, DWORD code, DWORD inLength, DWORD outLength,
                         BYTE fill, BYTE* out)
{
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    LedReply reply = SendLedControl(device, code, inLength, outLength, fill);
    QueryPerformanceCounter(&end);
    ULONGLONG micros = static_cast<ULONGLONG>(end.QuadPart - start.QuadPart) * 1000000ull /
                       static_cast<ULONGLONG>(soak->frequency);
    soak->requests++;
    soak->buckets[Bucket(micros)]++;
    if (micros > soak->longest) {
        soak->longest = micros;
    }
    if (!reply.served) {
        soak->firstError = soak->errors == 0 ? reply.error : soak->firstError;
        soak->errors++;
    }
    *out = reply.out[0];
    return reply.served;
}

// Writes its channel level after level and reads each back, until the
// deadline or Ctrl-C.
static DWORD WINAPI RunSoakThread(LPVOID parameter)
{
    SoakThread* soak = static_cast<SoakThread*>(parameter);
    HANDLE device = OpenLedDevice(soak->path);
    if (device == INVALID_HANDLE_VALUE) {
        soak->openError = GetLastError();
        return 0;
    }
    BYTE level = static_cast<BYTE>(soak->channel * 85);
    while (GetTickCount64() < soak->deadline && !Interrupted()) {
        BYTE read = 0;
        level++;
        bool served = TimedRequest(soak, device, IOCTL_LED_CODE(soak->channel, 1u), 1, 0, level, &read) &&
                      TimedRequest(soak, device, IOCTL_LED_CODE(soak->channel, 0u), 0, 1, 0, &read);
        if (served && read != level) {
            if (soak->mismatches == 0) {
                soak->wrote = level;
                soak->read = read;
            }
            soak->mismatches++;
        }
    }
    CloseHandle(device);
    return 0;
}

// The latency below which `share` (out of 1000) of the requests took.
static ULONGLONG Percentile(const unsigned* buckets, unsigned requests, unsigned share)
{
    unsigned long long rank = (static_cast<unsigned long long>(requests) * share + 999) / 1000;
    unsigned long long seen = 0;
    for (DWORD bucket = 0; bucket < BUCKET_COUNT; bucket++) {
        seen += buckets[bucket];
        if (seen >= rank) {
            return BucketStart(bucket);
        }
    }
    return 0;
}

static void PrintMilliseconds(ULONGLONG micros)
{
    printf("%lu.%02lu ms", static_cast<unsigned long>(micros / 1000),
           static_cast<unsigned long>(micros % 1000 / 10));
}

static void ReportSoak(CheckRun* run, SoakThread* soaks, bool started)
{
    unsigned requests = 0;
    unsigned errors = 0;
    unsigned mismatches = 0;
    ULONGLONG longest = 0;
    unsigned* buckets = soaks[0].buckets; // The first thread's, with the others' added.
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        SoakThread* soak = &soaks[channel];
        requests += soak->requests;
        errors += soak->errors + (soak->openError != ERROR_SUCCESS);
        mismatches += soak->mismatches;
        longest = soak->longest > longest ? soak->longest : longest;
        for (DWORD bucket = 0; channel > 0 && bucket < BUCKET_COUNT; bucket++) {
            buckets[bucket] += soak->buckets[bucket];
        }
    }
    bool clean = started && errors == 0 && mismatches == 0;
    BeginCheckLine(&run->report, Interrupted() ? Skip : clean ? Pass : Fail, IdSoak);
    printf(
        "%u threads, one a channel, each writing its channel on an agreed open of its own and reading each "
        "level back, for %lu s%s: %u requests, %u refused, %u read back wrong",
        LED_CHANNEL_COUNT, run->options.soakSeconds, Interrupted() ? " (interrupted)" : "", requests, errors,
        mismatches);
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        SoakThread* soak = &soaks[channel];
        if (soak->openError != ERROR_SUCCESS) {
            printf("; %s: its open refused with %lu", CHANNEL_NAMES[channel], soak->openError);
        } else if (soak->errors > 0) {
            printf("; %s: first refused with %lu", CHANNEL_NAMES[channel], soak->firstError);
        }
        if (soak->mismatches > 0) {
            printf("; %s: first wrote %u, read %u", CHANNEL_NAMES[channel], soak->wrote, soak->read);
        }
    }
    if (!started) {
        printf("; the threads could not be started");
    }
    if (requests > 0) {
        printf("; latency median ");
        PrintMilliseconds(Percentile(buckets, requests, 500));
        printf(", 99th percentile ");
        PrintMilliseconds(Percentile(buckets, requests, 990));
        printf(", max ");
        PrintMilliseconds(longest);
    }
    printf("; expects every level to read back as its thread wrote it");
    EndCheckLine();
}

void CheckSoak(CheckRun* run)
{
    SoakThread* soaks = static_cast<SoakThread*>(calloc(LED_CHANNEL_COUNT, sizeof(SoakThread)));
    HANDLE threads[LED_CHANNEL_COUNT] = {};
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    bool started = soaks != NULL;
    run->wrote = true;
    for (DWORD channel = 0; started && channel < LED_CHANNEL_COUNT; channel++) {
        soaks[channel].path = run->path;
        soaks[channel].channel = channel;
        soaks[channel].deadline = GetTickCount64() + 1000ull * run->options.soakSeconds;
        soaks[channel].frequency = frequency.QuadPart;
        threads[channel] = CreateThread(NULL, 0, RunSoakThread, &soaks[channel], 0, NULL);
        started = threads[channel] != NULL;
        if (started) {
            CancelOnCtrlC(threads[channel]);
        }
    }
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        if (threads[channel] != NULL) {
            WaitForSingleObject(threads[channel], INFINITE);
            ForgetOnCtrlC(threads[channel]);
            CloseHandle(threads[channel]);
        }
    }
    if (soaks != NULL) {
        ReportSoak(run, soaks, started);
    } else {
        BeginCheckLine(&run->report, Skip, IdSoak);
        printf("no memory for the threads' tallies");
        EndCheckLine();
    }
    free(soaks);
}
