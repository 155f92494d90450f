#include "cli/command_line.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The table's rows, in the enumerations' own names.
const LedAccess Read = LedAccess::Read;
const LedAccess Write = LedAccess::Write;
const LedColor Green = LedColor::Green;
const LedColor Blue = LedColor::Blue;
const LedColor Keyback = LedColor::Keyback;

const std::string USAGE = [] {
    std::ifstream file(USAGE_FILE, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}();

struct ParseCase {
    const char* name;
    std::vector<std::string> words; // After the program name.
    bool accepted;
    LedAccess access;
    LedColor color;
    uint8_t brightness;
    std::string output; // Printed on a refusal: the diagnostic, then usage.
};

// Runs the parser over "Tovrin_LED_Test <words...>" and captures what it prints.
bool Parse(const std::vector<std::string>& words, LedRequest* request, std::string* output)
{
    std::vector<std::string> storage = {"Tovrin_LED_Test"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);

    testing::internal::CaptureStdout();
    bool accepted = ParseCommandLine(static_cast<int>(storage.size()), argv.data(), request);
    fflush(stdout);
    *output = testing::internal::GetCapturedStdout();
    return accepted;
}

void CheckParse(const ParseCase& c)
{
    SCOPED_TRACE(c.name);
    const LedRequest untouched = {Write, Keyback, 77};
    LedRequest request = untouched;
    std::string output;
    bool accepted = Parse(c.words, &request, &output);

    EXPECT_EQ(c.accepted, accepted);
    if (c.accepted) {
        EXPECT_EQ("", output);
        EXPECT_EQ(c.access, request.access);
        EXPECT_EQ(c.color, request.color);
        if (c.access == Write) {
            EXPECT_EQ(c.brightness, request.brightness);
        }
    } else {
        EXPECT_EQ(c.output + USAGE, output);
        EXPECT_EQ(untouched.access, request.access);
        EXPECT_EQ(untouched.color, request.color);
        EXPECT_EQ(untouched.brightness, request.brightness);
    }
}

TEST(ParseCommandLine, CountsWordsFirst)
{
    const ParseCase cases[] = {
        {"no arguments", {}, false, Read, Green, 0, "argc = 1\n"},
        {"one word", {"r"}, false, Read, Green, 0, "argc = 2\n"},
        {"five words", {"r", "green", "1", "2", "3"}, false, Read, Green, 0, "argc = 6\n"},
        {"bad words, wrong count", {"x", "red", "999", "4"}, false, Read, Green, 0, "argc = 5\n"},
        {"write without brightness", {"w", "green"}, false, Read, Green, 0, "argc = 3\n"},
        {"read without brightness", {"r", "green"}, true, Read, Green, 0, ""},
    };
    for (const ParseCase& c : cases) {
        CheckParse(c);
    }
}

TEST(ParseCommandLine, LooksOnlyAtTheFirstLetterOfTheAccessWord)
{
    const ParseCase cases[] = {
        {"x", {"x", "green"}, false, Read, Green, 0, "reading or writing?\n"},
        {"capital R", {"R", "green"}, false, Read, Green, 0, "reading or writing?\n"},
        {"capital W", {"W", "blue", "5"}, false, Read, Green, 0, "reading or writing?\n"},
        {"empty word", {"", "green"}, false, Read, Green, 0, "reading or writing?\n"},
        {"bad access before bad colour", {"q", "red"}, false, Read, Green, 0, "reading or writing?\n"},
        {"read", {"read", "GREEN"}, true, Read, Green, 0, ""},
        {"rx", {"rx", "blue"}, true, Read, Blue, 0, ""},
        {"write", {"write", "keyback", "9"}, true, Write, Keyback, 9, ""},
        {"wobble", {"wobble", "green", "1"}, true, Write, Green, 1, ""},
        {"read ignores the third word", {"r", "green", "300"}, true, Read, Green, 0, ""},
        {"read ignores junk third word", {"r", "keyback", "junk"}, true, Read, Keyback, 0, ""},
    };
    for (const ParseCase& c : cases) {
        CheckParse(c);
    }
}

TEST(ParseCommandLine, MatchesWholeColourWordsFoldingOnlyAsciiCase)
{
    const ParseCase cases[] = {
        {"green", {"r", "green"}, true, Read, Green, 0, ""},
        {"Blue", {"r", "Blue"}, true, Read, Blue, 0, ""},
        {"KEYBACK", {"r", "KEYBACK"}, true, Read, Keyback, 0, ""},
        {"kEyBaCk", {"w", "kEyBaCk", "3"}, true, Write, Keyback, 3, ""},
        {"red before brightness", {"w", "red", "999"}, false, Read, Green, 0, "Invalid Color\n"},
        {"greenish", {"r", "greenish"}, false, Read, Green, 0, "Invalid Color\n"},
        {"gren", {"r", "gren"}, false, Read, Green, 0, "Invalid Color\n"},
        {"trailing blank", {"r", "green "}, false, Read, Green, 0, "Invalid Color\n"},
        {"leading blank", {"r", " blue"}, false, Read, Green, 0, "Invalid Color\n"},
        {"empty colour", {"r", ""}, false, Read, Green, 0, "Invalid Color\n"},
        {"prefix of a colour", {"r", "key"}, false, Read, Green, 0, "Invalid Color\n"},
        {"first letter differs", {"r", "xreen"}, false, Read, Green, 0, "Invalid Color\n"},
        // Latin-1 capitals are not letters to fold here.
        {"byte above 0x7F", {"r", "gr\xC9\xC9n"}, false, Read, Green, 0, "Invalid Color\n"},
        // 'A' + 0x20 is 'a', but '@' + 0x20 is '`': only A-Z fold.
        {"not a letter", {"r", "gr@@n"}, false, Read, Green, 0, "Invalid Color\n"},
    };
    for (const ParseCase& c : cases) {
        CheckParse(c);
    }
}

TEST(ParseCommandLine, TakesBrightnessByStringToLongRules)
{
    const ParseCase cases[] = {
        {"0", {"w", "blue", "0"}, true, Write, Blue, 0, ""},
        {"255", {"w", "blue", "255"}, true, Write, Blue, 255, ""},
        {"256", {"w", "blue", "256"}, false, Read, Green, 0, "Invalid Brightness\n"},
        {"-1", {"w", "blue", "-1"}, false, Read, Green, 0, "Invalid Brightness\n"},
        {"+255", {"w", "blue", "+255"}, true, Write, Blue, 255, ""},
        {"no digits", {"w", "green", "abc"}, true, Write, Green, 0, ""},
        {"lone plus", {"w", "green", "+"}, true, Write, Green, 0, ""},
        {"empty word", {"w", "green", ""}, true, Write, Green, 0, ""},
        {"digits then text", {"w", "green", "12abc"}, true, Write, Green, 12, ""},
        {"leading blanks", {"w", "green", " \t\n\v\f\r7"}, true, Write, Green, 7, ""},
        {"hex stops at x", {"w", "green", "0x10"}, true, Write, Green, 0, ""},
        {"long run of zeros", {"w", "green", std::string(300, '0') + "255"}, true, Write, Green, 255, ""},
        {"2^32 + 5 saturates, not wraps",
         {"w", "green", "4294967301"},
         false,
         Read,
         Green,
         0,
         "Invalid Brightness\n"},
        {"-2^32 saturates, not wraps",
         {"w", "green", "-4294967296"},
         false,
         Read,
         Green,
         0,
         "Invalid Brightness\n"},
        {"huge",
         {"w", "keyback", "99999999999999999999999999"},
         false,
         Read,
         Green,
         0,
         "Invalid Brightness\n"},
    };
    for (const ParseCase& c : cases) {
        CheckParse(c);
    }
}

TEST(ConvertDecimalText, SaturatesToThe32BitSignedRange)
{
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"4294967301", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-4294967296", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
        {"  -12x", -12},
        {"-", 0},
        {"- 5", 0},
        {"0000000000000000000000000042", 42},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, ConvertDecimalText(c.text)) << c.text;
    }
}

TEST(PrintUsage, PrintsTheFiveLines)
{
    testing::internal::CaptureStdout();
    PrintUsage();
    fflush(stdout);
    EXPECT_EQ(USAGE, testing::internal::GetCapturedStdout());
}

} // namespace
