#include <stdio.h>
#include <string.h>

#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/led_exchange.h"

bool CheckFoundLevels(CheckRun* run)
{
    LedReply replies[LED_CHANNEL_COUNT] = {};
    bool read = true;
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        replies[channel] = SendLedControl(run->device, IOCTL_LED_CODE(channel, 0u), 0, 1, 0);
        run->found[channel] = replies[channel].out[0];
        read = read && replies[channel].served && replies[channel].returned == 1;
    }
    BeginCheckLine(&run->report, read ? Pass : Fail, IdLevels);
    printf("the three reads, with no input and 1 byte of output: ");
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        const LedReply* reply = &replies[channel];
        printf("%s%s ", channel > 0 ? ", " : "", CHANNEL_NAMES[channel]);
        if (!reply->served) {
            PrintOutcome(reply);
        } else if (reply->returned != 1) {
            printf("%u, %lu bytes returned", run->found[channel], reply->returned);
        } else {
            printf("%u", run->found[channel]);
        }
    }
    printf("; expects each served, with 1 byte returned");
    EndCheckLine();
    run->levelsKnown = read;
    return read;
}

// The first few wrong results of a check, and how many there were.
const int SHOWN = 3;

struct LevelMismatch {
    DWORD channel;
    BYTE wrote;
    LedReply read;
};

// Every level on every channel, written and read back.
static void CheckEveryLevel(CheckRun* run)
{
    LevelMismatch shown[SHOWN] = {};
    unsigned mismatches = 0;
    unsigned requests = 0;
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT && !Interrupted(); channel++) {
        for (unsigned level = 0; level < 256 && !Interrupted(); level++) {
            LedReply write =
                SendLedControl(run->device, IOCTL_LED_CODE(channel, 1u), 1, 0, static_cast<BYTE>(level));
            LedReply read = SendLedControl(run->device, IOCTL_LED_CODE(channel, 0u), 0, 1, 0);
            requests += 2;
            if (write.served && read.served && read.out[0] == level) {
                continue;
            }
            if (mismatches < SHOWN) {
                shown[mismatches] = {channel, static_cast<BYTE>(level), write.served ? read : write};
            }
            mismatches++;
        }
    }
    BeginCheckLine(&run->report, Interrupted() ? Skip : mismatches == 0 ? Pass : Fail, IdValuesLevels);
    printf("wrote each level 0 to 255 on each channel, and read it back (%u requests%s): %u wrong", requests,
           Interrupted() ? ", interrupted" : "", mismatches);
    for (int i = 0; i < SHOWN && i < static_cast<int>(mismatches); i++) {
        printf("%s %s %u: ", i == 0 ? ":" : ";", CHANNEL_NAMES[shown[i].channel], shown[i].wrote);
        if (shown[i].read.served) {
            printf("read %u", shown[i].read.out[0]);
        } else {
            PrintOutcome(&shown[i].read);
        }
    }
    printf("; expects every level to read back as written");
    EndCheckLine();
}

// A write that changed another channel than its own.
struct Leak {
    DWORD order[LED_CHANNEL_COUNT];
    DWORD channel;
    DWORD changed;
    BYTE before;
    BYTE after;
};

// The next order of the channels after `order`, in lexicographic order; false
// after the last.
static bool NextOrder(DWORD order[LED_CHANNEL_COUNT])
{
    int pivot = LED_CHANNEL_COUNT - 2;
    while (pivot >= 0 && order[pivot] > order[pivot + 1]) {
        pivot--;
    }
    if (pivot < 0) {
        return false;
    }
    int swap = LED_CHANNEL_COUNT - 1;
    while (order[swap] < order[pivot]) {
        swap--;
    }
    DWORD kept = order[pivot];
    order[pivot] = order[swap];
    order[swap] = kept;
    for (int low = pivot + 1, high = LED_CHANNEL_COUNT - 1; low < high; low++, high--) {
        kept = order[low];
        order[low] = order[high];
        order[high] = kept;
    }
    return true;
}

// Each channel written in every order, all three read after each write.
static void CheckIsolation(CheckRun* run)
{
    DWORD order[LED_CHANNEL_COUNT] = {};
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        order[channel] = channel;
    }
    Leak shown[SHOWN] = {};
    unsigned leaks = 0;
    unsigned orders = 0;
    bool read = true;
    do {
        // Distinct levels to start from, and for each write.
        BYTE expected[LED_CHANNEL_COUNT] = {};
        for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
            WriteLevel(run->device, channel, static_cast<BYTE>(0x10 + 0x11 * channel));
        }
        read = ReadLevels(run->device, expected);
        for (DWORD step = 0; step < LED_CHANNEL_COUNT && read; step++) {
            DWORD channel = order[step];
            BYTE levels[LED_CHANNEL_COUNT] = {};
            WriteLevel(run->device, channel, static_cast<BYTE>(0x80 + 0x10 * orders + step));
            read = ReadLevels(run->device, levels);
            for (DWORD other = 0; other < LED_CHANNEL_COUNT && read; other++) {
                if (other != channel && levels[other] != expected[other]) {
                    if (leaks < SHOWN) {
                        shown[leaks] = {{}, channel, other, expected[other], levels[other]};
                        memcpy(shown[leaks].order, order, sizeof(order));
                    }
                    leaks++;
                }
            }
            memcpy(expected, levels, sizeof(levels));
        }
        orders++;
    } while (read && !Interrupted() && NextOrder(order));

    BeginCheckLine(&run->report, !read || Interrupted() ? Skip : leaks == 0 ? Pass : Fail, IdValuesIsolation);
    printf("each channel written in each of the %u orders, all three read after each write: ", orders);
    if (!read) {
        printf("a read was refused, so this cannot be told");
    } else if (Interrupted()) {
        printf("interrupted");
    } else {
        printf("%u change(s) of another channel", leaks);
    }
    for (int i = 0; i < SHOWN && i < static_cast<int>(leaks); i++) {
        printf("%s in the order", i == 0 ? ":" : ";");
        for (DWORD step = 0; step < LED_CHANNEL_COUNT; step++) {
            printf("%s%s", step == 0 ? " " : ", ", CHANNEL_NAMES[shown[i].order[step]]);
        }
        printf(", the %s write changed %s from %u to %u", CHANNEL_NAMES[shown[i].channel],
               CHANNEL_NAMES[shown[i].changed], shown[i].before, shown[i].after);
    }
    printf("; expects a write to change its own channel only");
    EndCheckLine();
}

void CheckValues(CheckRun* run)
{
    if (run->options.selected[IdValuesLevels] && !Interrupted()) {
        run->wrote = true;
        CheckEveryLevel(run);
    }
    if (run->options.selected[IdValuesIsolation] && !Interrupted()) {
        run->wrote = true;
        CheckIsolation(run);
    }
}
