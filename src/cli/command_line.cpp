#include "cli/command_line.h"

#include <stdio.h>
#include <stdlib.h>

// The channels' words, in the contract's order, which is LedColor's.
#define LED_CHANNEL_WORD(Name, name) #name,
static const char* const CHANNEL_WORDS[] = {LED_CHANNELS(LED_CHANNEL_WORD)};
#undef LED_CHANNEL_WORD

// Fixed text, channel words included: the README shows it, and the tests
// hold a copy of their own (tests/usage.txt).
void PrintUsage(void)
{
    printf("Usage:\n");
    printf("  Tovrin_LED_Test <r/w> <color> <brightness>\n");
    printf("    <r/w> = r (read), or w (write)\n");
    printf("    <color> = green, blue, or keyback\n");
    printf("    <brightness> = [0:255]\n");
}

int32_t ConvertDecimalText(const char* text)
{
    // strtoll saturates at 64 bits; clamping that to 32 bits gives the same
    // answer as a 32-bit long would, so Linux and Windows agree.
    long long value = strtoll(text, NULL, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

static char FoldAsciiCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(const char* text, const char* lowerCaseWord)
{
    size_t i = 0;
    while (text[i] != '\0' && FoldAsciiCase(text[i]) == lowerCaseWord[i]) {
        i++;
    }
    return text[i] == '\0' && lowerCaseWord[i] == '\0';
}

static bool Refuse(void)
{
    PrintUsage();
    return false;
}

static bool RefuseCount(int argc)
{
    printf("argc = %u\n", static_cast<unsigned>(argc));
    return Refuse();
}

bool ParseCommandLine(int argc, char** argv, LedRequest* request)
{
    LedRequest parsed = {LedAccess::Read, LedColor::Green, 0};

    if (argc != 3 && argc != 4) {
        return RefuseCount(argc);
    }

    // Only the first character counts, and case matters.
    if (argv[1][0] == 'r') {
        parsed.access = LedAccess::Read;
    } else if (argv[1][0] == 'w') {
        if (argc != 4) {
            return RefuseCount(argc);
        }
        parsed.access = LedAccess::Write;
    } else {
        printf("reading or writing?\n");
        return Refuse();
    }

    size_t channel = 0;
    while (channel < LED_CHANNEL_COUNT && !EqualsIgnoringAsciiCase(argv[2], CHANNEL_WORDS[channel])) {
        channel++;
    }
    if (channel == LED_CHANNEL_COUNT) {
        printf("Invalid Color\n");
        return Refuse();
    }
    parsed.color = static_cast<LedColor>(channel);

    if (parsed.access == LedAccess::Write) {
        int32_t brightness = ConvertDecimalText(argv[3]);
        if (brightness < 0 || brightness > 255) {
            printf("Invalid Brightness\n");
            return Refuse();
        }
        parsed.brightness = static_cast<uint8_t>(brightness);
    }

    *request = parsed;
    return true;
}
