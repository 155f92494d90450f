// Whole runs of the built tool on simulated machines: standard output byte
// for byte, exit status, and the platform's books (anything left open or
// closed twice shows on standard error).
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    std::string scenario; // File under tests/scenarios, an absolute path, or empty: the default machine.
    std::string state;    // LEDSIM_STATE, if not empty.
    bool lowMemory;       // Lower the address space so a large allocation fails.
    std::vector<std::string> env; // More of the tool's environment, "NAME=value", replacing the above.
    rlim_t fileSizeLimit = RLIM_INFINITY;
    std::string privateTmp = ""; // A folder the run sees at /tmp, which it then leaves alone; no trace.
};

// The run sees `folder` at /tmp, in a mount namespace of its own (and a user
// namespace, keeping its ids, where it is not root). False where none can be made.
bool MountPrivateTmp(const std::string& folder)
{
    const bool root = geteuid() == 0;
    const std::string uid = std::to_string(geteuid());
    const std::string gid = std::to_string(getegid());
    if (unshare(root ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return false;
    }
    if (!root) {
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << uid + " " + uid + " 1";
        std::ofstream("/proc/self/gid_map") << gid + " " + gid + " 1";
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(folder.c_str(), "/tmp", nullptr, MS_BIND, nullptr) == 0;
}

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options)
{
    // Named for this process: ctest -j runs these cases side by side.
    std::string dir = testing::TempDir() + std::to_string(getpid()) + "_";
    std::string outPath = dir + "whole_run.out";
    std::string errPath = dir + "whole_run.err";
    std::string tracePath = dir + "whole_run.trace";
    remove(tracePath.c_str());

    std::vector<std::string> env;
    if (options.privateTmp.empty()) { // A private /tmp would hide a trace kept under /tmp.
        env.push_back("LEDSIM_TRACE=" + tracePath);
    }
    if (!options.scenario.empty()) {
        std::string folder = options.scenario[0] == '/' ? "" : std::string(SCENARIO_DIR) + "/";
        env.push_back("LEDSIM_SCENARIO=" + folder + options.scenario);
    }
    if (!options.state.empty()) {
        env.push_back("LEDSIM_STATE=" + options.state);
    }
    if (options.lowMemory && TOOL_SANITIZED) {
        env.push_back("ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256");
    } else if (getenv("ASAN_OPTIONS") != nullptr) {
        env.push_back(std::string("ASAN_OPTIONS=") + getenv("ASAN_OPTIONS"));
    }
    // One entry per name: a wrapper such as valgrind may not keep the order.
    for (const std::string& entry : options.env) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        env.erase(
            std::remove_if(env.begin(), env.end(),
                           [&name](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
            env.end());
        env.push_back(entry);
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
        struct rlimit fileSize = {options.fileSizeLimit, options.fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &fileSize);
        if (!options.privateTmp.empty()) {
            // The tool, which may sit under /tmp too, is run through a descriptor taken before.
            std::string tool = "/proc/self/fd/" + std::to_string(open(TOOL_PATH, O_RDONLY));
            if (!MountPrivateTmp(options.privateTmp)) {
                fprintf(stderr, "no private /tmp: %s\n", strerror(errno));
                _exit(126);
            }
            argv[argStorage.size() - args.size() - 1] = &tool[0];
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
    RunResult result = RunTool(c.args, {c.scenario, "", lowMemory, {}});
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
    RunResult refused = RunTool({"w", "keyback", "300"}, {"one_device.scn", "", false, {}});
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
    RunResult result = RunTool({"r", "green"}, {"one_device.scn", "", false, {}});
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

// Where the default machine keeps its brightness: LEDSIM_STATE, else
// $TMPDIR, else /tmp, which the run sees in a private mount namespace so that
// the user's own default state is never touched. A write is read back by the
// next run, and entries that another machine (a scenario) keeps in the same
// file stay.
TEST(WholeRun, DefaultMachineKeepsBrightnessBetweenRuns)
{
    const std::string dir = testing::TempDir() + std::to_string(getpid()) + "_kept";
    const std::string own = dir + "/ledsim-" + std::to_string(getuid()) + ".state";
    mkdir(dir.c_str(), 0700);
    const struct {
        const char* name;
        std::vector<std::string> env;
        std::string file;
        bool privateTmp;
    } cases[] = {
        {"LEDSIM_STATE", {"LEDSIM_STATE=" + dir + "/chosen.state"}, dir + "/chosen.state", false},
        {"TMPDIR", {"TMPDIR=" + dir}, own, false},
        {"TMPDIR unset: /tmp", {}, own, true},
        {"TMPDIR empty: /tmp", {"TMPDIR="}, own, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove(c.file.c_str());
        RunTool({"w", "keyback", "6"}, {"path_99.scn", c.file, false, {}});
        RunOptions options = {"", "", false, c.env};
        options.privateTmp = c.privateTmp ? dir : "";
        RunResult write = RunTool({"w", "blue", "128"}, options);
        if (write.status == 126 && getenv("CI") == nullptr) {
            printf("SKIPPED row '%s': %s", c.name, write.err.c_str()); // No namespace here; CI has one.
            continue;
        }
        EXPECT_EQ(Found(0) + "brightness = 128\nDeviceIoControl Success\n", write.out);
        RunResult read = RunTool({"r", "blue"}, options);
        EXPECT_EQ(Found(0) + "Brightness == 128\n", read.out);
        RunResult other = RunTool({"r", "green"}, options);
        EXPECT_EQ(Found(0) + "Brightness == 0\n", other.out);
        RunResult scenario = RunTool({"r", "keyback"}, {"path_99.scn", c.file, false, {}});
        EXPECT_EQ(SET_CREATED + CB_SIZE + PathLine("\\\\?\\" + std::string(95, 'A')) + OPENED +
                      "Brightness == 6\n",
                  scenario.out);
        EXPECT_EQ("", write.err + read.err + other.err + scenario.err);
        EXPECT_NE(std::string::npos, ReadFile(c.file).find(LedPath(0) + " 0 128 0\n"));
        remove(c.file.c_str());
        remove((c.file + ".lock").c_str());
    }
    rmdir(dir.c_str());
}

// Runs that share a state take turns: three writes at once, each to its own
// channel, are all kept, round after round.
TEST(WholeRun, ConcurrentWritesAreAllKept)
{
    const std::string state = testing::TempDir() + std::to_string(getpid()) + "_concurrent.state";
    const std::vector<std::string> writes[] = {
        {"w", "green", "11"}, {"w", "blue", "22"}, {"w", "keyback", "33"}};
    for (int round = 0; round < 20; round++) {
        remove(state.c_str());
        std::vector<pid_t> writers;
        for (const std::vector<std::string>& args : writes) {
            pid_t writer = fork();
            if (writer == 0) {
                RunResult result = RunTool(args, {"", state, false, {}});
                _exit(result.status == 0 && result.err.empty() ? 0 : 1);
            }
            writers.push_back(writer);
        }
        for (pid_t writer : writers) {
            int status = -1;
            waitpid(writer, &status, 0);
            EXPECT_EQ(0, status);
        }
        ASSERT_EQ(LedPath(0) + " 11 22 33\n", ReadFile(state)) << "round " << round;
    }
    remove(state.c_str());
    remove((state + ".lock").c_str());
}

// A setup the machine cannot use stops the run before the tool, naming the
// file (and line); an unkept brightness or trace is said and the run goes on.
// What a case plants at the state path must be refused or left alone, never
// followed or waited on; a kept state is a private regular file, and no
// temporary of it is left behind.
TEST(WholeRun, RefusesASetupItCannotUse)
{
    enum Plant { NOTHING, FIFO, LINK, FOLDER, OTHER_USER, HUGE, OTHERS, LEFTOVER, LOCKED };
    const std::string dir = SCENARIO_DIR;
    const std::string base = testing::TempDir() + std::to_string(getpid()) + "_whole_run_";
    const std::string state = base + "refused.state";
    const std::string victim = base + "victim";
    const std::string unsaved = state + ".missing/state";
    const std::string untraced = base + "missing/trace";
    const std::string traceFifo = base + "trace.fifo";
    const std::string traceLink = base + "trace.link";
    std::string others; // Other machines' lines, more than a file-size limit of 4 KiB lets a save write.
    for (int i = 0; i < 400; i++) {
        others += "\\\\?\\OTHER#" + std::to_string(i) + " 1 2 3\n";
    }
    // Only root can give a file away; anyone else finds one that is not theirs.
    const bool root = geteuid() == 0;
    const std::string foreign = root ? state : "/etc/passwd";
    const std::string written = Found(0) + "brightness = 9\nDeviceIoControl Success\n";
    const struct {
        const char* name;
        const char* scenario;
        std::string state;
        Plant plant;
        int status;
        std::string out;
        std::string err;
        std::string env = ""; // One more variable of the tool's, "NAME=value".
        rlim_t fileSizeLimit = RLIM_INFINITY;
    } cases[] = {
        {"unknown directive", "bad_scenario.scn", state, NOTHING, 2, "",
         dir + "/bad_scenario.scn:2: unknown directive 'flash-all-leds'"},
        {"missing scenario", "no_such_file.scn", state, NOTHING, 2, "",
         dir + "/no_such_file.scn: cannot read scenario: No such file or directory"},
        {"scenario is a folder", ".", state, NOTHING, 2, "",
         dir + "/.: cannot read scenario: Is a directory"},
        {"scenario set but empty", "", state, NOTHING, 2, "",
         "LEDSIM_SCENARIO is set but empty: name a scenario file, or unset it", "LEDSIM_SCENARIO="},
        {"scenario without end", "/dev/zero", state, NOTHING, 2, "",
         "/dev/zero: cannot read scenario: larger than 1 MiB, the limit for a scenario"},
        {"FIFO at the state path", "", state, FIFO, 2, "",
         state + ": brightness state must be a regular file, not a FIFO"},
        {"link at the state path", "", state, LINK, 2, "",
         state + ": brightness state must be a regular file, not a symbolic link"},
        {"folder at the state path", "", state, FOLDER, 2, "",
         state + ": brightness state must be a regular file, not a folder"},
        {"another user's state file", "", foreign, OTHER_USER, 2, "",
         foreign + ": brightness state must be your own file, not another user's"},
        {"state written", "", state, NOTHING, 0, written, ""},
        {"state cannot be saved", "", unsaved, NOTHING, 0, written,
         "brightness not kept: " + unsaved + ": No such file or directory"},
        {"trace cannot be written", "", state, NOTHING, 0, written,
         "trace not written: " + untraced + ": No such file or directory", "LEDSIM_TRACE=" + untraced},
        {"trace a FIFO with no reader", "", state, NOTHING, 0, written,
         "trace not written: " + traceFifo + ": a FIFO with no reader", "LEDSIM_TRACE=" + traceFifo},
        {"trace a link", "", state, NOTHING, 0, written,
         "trace not written: " + traceLink + ": trace must not be a symbolic link",
         "LEDSIM_TRACE=" + traceLink},
        {"trace write fails", "", state, NOTHING, 0, written,
         "trace not written: /dev/full: No space left on device", "LEDSIM_TRACE=/dev/full"},
        {"state read error", "", "/proc/self/mem", NOTHING, 2, "",
         "/proc/self/mem: cannot read brightness state: Input/output error"},
        {"state over 16 MiB", "", state, HUGE, 2, "",
         state + ": cannot read brightness state: larger than 16 MiB, the limit for a state file"},
        {"file-size limit at the save", "", state, OTHERS, 0, written,
         "brightness not kept: " + state + ": File too large", "", 4096},
        {"a killed run's temporary", "", state, LEFTOVER, 0, written, ""},
        {"state held by another run", "", state, LOCKED, 2, "",
         state + ": another run has held the brightness state for 10 s, the limit for waiting (its lock: " +
             state + ".lock)"},
    };
    mkfifo(traceFifo.c_str(), 0600);
    symlink(victim.c_str(), traceLink.c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(victim) << "victim\n";
        if (c.state != foreign || root) {
            remove(c.state.c_str());
        }
        EXPECT_TRUE(c.plant != FIFO || mkfifo(c.state.c_str(), 0600) == 0);
        EXPECT_TRUE(c.plant != LINK || symlink(victim.c_str(), c.state.c_str()) == 0);
        EXPECT_TRUE(c.plant != FOLDER || mkdir(c.state.c_str(), 0700) == 0);
        if (c.plant == OTHER_USER && root) {
            std::ofstream(c.state) << "";
            EXPECT_EQ(0, chown(c.state.c_str(), 65534, 65534));
        }
        EXPECT_TRUE(c.plant != HUGE ||
                    (std::ofstream(c.state).good() && truncate(c.state.c_str(), 17 << 20) == 0));
        if (c.plant == OTHERS || c.plant == LEFTOVER) {
            std::ofstream(c.plant == OTHERS ? c.state : state + ".saving-Ab12Cd") << others;
        }
        int held = c.plant == LOCKED ? open((state + ".lock").c_str(), O_RDWR | O_CREAT, 0600) : -1;
        EXPECT_TRUE(c.plant != LOCKED || flock(held, LOCK_EX) == 0);
        std::vector<std::string> env;
        if (!c.env.empty()) {
            env.push_back(c.env);
        }
        RunOptions options = {c.scenario, c.state, false, env};
        options.fileSizeLimit = c.fileSizeLimit;
        RunResult result = RunTool({"w", "green", "9"}, options);
        close(held);
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err.empty() ? "" : "ledsim: " + c.err + "\n", result.err);
        EXPECT_EQ("victim\n", ReadFile(victim));
        struct stat info = {};
        if (c.status == 0 && c.state == state && c.plant != OTHERS) {
            ASSERT_EQ(0, lstat(state.c_str(), &info));
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(0600u, info.st_mode & 07777u);
        }
        EXPECT_TRUE(c.plant != OTHERS || ReadFile(state) == others) << "the old state was not kept";
        glob_t left = {}; // The lock stays, for the next run to take.
        glob((state + ".*").c_str(), 0, nullptr, &left);
        for (size_t i = 0; i < left.gl_pathc; i++) {
            EXPECT_EQ(state + ".lock", left.gl_pathv[i]) << "a temporary was left";
        }
        globfree(&left);
        if (c.state != foreign || root) {
            remove(c.state.c_str());
        }
    }
    remove(victim.c_str());
    remove(traceFifo.c_str());
    remove(traceLink.c_str());
    remove((state + ".lock").c_str());
}

} // namespace
