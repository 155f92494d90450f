// Whole runs of the built tool on simulated machines: standard output byte
// for byte, exit status, and the platform's books (anything left open or
// closed twice shows on standard error).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string GUID_TEXT = "{702eda9e-7390-4cfe-aea2-6f85676e3d22}";
const std::string SET_CREATED = "Successfully created device information set.\n";
const std::string CB_SIZE = "DevDetails->cbSize = 6\n";
const std::string OPENED = "Success creating device\n";
const std::string NOT_FOUND = "ERROR finding driver\n";

std::string LedPath(int instance)
{
    char number[8];
    snprintf(number, sizeof(number), "%04d", instance);
    return "\\\\?\\ROOT#LED#" + std::string(number) + "#" + GUID_TEXT;
}

std::string PathLine(const std::string& path)
{
    return "   " + path + "\n";
}

// Discovery's lines when interface `instance` is the first to give its path.
std::string Found(int instance)
{
    return SET_CREATED + CB_SIZE + PathLine(LedPath(instance)) + OPENED;
}

std::string DetailError(const char* code)
{
    return std::string("ERROR: Unable to retrieve device path (0x") + code + ").\n";
}

std::string Listed(int count)
{
    return "Enumeration listing complete.  " + std::to_string(count) + " device(s) detected.\n";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::string USAGE = ReadFile(USAGE_FILE);

struct RunResult {
    int status;
    std::string out;
    std::string err;
    std::string trace;
};

// LEDTEST_WRAPPER, split at blanks: a command (valgrind, say) that every
// run of the tool goes through. Empty when unset.
std::vector<std::string> Wrapper()
{
    std::vector<std::string> words;
    const char* text = getenv("LEDTEST_WRAPPER");
    std::istringstream split(text != nullptr ? text : "");
    std::string word;
    while (split >> word) {
        words.push_back(word);
    }
    return words;
}

struct RunOptions {
    std::string scenario; // File under tests/scenarios.
    bool lowMemory;       // Lower the address space so a large allocation fails.
};

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options)
{
    // Named for this process: ctest -j runs these cases side by side.
    std::string dir = testing::TempDir() + std::to_string(getpid()) + "_";
    std::string outPath = dir + "whole_run.out";
    std::string errPath = dir + "whole_run.err";
    std::string tracePath = dir + "whole_run.trace";
    remove(tracePath.c_str());

    std::vector<std::string> env = {"LEDSIM_TRACE=" + tracePath,
                                    "LEDSIM_SCENARIO=" + std::string(SCENARIO_DIR) + "/" + options.scenario};
    if (options.lowMemory && TOOL_SANITIZED) {
        env.push_back("ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256");
    } else if (getenv("ASAN_OPTIONS") != nullptr) {
        env.push_back(std::string("ASAN_OPTIONS=") + getenv("ASAN_OPTIONS"));
    }

    std::vector<std::string> argStorage = Wrapper();
    argStorage.push_back(TOOL_PATH);
    argStorage.insert(argStorage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStorage) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (options.lowMemory && !TOOL_SANITIZED) {
            struct rlimit limit = {256u << 20, 256u << 20};
            setrlimit(RLIMIT_AS, &limit);
        }
        // The wrapper is looked up in this process's PATH, not the tool's bare environment.
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    RunResult result = {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(outPath),
                        ReadFile(errPath), ReadFile(tracePath)};
    remove(outPath.c_str());
    remove(errPath.c_str());
    remove(tracePath.c_str());
    // The sanitizer's allocator says so when it refuses: the refusal is the point.
    const std::string refusal = "WARNING: AddressSanitizer failed to allocate";
    size_t at = result.err.find(refusal);
    if (options.lowMemory && at != std::string::npos) {
        size_t start = result.err.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        result.err.erase(start, result.err.find('\n', at) + 1 - start);
    }
    return result;
}

struct RunCase {
    const char* name;
    const char* scenario;
    std::vector<std::string> args;
    std::string expected;
};

void CheckRun(const RunCase& c, bool lowMemory = false)
{
    SCOPED_TRACE(c.name);
    RunResult result = RunTool(c.args, {c.scenario, lowMemory});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(c.expected, result.out);
    EXPECT_EQ("", result.err) << "the platform's books or a sanitizer complained";
}

TEST(WholeRun, OneDevice)
{
    const RunCase cases[] = {
        {"read green", "one_device.scn", {"r", "green"}, Found(0) + "Brightness == 17\n"},
        {"read blue", "one_device.scn", {"read", "BLUE"}, Found(0) + "Brightness == 34\n"},
        {"read keyback", "one_device.scn", {"r", "keyback", "300"}, Found(0) + "Brightness == 51\n"},
        {"write blue",
         "one_device.scn",
         {"w", "blue", "128"},
         Found(0) + "brightness = 128\nDeviceIoControl Success\n"},
        {"write 0",
         "one_device.scn",
         {"w", "green", "0"},
         Found(0) + "brightness = 0\nDeviceIoControl Success\n"},
        {"write 255",
         "one_device.scn",
         {"w", "keyback", "255"},
         Found(0) + "brightness = 255\nDeviceIoControl Success\n"},
        {"read of a driver that writes no byte",
         "read_without_output.scn",
         {"r", "green"},
         Found(0) + "Brightness == 0\n"},
    };
    for (const RunCase& c : cases) {
        CheckRun(c);
    }
}

TEST(WholeRun, RefusedCommandLineClosesTheDevice)
{
    const RunCase cases[] = {
        {"no arguments", "one_device.scn", {}, Found(0) + "argc = 1\n" + USAGE},
        {"five words", "one_device.scn", {"r", "green", "1", "2", "3"}, Found(0) + "argc = 6\n" + USAGE},
        {"write without brightness", "one_device.scn", {"w", "green"}, Found(0) + "argc = 3\n" + USAGE},
        {"capital W", "one_device.scn", {"W", "blue", "5"}, Found(0) + "reading or writing?\n" + USAGE},
        {"empty access word", "one_device.scn", {"", "blue"}, Found(0) + "reading or writing?\n" + USAGE},
        {"unknown colour", "one_device.scn", {"w", "red", "999"}, Found(0) + "Invalid Color\n" + USAGE},
        {"brightness 300",
         "one_device.scn",
         {"w", "keyback", "300"},
         Found(0) + "Invalid Brightness\n" + USAGE},
        {"brightness -1", "one_device.scn", {"w", "blue", "-1"}, Found(0) + "Invalid Brightness\n" + USAGE},
    };
    for (const RunCase& c : cases) {
        CheckRun(c);
    }
    RunResult refused = RunTool({"w", "keyback", "300"}, {"one_device.scn", false});
    EXPECT_EQ(std::string::npos, refused.trace.find("DeviceIoControl")) << "no request reaches the driver";
    EXPECT_NE(std::string::npos, refused.trace.find("CloseHandle error=0"));
}

TEST(WholeRun, DiscoveryWalksTheInterfaces)
{
    const std::string wide = "\\\\?\\LED#caf\xE9\xFF#"; // Cut at the euro sign; é and ÿ are a byte each.
    const RunCase cases[] = {
        {"no device, no arguments", "no_device.scn", {}, SET_CREATED + Listed(0) + NOT_FOUND},
        {"no device, bad arguments", "no_device.scn", {"x", "red"}, SET_CREATED + Listed(0) + NOT_FOUND},
        {"set not created",
         "create_set_fails.scn",
         {"r", "green"},
         "Unable to create device information set (Error 0xE0000217)\n" + NOT_FOUND},
        {"two devices, first wins", "two_devices.scn", {"r", "green"}, Found(0) + "Brightness == 1\n"},
        {"first detail fails",
         "first_detail_fails.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + DetailError("0000001F") + Found(1).substr(SET_CREATED.size()) +
             "Brightness == 2\n"},
        {"every detail fails",
         "all_details_fail.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + DetailError("0000001F") + CB_SIZE + DetailError("00000005") + CB_SIZE +
             DetailError("000003E3") + Listed(3) + NOT_FOUND},
        {"enumeration fails at 2",
         "enum_fails_at_2.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + DetailError("0000001F") + CB_SIZE + DetailError("0000001F") +
             "Error enumerating devices (0x000006F8).\n" + Listed(2) + NOT_FOUND},
        {"path of 99 fits",
         "path_99.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + PathLine("\\\\?\\" + std::string(95, 'A')) + OPENED + "Brightness == 99\n"},
        {"path of 100 is refused, not cut",
         "path_100.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + PathLine("\\\\?\\" + std::string(96, 'B')) + DetailError("0000007A") +
             CB_SIZE + PathLine(LedPath(1)) + OPENED + "Brightness == 7\n"},
        {"path of 3004 is refused",
         "path_long.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + PathLine("\\\\?\\" + std::string(3000, 'C')) + DetailError("0000007A") +
             CB_SIZE + PathLine(LedPath(1)) + OPENED + "Brightness == 8\n"},
        {"path line shows units to 0xFF, is cut at a wide unit, still ends",
         "path_wide.scn",
         {"r", "green"},
         SET_CREATED + CB_SIZE + PathLine(wide) + OPENED + "Brightness == 3\n"},
        {"size query fails",
         "size_query_fails.scn",
         {"r", "blue"},
         SET_CREATED + DetailError("00000057") + CB_SIZE + PathLine(LedPath(1)) + OPENED +
             "Brightness == 4\n"},
        {"size below the record",
         "size_too_small.scn",
         {"r", "keyback"},
         SET_CREATED + CB_SIZE + DetailError("0000007A") + CB_SIZE + DetailError("0000007A") + CB_SIZE +
             PathLine(LedPath(2)) + OPENED + "Brightness == 6\n"},
    };
    for (const RunCase& c : cases) {
        CheckRun(c);
    }
}

TEST(WholeRun, AllocationFailureStopsDiscovery)
{
    if (!Wrapper().empty()) {
        GTEST_SKIP() << "the address-space limit would stop the wrapper (LEDTEST_WRAPPER), not the tool";
    }
    CheckRun({"size beyond the address space",
              "size_huge.scn",
              {"r", "green"},
              SET_CREATED + "Unable to allocate memory for buffer.  Stopping.\n" + Listed(0) + NOT_FOUND},
             true);
}

TEST(WholeRun, DeviceFailures)
{
    const RunCase cases[] = {
        {"open refused",
         "open_refused.scn",
         {"r", "green"},
         Found(0).substr(0, Found(0).size() - OPENED.size()) + "ERROR creating device, error 5\n"},
        {"read refused",
         "ioctl_refused.scn",
         {"r", "green"},
         Found(0) + "ERROR calling DeviceIoControl, GLE = 31\n"},
        {"write refused",
         "ioctl_refused.scn",
         {"w", "green", "4"},
         Found(0) + "brightness = 4\nERROR calling DeviceIoControl, GLE = 31\n"},
    };
    for (const RunCase& c : cases) {
        CheckRun(c);
    }
}

TEST(WholeRun, MakesExactlyTheExpectedPlatformCalls)
{
    RunResult result = RunTool({"r", "green"}, {"one_device.scn", false});
    EXPECT_EQ("CLSIDFromString text=" + GUID_TEXT +
                  " result=0x00000000\n"
                  "SetupDiGetClassDevsW flags=0x12 error=0\n"
                  "SetupDiEnumDeviceInterfaces index=0 error=0\n"
                  "SetupDiGetDeviceInterfaceDetailW size=0 error=122\n"
                  "SetupDiGetDeviceInterfaceDetailW size=" +
                  std::to_string(4 + 2 * (LedPath(0).size() + 1)) +
                  " error=0\n"
                  "SetupDiDestroyDeviceInfoList error=0\n"
                  "CreateFileW path=" +
                  LedPath(0) +
                  " access=0xC0000000 share=3 disposition=3 flags=0x80 error=0\n"
                  "DeviceIoControl code=0x9C422000 in=0 out=1 error=0\n"
                  "CloseHandle error=0\n",
              result.trace);
}

} // namespace
