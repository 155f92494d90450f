// ParseCommandLine on arbitrary argument vectors.
//
// Input: the first byte chooses argc (0 to 6); the rest, split at NUL bytes,
// gives argv[0], argv[1]... in order; words the input runs out of are empty.
//
// Checked: an accepted line prints nothing and yields a request that agrees
// with the words (access from the first letter, colour ignoring ASCII case,
// brightness by strtoll); a refused one prints exactly one known diagnostic
// and the usage text, and leaves the request alone.
#include <stdint.h>
#include <stdlib.h>
#include <strings.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fuzz_output.h"

#define LED_CHANNEL_WORD(Name, name) #name,
static const char* const COLOR_NAMES[] = {LED_CHANNELS(LED_CHANNEL_WORD)};

static bool IsColorWord(const char* word)
{
    for (const char* name : COLOR_NAMES) {
        if (strcasecmp(word, name) == 0) {
            return true;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    int argc = data[0] % 7;
    std::vector<std::string> words(static_cast<size_t>(argc));
    size_t word = 0;
    for (size_t i = 1; i < size && word < words.size(); i++) {
        if (data[i] == 0) {
            word++;
        } else {
            words[word].push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(NULL);

    // A request no parse produces: Write with brightness 0xA5 of keyback.
    const LedRequest untouched = {LedAccess::Write, LedColor::Keyback, 0xA5};
    LedRequest request = untouched;
    StartCapture();
    bool accepted = ParseCommandLine(argc, argv.data(), &request);
    std::string out = StopCapture();

    if (accepted) {
        FUZZ_CHECK(out.empty(), out);
        FUZZ_CHECK(argc == 3 || argc == 4, out);
        FUZZ_CHECK(argv[1][0] == (request.access == LedAccess::Write ? 'w' : 'r'), out);
        size_t channel = static_cast<size_t>(request.color);
        FUZZ_CHECK(channel < sizeof(COLOR_NAMES) / sizeof(COLOR_NAMES[0]), out);
        FUZZ_CHECK(strcasecmp(argv[2], COLOR_NAMES[channel]) == 0, out);
        if (request.access == LedAccess::Write) {
            FUZZ_CHECK(argc == 4, out);
            FUZZ_CHECK(strtoll(argv[3], NULL, 10) == request.brightness, out);
        }
        return 0;
    }

    std::vector<std::string> lines;
    size_t at = 0;
    int64_t argcShown = -1;
    FUZZ_CHECK(SplitLines(out, &lines), out);
    FUZZ_CHECK(MatchRefusal(lines, &at, &argcShown), out);
    FUZZ_CHECK(at == lines.size(), out);
    FUZZ_CHECK(argcShown == -1 || argcShown == argc, out);
    FUZZ_CHECK(request.access == untouched.access && request.color == untouched.color &&
                   request.brightness == untouched.brightness,
               out);
    // A refusal for a reason the words do not have would be a wrong answer.
    if (lines[0] == "reading or writing?") {
        FUZZ_CHECK(argv[1][0] != 'r' && argv[1][0] != 'w', out);
    }
    if (lines[0] == "Invalid Color") {
        FUZZ_CHECK(!IsColorWord(argv[2]), out);
    }
    if (lines[0] == "Invalid Brightness") {
        long long brightness = strtoll(argv[3], NULL, 10);
        FUZZ_CHECK(brightness < 0 || brightness > 255, out);
    }
    return 0;
}
