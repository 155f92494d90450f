// Whole runs of the tool (RunLedTest, in process) on arbitrary simulated
// machines and command lines.
//
// The input is decoded into a scenario (interfaces of the three kinds, paths
// of 1 to 5000 UTF-16 units around the 99/100 limit, characters above 0xFF
// and outside the BMP, every fault knob with odd error codes, required sizes
// from 0 to 64 MiB) and an argument vector of 0 to 6 words. The machine is
// loaded with LedSimLoadScenario, the tool runs, and then:
//   - it returned 0 and the platform's books balance (every set destroyed,
//     every handle closed, nothing closed twice);
//   - its output is a sequence of the tool's own messages in an order a run
//     can produce, every line ended;
//   - the path lines are the paths of the interfaces tried, in order; the
//     first that fits in 99 characters is the one opened, longer ones are
//     refused;
//   - a read reports the opened device's byte, a write lands on its channel
//     and changes nothing else, and a refused command line sends nothing.
// The machine is then replaced by an empty one inside the run, so that
// LeakSanitizer's per-run count sees only what the tool itself leaves.
#include <fuzzer/FuzzedDataProvider.h>
#include <setupapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/tool_run.h"
#include "device/device_discovery.h"
#include "fuzz_output.h"
#include "ledsim/ledsim.h"
#include "utf.h"

namespace {

// Keeps one allocation of the tool well inside libFuzzer's malloc limit.
const uint32_t MAX_REQUIRED_SIZE = 64u << 20;

enum Kind { Led, Absent, Other };

struct Fault {
    bool active;
    uint32_t error;
};

struct Interface {
    Kind kind;
    std::u16string path;
    uint8_t brightness[LED_CHANNEL_COUNT];
    Fault detail;
    Fault size;
    Fault open;
    Fault ioctl;
    bool hasRequiredSize;
    uint32_t requiredSize;
    bool noOutput;
};

struct EnumError {
    uint32_t index;
    uint32_t error;
};

struct Machine {
    std::vector<Interface> interfaces;
    Fault createSet;
    std::vector<EnumError> enumErrors;
};

const uint32_t ERROR_CODES[] = {0,   1,    2,    5,     6,          31,         87,        122,
                                259, 1167, 1784, 0x3E3, 0x7FFFFFFF, 0xE0000217, 0xFFFFFFFF};

// Path characters: the ones device paths have, Latin-1 (printed), and units
// the path line cannot show (0x100 and up, a surrogate pair). A scenario
// refuses the C0 and C1 controls.
const char32_t PATH_CHARS[] = {'A', 'z', '0',  '\\', '?',  '#',   '{',    '}',    '-',    '.',
                               '~', '!', 0xA0, 0xE9, 0xFF, 0x100, 0x20AC, 0xFFFD, 0xFFFF, 0x1F4A1};

const size_t PATH_LENGTHS[] = {1, 2, 4, 16, 56, 98, 99, 100, 101, 150, 1000, 5000};

const char* const ARG_WORDS[] = {"r",   "w",     "read",  "write", "R",          "W",
                                 "",    "green", "GREEN", "Blue",  "keyback",    "KeyBack",
                                 "red", "0",     "1",     "128",   "255",        "256",
                                 "-1",  " 12",   "+7",    "0x10",  "4294967296", "99999999999999999999"};

uint32_t ConsumeErrorCode(FuzzedDataProvider& fdp)
{
    if (fdp.ConsumeBool()) {
        return fdp.ConsumeIntegral<uint32_t>();
    }
    return fdp.PickValueInArray(ERROR_CODES);
}

Fault ConsumeFault(FuzzedDataProvider& fdp)
{
    Fault fault = {false, 0};
    if (fdp.ConsumeIntegralInRange(0, 3) == 0) {
        fault.active = true;
        fault.error = ConsumeErrorCode(fdp);
    }
    return fault;
}

size_t UnitsOf(char32_t c)
{
    return c >= 0x10000 ? 2 : 1;
}

std::u16string ConsumePath(FuzzedDataProvider& fdp)
{
    size_t length =
        fdp.ConsumeBool() ? fdp.PickValueInArray(PATH_LENGTHS) : fdp.ConsumeIntegralInRange<size_t>(1, 300);
    std::vector<char32_t> chars;
    size_t units = 0;
    if (length >= 4 && fdp.ConsumeBool()) {
        chars = {'\\', '\\', '?', '\\'};
        units = 4;
    }
    char32_t fill = fdp.PickValueInArray(PATH_CHARS);
    while (units < length) {
        char32_t c = units + UnitsOf(fill) <= length ? fill : 'x';
        chars.push_back(c);
        units += UnitsOf(c);
    }
    // A few characters swapped for others of the same width keep the length.
    for (int edits = fdp.ConsumeIntegralInRange(0, 4); edits > 0; edits--) {
        size_t at = fdp.ConsumeIntegralInRange<size_t>(0, chars.size() - 1);
        char32_t c = fdp.PickValueInArray(PATH_CHARS);
        if (UnitsOf(c) == UnitsOf(chars[at])) {
            chars[at] = c;
        }
    }
    if (chars[0] == '#') {
        chars[0] = '\\'; // A word that starts with '#' is a comment.
    }
    std::u16string path;
    for (char32_t c : chars) {
        if (c >= 0x10000) {
            path.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            path.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            path.push_back(static_cast<char16_t>(c));
        }
    }
    return path;
}

char16_t FoldAscii(char16_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 'a' + 'A') : c;
}

bool SameIgnoringAsciiCase(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// The same path in the other case: CreateFileW matches it all the same.
std::u16string SwapAsciiCase(const std::u16string& path)
{
    std::u16string swapped = path;
    for (char16_t& c : swapped) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char16_t>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char16_t>(c - 'A' + 'a');
        }
    }
    return swapped;
}

uint32_t ConsumeRequiredSize(FuzzedDataProvider& fdp, const std::u16string& path)
{
    uint32_t needed = static_cast<uint32_t>(4 + 2 * (path.size() + 1));
    const uint32_t sizes[] = {0,          1,      4,          5,   6,    7,        needed - 2,
                              needed - 1, needed, needed + 1, 206, 4096, 1u << 20, MAX_REQUIRED_SIZE};
    if (fdp.ConsumeIntegralInRange(0, 7) == 0) {
        return fdp.ConsumeIntegralInRange<uint32_t>(0, MAX_REQUIRED_SIZE);
    }
    return fdp.PickValueInArray(sizes);
}

Machine ConsumeMachine(FuzzedDataProvider& fdp)
{
    Machine machine = {};
    for (int count = fdp.ConsumeIntegralInRange(0, 5); count > 0; count--) {
        Interface iface = {};
        int kind = fdp.ConsumeIntegralInRange(0, 5);
        iface.kind = kind == 4 ? Absent : kind == 5 ? Other : Led;
        if (!machine.interfaces.empty() && fdp.ConsumeIntegralInRange(0, 5) == 0) {
            size_t earlier = fdp.ConsumeIntegralInRange<size_t>(0, machine.interfaces.size() - 1);
            iface.path = SwapAsciiCase(machine.interfaces[earlier].path);
        } else {
            iface.path = ConsumePath(fdp);
        }
        if (iface.kind == Led) {
            for (uint8_t& value : iface.brightness) {
                value = fdp.ConsumeIntegral<uint8_t>();
            }
            iface.detail = ConsumeFault(fdp);
            iface.size = ConsumeFault(fdp);
            iface.open = ConsumeFault(fdp);
            iface.ioctl = ConsumeFault(fdp);
            iface.hasRequiredSize = fdp.ConsumeIntegralInRange(0, 2) == 0;
            if (iface.hasRequiredSize) {
                iface.requiredSize = ConsumeRequiredSize(fdp, iface.path);
            }
            iface.noOutput = fdp.ConsumeIntegralInRange(0, 5) == 0;
        }
        // A scenario lists each path once; the same path in the other case is another one.
        bool listed = false;
        for (const Interface& other : machine.interfaces) {
            listed = listed || other.path == iface.path;
        }
        if (!listed) {
            machine.interfaces.push_back(iface);
        }
    }
    if (fdp.ConsumeIntegralInRange(0, 15) == 0) {
        machine.createSet = {true, ConsumeErrorCode(fdp)};
    }
    for (int count = fdp.ConsumeIntegralInRange(0, 2); count > 0; count--) {
        EnumError entry = {fdp.ConsumeIntegralInRange<uint32_t>(0, 6), ConsumeErrorCode(fdp)};
        bool repeated = false;
        for (const EnumError& other : machine.enumErrors) {
            repeated = repeated || other.index == entry.index;
        }
        if (!repeated) {
            machine.enumErrors.push_back(entry);
        }
    }
    return machine;
}

// Numbers in decimal or hex, as a scenario writer may give them.
std::string Number(uint32_t value, bool hex)
{
    char text[16];
    snprintf(text, sizeof(text), hex ? "0x%X" : "%u", value);
    return text;
}

std::string ScenarioText(const Machine& machine, bool hex)
{
    static const char* const DIRECTIVES[] = {"interface", "absent-interface", "other-interface"};
#define LED_CHANNEL_WORD(Name, name) #name,
    static const char* const CHANNELS[] = {LED_CHANNELS(LED_CHANNEL_WORD)};
    std::string text;
    for (const Interface& iface : machine.interfaces) {
        text += DIRECTIVES[iface.kind];
        text += ' ';
        text += Utf16ToUtf8(iface.path);
        if (iface.kind == Led) {
            for (int channel = 0; channel < 3; channel++) {
                text += std::string(" ") + CHANNELS[channel] + "=" + Number(iface.brightness[channel], hex);
            }
            const Fault* faults[] = {&iface.detail, &iface.size, &iface.open, &iface.ioctl};
            const char* const names[] = {"detail-error", "size-error", "open-error", "ioctl-error"};
            for (int k = 0; k < 4; k++) {
                if (faults[k]->active) {
                    text += std::string(" ") + names[k] + "=" + Number(faults[k]->error, hex);
                }
            }
            if (iface.hasRequiredSize) {
                text += " required-size=" + Number(iface.requiredSize, hex);
            }
            if (iface.noOutput) {
                text += " no-output";
            }
        }
        text += '\n';
    }
    if (machine.createSet.active) {
        text += "create-set-error " + Number(machine.createSet.error, hex) + "\n";
    }
    for (const EnumError& entry : machine.enumErrors) {
        text += "enum-error " + Number(entry.index, false) + " " + Number(entry.error, hex) + "\n";
    }
    return text;
}

// What the path line shows: the path up to the first unit above 0xFF.
std::string PrintedPath(const std::u16string& path)
{
    std::string printed;
    for (size_t i = 0; i < path.size() && path[i] < 0x100; i++) {
        printed.push_back(static_cast<char>(path[i]));
    }
    return printed;
}

const EnumError* FindEnumError(const Machine& machine, size_t index)
{
    for (const EnumError& entry : machine.enumErrors) {
        if (entry.index == index) {
            return &entry;
        }
    }
    return NULL;
}

struct Run {
    const Machine& machine;
    const std::string& out;
    const std::vector<std::string>& lines;
    size_t at;
};

const std::string& Next(Run& run)
{
    FUZZ_CHECK(run.at < run.lines.size(), run.out); // The run stopped before it concluded.
    return run.lines[run.at++];
}

void ExpectEnd(Run& run, const char* last)
{
    FUZZ_CHECK(Next(run) == last, run.out);
    FUZZ_CHECK(run.at == run.lines.size(), run.out);
}

// Discovery's lines. Returns the position in machine.interfaces of the
// interface whose path was taken, or -1 when the run ended without one.
long CheckDiscovery(Run& run)
{
    const Machine& machine = run.machine;
    uint32_t code = 0;
    if (MatchMessage(run.lines.empty() ? "" : run.lines[0],
                     "Unable to create device information set (Error 0x%X)", &code)) {
        run.at++;
        FUZZ_CHECK(machine.createSet.active && machine.createSet.error == code, run.out);
        ExpectEnd(run, "ERROR finding driver");
        return -1;
    }
    FUZZ_CHECK(!machine.createSet.active, run.out);
    FUZZ_CHECK(Next(run) == "Successfully created device information set.", run.out);

    // Enumeration lists the LED interfaces of present devices, in file order.
    std::vector<size_t> listed;
    for (size_t i = 0; i < machine.interfaces.size(); i++) {
        if (machine.interfaces[i].kind == Led) {
            listed.push_back(i);
        }
    }
    size_t tried = 0;
    for (;; tried++) {
        const std::string& line = Next(run);
        const EnumError* injected = FindEnumError(machine, tried);
        if (MatchMessage(line, "Error enumerating devices (0x%X).", &code)) {
            FUZZ_CHECK(injected != NULL && injected->error == code && code != 259, run.out);
            break;
        }
        if (MatchMessage(line, "Enumeration listing complete.  %u device(s) detected.")) {
            run.at--;
            FUZZ_CHECK(tried == listed.size() || (injected != NULL && injected->error == 259), run.out);
            break;
        }
        FUZZ_CHECK(tried < listed.size(), run.out);
        const Interface& iface = machine.interfaces[listed[tried]];
        if (MatchMessage(line, "ERROR: Unable to retrieve device path (0x%X).")) {
            FUZZ_CHECK(iface.size.active, run.out); // Only a failed size query stops before cbSize.
            continue;
        }
        FUZZ_CHECK(line != "Unable to allocate memory for buffer.  Stopping.", run.out); // Sizes stay small.
        FUZZ_CHECK(line ==
                       "DevDetails->cbSize = " + std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)),
                   run.out);

        const std::string& detail = Next(run);
        if (MatchMessage(detail, "ERROR: Unable to retrieve device path (0x%X).")) {
            continue;
        }
        FUZZ_CHECK(detail.compare(0, 3, "   ") == 0 && detail.substr(3) == PrintedPath(iface.path), run.out);
        if (iface.path.size() >= DEVICE_PATH_CHARS) {
            FUZZ_CHECK(MatchMessage(Next(run), "ERROR: Unable to retrieve device path (0x%X).", &code) &&
                           code == 122,
                       run.out);
            continue;
        }
        return static_cast<long>(listed[tried]);
    }
    uint32_t count = 0;
    FUZZ_CHECK(MatchMessage(Next(run), "Enumeration listing complete.  %u device(s) detected.", &count) &&
                   count == tried,
               run.out);
    ExpectEnd(run, "ERROR finding driver");
    return -1;
}

// The device CreateFileW opens for a path: the first present interface
// with that path, letter case aside.
size_t OpenedInterface(const Machine& machine, const std::u16string& path)
{
    for (size_t i = 0; i < machine.interfaces.size(); i++) {
        if (machine.interfaces[i].kind != Absent && SameIgnoringAsciiCase(machine.interfaces[i].path, path)) {
            return i;
        }
    }
    return machine.interfaces.size();
}

struct Brightness {
    int values[5][LED_CHANNEL_COUNT];
};

Brightness ReadBrightness(size_t count)
{
    Brightness all = {};
    for (size_t i = 0; i < count; i++) {
        for (int channel = 0; channel < 3; channel++) {
            all.values[i][channel] = LedSimBrightness(i, channel);
        }
    }
    return all;
}

void CheckRun(const Machine& machine, int argc, char** argv, const std::string& out, const Brightness& before)
{
    std::vector<std::string> lines;
    FUZZ_CHECK(SplitLines(out, &lines), out);
    Run run = {machine, out, lines, 0};
    Brightness after = ReadBrightness(machine.interfaces.size());
    long taken = CheckDiscovery(run);
    if (taken < 0) {
        FUZZ_CHECK(memcmp(&before, &after, sizeof(before)) == 0, out);
        return;
    }

    size_t opened = OpenedInterface(machine, machine.interfaces[static_cast<size_t>(taken)].path);
    FUZZ_CHECK(opened < machine.interfaces.size(), out);
    const Interface& device = machine.interfaces[opened];
    uint32_t value = 0;
    const std::string& openLine = Next(run);
    if (MatchMessage(openLine, "ERROR creating device, error %u", &value)) {
        FUZZ_CHECK(device.open.active && device.open.error == value && run.at == lines.size(), out);
        FUZZ_CHECK(memcmp(&before, &after, sizeof(before)) == 0, out);
        return;
    }
    FUZZ_CHECK(openLine == "Success creating device" && !device.open.active, out);

    // The request the tool should have sent, from the parser's own answer.
    LedRequest request = {LedAccess::Read, LedColor::Green, 0};
    StartCapture();
    bool accepted = ParseCommandLine(argc, argv, &request);
    StopCapture();
    Brightness expected = before;
    if (!accepted) {
        int64_t argcShown = -1;
        FUZZ_CHECK(MatchRefusal(lines, &run.at, &argcShown) && run.at == lines.size(), out);
    } else {
        int channel = static_cast<int>(request.color);
        if (request.access == LedAccess::Write) {
            FUZZ_CHECK(MatchMessage(Next(run), "brightness = %u", &value) && value == request.brightness,
                       out);
        }
        const std::string& result = Next(run);
        if (MatchMessage(result, "ERROR calling DeviceIoControl, GLE = %u", &value)) {
            FUZZ_CHECK(device.ioctl.active && device.ioctl.error == value, out);
        } else if (request.access == LedAccess::Read) {
            FUZZ_CHECK(MatchMessage(result, "Brightness == %u", &value) && !device.ioctl.active, out);
            FUZZ_CHECK(value == (device.noOutput ? 0u : device.brightness[channel]), out);
        } else {
            FUZZ_CHECK(result == "DeviceIoControl Success" && !device.ioctl.active, out);
            expected.values[opened][channel] = request.brightness;
        }
        FUZZ_CHECK(run.at == lines.size(), out);
    }
    FUZZ_CHECK(memcmp(&expected, &after, sizeof(expected)) == 0, out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    Machine machine = ConsumeMachine(fdp);
    std::string text = ScenarioText(machine, fdp.ConsumeBool());

    int argc = fdp.ConsumeIntegralInRange(0, 6);
    std::vector<std::string> words;
    for (int i = 0; i < argc; i++) {
        if (i == 0) {
            words.push_back("Tovrin_LED_Test");
        } else if (fdp.ConsumeIntegralInRange(0, 7) != 0) {
            words.push_back(fdp.PickValueInArray(ARG_WORDS));
        } else {
            words.push_back(fdp.ConsumeRandomLengthString(24));
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(NULL);

    std::string error;
    if (!LedSimLoadScenario(text, &error)) {
        fprintf(stderr, "fuzz: generated scenario refused: %s\n%s", error.c_str(), text.c_str());
        abort();
    }
    Brightness before = ReadBrightness(machine.interfaces.size());
    SetLastError(0); // As a fresh process starts.
    StartCapture();
    int status = RunLedTest(argc, argv.data());
    std::string out = StopCapture();

    FUZZ_CHECK(status == 0, out);
    std::string books = LedSimCheckBooks();
    FUZZ_CHECK(books.empty(), out + books);
    CheckRun(machine, argc, argv.data(), out, before);

    // Frees this run's machine now, so allocations and frees pair up per run.
    LedSimLoadScenario("", &error);
    return 0;
}
