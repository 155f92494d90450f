#include "scenario.h"

#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "utf.h"

static std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            i++;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            i++;
        }
        if (i == start) {
            break;
        }
        std::string word = line.substr(start, i - start);
        if (word[0] == '#') {
            break; // A comment runs to the end of the line.
        }
        words.push_back(word);
    }
    return words;
}

// Decimal, or hexadecimal after 0x; 32 bits at most.
static bool ParseNumber(const std::string& text, DWORD* value)
{
    unsigned base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size()) {
        return false;
    }
    uint64_t result = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu) {
            return false;
        }
    }
    *value = static_cast<DWORD>(result);
    return true;
}

static const char* const KNOBS[] = {"detail-error",  "size-error",  "open-error",
                                    "required-size", "ioctl-error", "no-output"};

// A channel's number, or LED_CHANNEL_COUNT for a word that names none.
static int ChannelNamed(const std::string& word)
{
    int channel = 0;
    while (channel < LED_CHANNEL_COUNT && word != LED_CHANNEL_NAMES[channel]) {
        channel++;
    }
    return channel;
}

static bool IsKnob(const std::string& word)
{
    return ChannelNamed(word) < LED_CHANNEL_COUNT ||
           std::find(std::begin(KNOBS), std::end(KNOBS), word) != std::end(KNOBS);
}

static bool Fail(ScenarioError* error, const std::string& message)
{
    error->message = message;
    return false;
}

static bool ParsePath(const std::vector<std::string>& words, std::u16string* path, ScenarioError* error)
{
    if (words.size() < 2) {
        return Fail(error, "'" + words[0] + "' needs a device path");
    }
    // A forgotten path would otherwise make the first option the path.
    if (words[1].find('=') != std::string::npos || IsKnob(words[1])) {
        return Fail(error, "'" + words[0] + "' needs a device path first, not the option '" + words[1] + "'");
    }
    if (!Utf8ToUtf16(words[1], path)) {
        return Fail(error, "device path is not valid UTF-8");
    }
    // The trace gives each call one line, which a control character (C0,
    // DEL or C1, such as U+0085, NEXT LINE) or a line or paragraph separator
    // (U+2028, U+2029) would break for a reader that splits lines on them.
    for (char16_t c : *path) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) {
            char code[8];
            snprintf(code, sizeof(code), "0x%02X", static_cast<unsigned>(c));
            return Fail(error, std::string("device path has a control character (") + code + ")");
        }
    }
    return true;
}

// A knob's number, which may be given once.
static bool ParseKnobNumber(const std::string& key, const std::string& text, bool* given, DWORD* value,
                            ScenarioError* error)
{
    if (*given) {
        return Fail(error, "'" + key + "' given twice");
    }
    if (!ParseNumber(text, value)) {
        return Fail(error, "'" + key + "' needs a number from 0 to 0xFFFFFFFF, not '" + text + "'");
    }
    *given = true;
    return true;
}

static bool ParseFault(const std::string& key, const std::string& text, SimFault* fault, ScenarioError* error)
{
    return ParseKnobNumber(key, text, &fault->active, &fault->error, error);
}

static bool ParseInterfaceOption(const std::string& word, SimInterface* iface, bool seen[LED_CHANNEL_COUNT],
                                 ScenarioError* error)
{
    if (word == "no-output") {
        iface->noOutput = true;
        return true;
    }
    size_t equals = word.find('=');
    if (equals == std::string::npos) {
        if (IsKnob(word)) {
            return Fail(error, "'" + word + "' needs a value: " + word + "=N, without blanks");
        }
        return Fail(error, "unknown option '" + word + "'");
    }
    std::string key = word.substr(0, equals);
    std::string text = word.substr(equals + 1);
    if (key == "no-output") {
        return Fail(error, "'no-output' takes no value");
    }

    int channel = ChannelNamed(key);
    if (channel < LED_CHANNEL_COUNT) {
        DWORD value = 0;
        if (seen[channel]) {
            return Fail(error, "'" + key + "' given twice");
        }
        if (!ParseNumber(text, &value) || value > 255) {
            return Fail(error, "'" + key + "' needs a brightness from 0 to 255, not '" + text + "'");
        }
        seen[channel] = true;
        iface->brightness[channel] = static_cast<uint8_t>(value);
        return true;
    }
    if (key == "detail-error") {
        return ParseFault(key, text, &iface->detailError, error);
    }
    if (key == "size-error") {
        return ParseFault(key, text, &iface->sizeError, error);
    }
    if (key == "open-error") {
        return ParseFault(key, text, &iface->openError, error);
    }
    if (key == "ioctl-error") {
        return ParseFault(key, text, &iface->ioctlError, error);
    }
    if (key == "required-size") {
        return ParseKnobNumber(key, text, &iface->hasRequiredSize, &iface->requiredSize, error);
    }
    return Fail(error, "unknown option '" + key + "'");
}

static bool ParseEnumError(const std::vector<std::string>& words, SimMachine* machine, ScenarioError* error)
{
    DWORD numbers[2] = {0, 0}; // The index, then the error.
    if (words.size() != 3) {
        return Fail(error, "'enum-error' takes an index and an error code");
    }
    for (size_t i = 1; i < 3; i++) {
        if (!ParseNumber(words[i], &numbers[i - 1])) {
            return Fail(error, "'enum-error' needs numbers from 0 to 0xFFFFFFFF, not '" + words[i] + "'");
        }
    }
    if (!machine->enumErrors.emplace(numbers[0], numbers[1]).second) {
        return Fail(error, "'enum-error' given twice for one index");
    }
    return true;
}

static bool ParseDirective(const std::vector<std::string>& words, SimMachine* machine, ScenarioError* error)
{
    const std::string& directive = words[0];
    if (directive == "interface" || directive == "absent-interface" || directive == "other-interface") {
        std::u16string path;
        if (!ParsePath(words, &path, error)) {
            return false;
        }
        SimInterface iface = NewSimInterface(path);
        iface.present = directive != "absent-interface";
        if (directive == "other-interface") {
            iface.interfaceClass = OTHER_INTERFACE_CLASS;
        }
        bool seen[LED_CHANNEL_COUNT] = {};
        for (size_t i = 2; i < words.size(); i++) {
            if (directive != "interface") {
                return Fail(error, "'" + directive + "' takes only a path");
            }
            if (!ParseInterfaceOption(words[i], &iface, seen, error)) {
                return false;
            }
        }
        machine->interfaces.push_back(iface);
        return true;
    }
    if (directive == "create-set-error") {
        if (words.size() != 2) {
            return Fail(error, "'create-set-error' takes one error code");
        }
        return ParseFault(directive, words[1], &machine->createSetError, error);
    }
    if (directive == "enum-error") {
        return ParseEnumError(words, machine, error);
    }
    return Fail(error, "unknown directive '" + directive + "'");
}

bool ParseScenario(const std::string& text, SimMachine* machine, ScenarioError* error)
{
    // Windows editors may begin a UTF-8 file with a byte-order mark.
    static const char BOM[] = "\xEF\xBB\xBF";
    size_t start = text.compare(0, 3, BOM) == 0 ? 3 : 0;
    unsigned line = 0;
    // Each path once: the brightness is kept by path.
    std::unordered_map<std::u16string, unsigned> listedAt;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        line++;
        std::string lineText = text.substr(start, end - start);
        error->line = line;
        if (lineText.find('\0') != std::string::npos) {
            return Fail(error, "NUL byte in line");
        }
        std::vector<std::string> words = SplitWords(lineText);
        size_t interfaces = machine->interfaces.size();
        if (!words.empty() && !ParseDirective(words, machine, error)) {
            return false;
        }
        if (machine->interfaces.size() > interfaces) {
            auto listed = listedAt.emplace(machine->interfaces.back().path, line);
            if (!listed.second) {
                return Fail(error, "device path '" + words[1] + "' is listed already, at line " +
                                       std::to_string(listed.first->second));
            }
        }
        start = end + 1;
    }
    return true;
}
