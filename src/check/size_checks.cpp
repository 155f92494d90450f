#include <stdio.h>
#include <string.h>

#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/led_exchange.h"

// The first few wrong results of each check.
const unsigned SHOWN = 3;

// One request of the sweep, and what came back.
struct SizedRequest {
    bool write;
    DWORD code;
    DWORD inLength;
    DWORD outLength;
    LedReply reply;
    BYTE before[LED_CHANNEL_COUNT]; // For sizes.unchanged: the levels around it.
    BYTE after[LED_CHANNEL_COUNT];
};

// The offending requests of one check, the first few kept.
struct Offenders {
    unsigned count;
    unsigned judged;
    bool weighsLess; // Every offence is only another error than the contract's.
    SizedRequest shown[SHOWN];
    bool shownWeighsLess[SHOWN];
};

// Keeps the first few offenders, an offence that fails before one that
// only warns.
static void Note(Offenders* offenders, const SizedRequest* request, bool otherErrorOnly)
{
    unsigned slot = offenders->count < SHOWN ? offenders->count : SHOWN;
    if (slot == SHOWN && !otherErrorOnly) {
        slot = 0;
        while (slot < SHOWN && !offenders->shownWeighsLess[slot]) {
            slot++;
        }
    }
    if (slot < SHOWN) {
        offenders->shown[slot] = *request;
        offenders->shownWeighsLess[slot] = otherErrorOnly;
    }
    offenders->weighsLess = (offenders->count == 0 || offenders->weighsLess) && otherErrorOnly;
    offenders->count++;
}

static void PrintRequest(const SizedRequest* request)
{
    PrintCode(request->code);
    printf(" with %lu in, %lu out", request->inLength, request->outLength);
}

static Verdict Weigh(const CheckRun* run, const Offenders* offenders)
{
    if (Interrupted()) {
        return Skip;
    }
    if (offenders->count == 0) {
        return Pass;
    }
    return offenders->weighsLess ? OtherErrorVerdict(&run->report) : Fail;
}

// Every request of the sweep, judged for each of the four checks.
struct SizeFindings {
    Offenders lengths;
    Offenders returned;
    Offenders guard;
    Offenders unchanged;
    bool levelsRead;
};

static void JudgeRequest(const SizedRequest* request, SizeFindings* findings)
{
    const RefusalRule* rule = ContractRule(request->code, request->inLength, request->outLength);
    const LedReply* reply = &request->reply;
    findings->lengths.judged++;
    if (reply->served != (rule == NULL)) {
        Note(&findings->lengths, request, false);
    } else if (!reply->served && reply->error != rule->error) {
        Note(&findings->lengths, request, true);
    }
    if (reply->served && rule == NULL) {
        DWORD expected = request->write ? 0 : 1;
        findings->returned.judged++;
        if (reply->returned != expected) {
            Note(&findings->returned, request, false);
        }
    }
    if (request->outLength == 1) {
        findings->guard.judged++;
        if (reply->guardTouched) {
            Note(&findings->guard, request, false);
        }
    }
    if (!reply->served) {
        findings->unchanged.judged++;
        if (memcmp(request->before, request->after, sizeof(request->before)) != 0) {
            Note(&findings->unchanged, request, false);
        }
    }
}

// Each of the six codes with input and output lengths 0, 1 and 2. A write
// with the contract's lengths sends its channel's level unchanged; any other
// write a byte that differs from it, so that a refused write that stores it
// shows. The levels are read after each request.
static void SweepSizes(CheckRun* run, SizeFindings* findings)
{
    BYTE levels[LED_CHANNEL_COUNT] = {};
    findings->levelsRead = ReadLevels(run->device, levels);
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT && findings->levelsRead; channel++) {
        for (DWORD write = 0; write < 2; write++) {
            for (DWORD in = 0; in <= 2 && findings->levelsRead && !Interrupted(); in++) {
                for (DWORD out = 0; out <= 2 && findings->levelsRead; out++) {
                    SizedRequest request = {write != 0, IOCTL_LED_CODE(channel, write), in, out, {}, {}, {}};
                    bool agreed = write ? in == 1 && out == 0 : in == 0 && out == 1;
                    BYTE fill = agreed ? levels[channel] : static_cast<BYTE>(levels[channel] ^ 0x5A);
                    memcpy(request.before, levels, sizeof(levels));
                    request.reply = SendLedControl(run->device, request.code, in, out, fill);
                    findings->levelsRead = ReadLevels(run->device, levels);
                    memcpy(request.after, levels, sizeof(levels));
                    JudgeRequest(&request, findings);
                }
            }
        }
    }
}

static void PrintShown(const Offenders* offenders, bool levels)
{
    for (unsigned i = 0; i < SHOWN && i < offenders->count; i++) {
        const SizedRequest* request = &offenders->shown[i];
        printf("%s ", i == 0 ? ":" : ";");
        PrintRequest(request);
        if (levels) {
            printf(" changed the levels from ");
            PrintLevels(request->before);
            printf(" to ");
            PrintLevels(request->after);
            continue;
        }
        printf(" ");
        PrintOutcome(&request->reply);
        if (request->reply.served) {
            printf(", %lu byte(s) returned", request->reply.returned);
        }
        if (request->reply.guardTouched) {
            printf(", the byte after the output buffer written");
        }
    }
}

void CheckSizes(CheckRun* run)
{
    const bool* selected = run->options.selected;
    if (Interrupted() || !(selected[IdSizesLengths] || selected[IdSizesReturned] || selected[IdSizesGuard] ||
                           selected[IdSizesUnchanged])) {
        return;
    }
    run->wrote = true;
    SizeFindings findings = {};
    SweepSizes(run, &findings);
    const char* unread = findings.levelsRead ? "" : " (stopped: the levels could not be read)";

    if (selected[IdSizesLengths]) {
        BeginCheckLine(&run->report, findings.levelsRead ? Weigh(run, &findings.lengths) : Fail,
                       IdSizesLengths);
        printf(
            "each of the six codes with input and output lengths 0, 1 and 2 (%u requests)%s: %u not as the "
            "contract says",
            findings.lengths.judged, unread, findings.lengths.count);
        PrintShown(&findings.lengths, false);
        printf(
            "; expects only a read with 0 in, 1 out and a write with 1 in, 0 out served, each other refused "
            "by the first of the header's refusal rules that applies, with its error");
        EndCheckLine();
    }
    if (selected[IdSizesReturned]) {
        BeginCheckLine(&run->report, Weigh(run, &findings.returned), IdSizesReturned);
        printf("the byte counts of the %u requests served with the contract's lengths: %u wrong",
               findings.returned.judged, findings.returned.count);
        PrintShown(&findings.returned, false);
        printf("; expects 1 byte returned for a read, 0 for a write");
        EndCheckLine();
    }
    if (selected[IdSizesGuard]) {
        BeginCheckLine(&run->report, Weigh(run, &findings.guard), IdSizesGuard);
        printf("the byte after the 1-byte output buffer of %u requests, preset: %u written",
               findings.guard.judged, findings.guard.count);
        PrintShown(&findings.guard, false);
        printf("; expects it never written");
        EndCheckLine();
    }
    if (selected[IdSizesUnchanged]) {
        BeginCheckLine(&run->report, Weigh(run, &findings.unchanged), IdSizesUnchanged);
        printf("the levels read after each of the %u refused requests: %u changed them",
               findings.unchanged.judged, findings.unchanged.count);
        PrintShown(&findings.unchanged, true);
        printf("; expects no refused request to change a level");
        EndCheckLine();
    }
}
