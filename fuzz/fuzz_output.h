// Shared by the fuzz targets: the tool's standard output caught in a memory
// file, its lines matched against the messages the tool can print, and a
// check that stops the run with the evidence.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The tool prints with printf, so fd 1 itself is pointed at a memory file for
// the run; libFuzzer and the sanitizers keep to stderr.
inline int CaptureFile(void)
{
    static const int fd = memfd_create("fuzz-stdout", 0);
    return fd;
}

inline int SavedStdout(void)
{
    static const int fd = dup(1);
    return fd;
}

inline void StartCapture(void)
{
    fflush(stdout);
    int fd = CaptureFile();
    if (fd < 0 || SavedStdout() < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 ||
        dup2(fd, 1) < 0) {
        perror("fuzz: cannot capture stdout");
        abort();
    }
}

inline std::string StopCapture(void)
{
    fflush(stdout);
    int fd = CaptureFile();
    off_t size = lseek(fd, 0, SEEK_CUR);
    dup2(SavedStdout(), 1);
    std::string out(static_cast<size_t>(size), '\0');
    if (size < 0 || pread(fd, &out[0], out.size(), 0) != size) {
        perror("fuzz: cannot read captured stdout");
        abort();
    }
    return out;
}

[[noreturn]] inline void FuzzFail(const char* what, const std::string& output)
{
    fprintf(stderr, "fuzz check failed: %s\n--- tool output ---\n%s--- end ---\n", what, output.c_str());
    abort();
}

#define FUZZ_CHECK(condition, output)                                                                        \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            FuzzFail(#condition, output);                                                                    \
        }                                                                                                    \
    } while (0)

// Lines without their '\n'; false if the last one is not ended, since the
// next message (or the shell prompt) would then run on from it.
inline bool SplitLines(const std::string& text, std::vector<std::string>* lines)
{
    lines->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return false;
        }
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// printf's %u of a 32-bit value: digits, no sign, no leading zero.
inline bool ParseUnsigned(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    if (result > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

// printf's %08X: exactly eight upper-case hex digits.
inline bool ParseHex8(const std::string& text, uint32_t* value)
{
    if (text.size() != 8) {
        return false;
    }
    uint32_t result = 0;
    for (char c : text) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = (result << 4) | digit;
    }
    *value = result;
    return true;
}

// Matches a line against one message: literal text around one "%u" or "%X"
// (the tool's 0x%08X). True with the number in *value.
inline bool MatchMessage(const std::string& line, const char* format, uint32_t* value)
{
    const char* hole = strchr(format, '%');
    if (hole == NULL) {
        *value = 0;
        return line == format;
    }
    std::string prefix(format, static_cast<size_t>(hole - format));
    std::string suffix(hole + 2);
    if (line.size() < prefix.size() + suffix.size() || line.compare(0, prefix.size(), prefix) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    return hole[1] == 'X' ? ParseHex8(number, value) : ParseUnsigned(number, value);
}

inline bool MatchMessage(const std::string& line, const char* format)
{
    uint32_t ignored = 0;
    return MatchMessage(line, format, &ignored);
}

// The usage text from the tests' one expected copy.
inline const std::vector<std::string>& UsageLines(void)
{
    static std::vector<std::string> lines;
    if (lines.empty()) {
        std::ifstream file(USAGE_FILE, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!SplitLines(text, &lines) || lines.empty()) {
            fprintf(stderr, "fuzz: cannot read the usage text from %s\n", USAGE_FILE);
            abort();
        }
    }
    return lines;
}

// A refused command line: one diagnostic, then the usage text, from
// lines[*at]. On success *at is past it and *argcShown holds the count an
// "argc = N" line gave (or -1).
inline bool MatchRefusal(const std::vector<std::string>& lines, size_t* at, int64_t* argcShown)
{
    size_t i = *at;
    if (i >= lines.size()) {
        return false;
    }
    uint32_t count = 0;
    *argcShown = -1;
    if (MatchMessage(lines[i], "argc = %u", &count)) {
        *argcShown = count;
    } else if (lines[i] != "reading or writing?" && lines[i] != "Invalid Color" &&
               lines[i] != "Invalid Brightness") {
        return false;
    }
    i++;
    for (const std::string& usageLine : UsageLines()) {
        if (i >= lines.size() || lines[i++] != usageLine) {
            return false;
        }
    }
    *at = i;
    return true;
}
