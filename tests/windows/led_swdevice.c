/*
 * Gives a real Windows an LED interface for the length of one command, with
 * no driver: a software device (cfgmgr32's SwDevice functions, Windows 8 and
 * later, called as administrator) that has an interface of the contract's
 * class, GUID_DEVINTERFACE_LED.
 *
 *   led_swdevice --waits <create>,<arrival>,<removal> <command> [<argument>...]
 *
 * It creates the device SWD\LedTest\1 under the root and waits for PnP's
 * callback (<create> seconds at most); registers and enables the interface;
 * waits until SetupAPI lists it among the present LED interfaces (<arrival>
 * seconds at most: Windows may first look for a driver for a new device);
 * runs the command with this process's standard handles, so that its output
 * passes through as it wrote it, in a job object that ends it, and all it
 * started, when this process ends, killed included; and last closes the
 * device, whatever the command did, and waits (<removal> seconds at most)
 * until the interface is no longer listed. The caller gives the waits, so
 * that its own limit for the whole run can be above them; the command has
 * no limit of its own here. Standard error gets every step with its HRESULT
 * or error code, and the path Windows gave the interface on a line of its
 * own:
 *
 *   led_swdevice: interface path \\?\SWD#...
 *
 * Exit status: the command's, or its own for its own failures:
 *   2  no command given, or no waits
 *   3  the device could not be created, cfgmgr32.dll lacking the functions
 *      included (as in Wine 8); the command is not run
 *   4  the interface could not be registered, or SetupAPI never listed it
 *   5  the command could not be started in its job
 *
 * The functions are looked up at run time, so that the helper starts
 * everywhere and says what is missing. mingw-w64 has no swdevice.h: the
 * declarations below follow Microsoft's documentation of swdevice.h and
 * swdevicedef.h. Built for x64 only, the Windows runner's CPU.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <setupapi.h>
#include <stddef.h>
#include <stdio.h>

#include "led_interface.h"

DECLARE_HANDLE(HSWDEVICE);

typedef struct _SW_DEVICE_CREATE_INFO {
    ULONG cbSize;
    PCWSTR pszInstanceId;
    PCZZWSTR pszzHardwareIds;
    PCZZWSTR pszzCompatibleIds;
    const GUID* pContainerId;
    ULONG CapabilityFlags;
    PCWSTR pszDeviceDescription;
    PCWSTR pszDeviceLocation;
    const SECURITY_DESCRIPTOR* pSecurityDescriptor;
} SW_DEVICE_CREATE_INFO;

/* The layout the x64 cfgmgr32.dll reads. */
_Static_assert(sizeof(SW_DEVICE_CREATE_INFO) == 72, "SW_DEVICE_CREATE_INFO is 72 bytes on x64");
_Static_assert(offsetof(SW_DEVICE_CREATE_INFO, CapabilityFlags) == 40, "CapabilityFlags at 40");
_Static_assert(offsetof(SW_DEVICE_CREATE_INFO, pSecurityDescriptor) == 64, "pSecurityDescriptor at 64");

/* SW_DEVICE_CAPABILITIES. SWDeviceCapabilitiesDriverRequired (8) stays
   clear: without it the creator may register and enable interfaces. */
#define SWDeviceCapabilitiesSilentInstall 0x2

typedef VOID(WINAPI* SW_DEVICE_CREATE_CALLBACK)(HSWDEVICE hSwDevice, HRESULT CreateResult, PVOID pContext,
                                                PCWSTR pszDeviceInstanceId);
/* No DEVPROPERTY is passed, so none is declared: the property count is 0. */
typedef HRESULT(WINAPI* SwDeviceCreateFunction)(PCWSTR pszEnumeratorName, PCWSTR pszParentDeviceInstance,
                                                const SW_DEVICE_CREATE_INFO* pCreateInfo,
                                                ULONG cPropertyCount, const void* pProperties,
                                                SW_DEVICE_CREATE_CALLBACK pCallback, PVOID pContext,
                                                HSWDEVICE* phSwDevice);
typedef HRESULT(WINAPI* SwDeviceInterfaceRegisterFunction)(HSWDEVICE hSwDevice,
                                                           const GUID* pInterfaceClassGuid,
                                                           PCWSTR pszReferenceString, ULONG cPropertyCount,
                                                           const void* pProperties, BOOL fEnabled,
                                                           PWSTR* ppszDeviceInterfaceId);
typedef VOID(WINAPI* SwMemFreeFunction)(PVOID pMem);
typedef VOID(WINAPI* SwDeviceCloseFunction)(HSWDEVICE hSwDevice);

#define EXIT_USAGE        2
#define EXIT_NO_DEVICE    3
#define EXIT_NO_INTERFACE 4
#define EXIT_NO_COMMAND   5

#define POLL_MS     50
#define PATH_CHARS  512
#define MOST_WAIT_S 3600

/* The longest each wait lasts, in ms. */
struct waits {
    DWORD create;
    DWORD arrival;
    DWORD removal;
};

static const GUID led_interface_class = GUID_DEVINTERFACE_LED_VALUE;

struct sw_functions {
    SwDeviceCreateFunction create;
    SwDeviceInterfaceRegisterFunction register_interface;
    SwMemFreeFunction free_memory;
    SwDeviceCloseFunction close;
};

/* What PnP's creation callback reports, for the thread that waits on it.
   Static: a late callback still finds it. */
static struct {
    HANDLE done;
    HRESULT result;
    WCHAR instance[PATH_CHARS];
} creation;

static VOID WINAPI device_created(HSWDEVICE device, HRESULT result, PVOID context, PCWSTR instance)
{
    (void)device;
    (void)context;
    creation.result = result;
    lstrcpynW(creation.instance, instance ? instance : L"(none)", PATH_CHARS);
    SetEvent(creation.done);
}

static const WCHAR* skip_blanks(const WCHAR* p)
{
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

/* A number of seconds (0 to MOST_WAIT_S) and the character end after it,
   in ms; *p moves past both. FALSE where they are not there. */
static BOOL read_seconds(const WCHAR** p, WCHAR end, DWORD* ms)
{
    DWORD seconds = 0;
    const WCHAR* q = *p;

    for (; *q >= L'0' && *q <= L'9' && seconds <= MOST_WAIT_S; q++)
        seconds = seconds * 10 + (DWORD)(*q - L'0');
    if (q == *p || seconds > MOST_WAIT_S || *q != end)
        return FALSE;
    *ms = seconds * 1000;
    *p = q + 1;
    return TRUE;
}

/* The command line after this program's name and its waits, as the caller
   wrote it (the name ends at its closing quote, or at the first blank when
   unquoted), or NULL where the waits are not there. */
static const WCHAR* command_after_waits(struct waits* waits)
{
    static const WCHAR option[] = L"--waits";
    const WCHAR* p = GetCommandLineW();

    if (*p == L'"') {
        for (p++; *p && *p != L'"'; p++)
            ;
        if (*p)
            p++;
    } else {
        for (; *p && *p != L' ' && *p != L'\t'; p++)
            ;
    }
    p = skip_blanks(p);
    if (wcsncmp(p, option, wcslen(option)) != 0)
        return NULL;
    p = skip_blanks(p + wcslen(option));
    if (!read_seconds(&p, L',', &waits->create) || !read_seconds(&p, L',', &waits->arrival) ||
        !read_seconds(&p, L' ', &waits->removal))
        return NULL;
    return skip_blanks(p);
}

static BOOL find_functions(HMODULE cfgmgr, struct sw_functions* sw)
{
    /* Through void (*)(void), which converts to any function pointer type. */
    sw->create = (SwDeviceCreateFunction)(void (*)(void))GetProcAddress(cfgmgr, "SwDeviceCreate");
    sw->register_interface = (SwDeviceInterfaceRegisterFunction)(void (*)(void))GetProcAddress(
        cfgmgr, "SwDeviceInterfaceRegister");
    sw->free_memory = (SwMemFreeFunction)(void (*)(void))GetProcAddress(cfgmgr, "SwMemFree");
    sw->close = (SwDeviceCloseFunction)(void (*)(void))GetProcAddress(cfgmgr, "SwDeviceClose");
    if (sw->create && sw->register_interface && sw->free_memory && sw->close)
        return TRUE;
    fprintf(stderr,
            "led_swdevice: cfgmgr32.dll lacks%s%s%s%s (Windows 8 and later have them): no device, "
            "and the command is not run\n",
            sw->create ? "" : " SwDeviceCreate", sw->register_interface ? "" : " SwDeviceInterfaceRegister",
            sw->free_memory ? "" : " SwMemFree", sw->close ? "" : " SwDeviceClose");
    return FALSE;
}

/* Whether SetupAPI lists the interface path (letter case aside) among the
   present LED interfaces, as the tool's discovery would see them; *count
   gets how many it lists, and listed the spelling it lists ours with. */
static BOOL interface_listed(const WCHAR* path, int* count, WCHAR* listed)
{
    SP_DEVICE_INTERFACE_DATA iface = {.cbSize = sizeof(iface)};
    BOOL found = FALSE;
    HDEVINFO set;
    DWORD i;

    *count = 0;
    set = SetupDiGetClassDevsW(&led_interface_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return FALSE;
    for (i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &led_interface_class, i, &iface); i++) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W d;
            char raw[sizeof(DWORD) + PATH_CHARS * sizeof(WCHAR)];
        } detail;
        (*count)++;
        detail.d.cbSize = sizeof(detail.d);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.d, sizeof(detail), NULL, NULL) &&
            lstrcmpiW(detail.d.DevicePath, path) == 0) {
            lstrcpynW(listed, detail.d.DevicePath, PATH_CHARS);
            found = TRUE;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

/* Polls SetupAPI until the interface is listed (want TRUE) or not (FALSE),
   for at most limit ms; returns whether it got there, *waited the time. */
static BOOL wait_for_listing(const WCHAR* path, BOOL want, ULONGLONG limit, int* count, WCHAR* listed,
                             ULONGLONG* waited)
{
    ULONGLONG start = GetTickCount64();
    BOOL there;

    while ((there = interface_listed(path, count, listed)) != want && GetTickCount64() - start < limit)
        Sleep(POLL_MS);
    *waited = GetTickCount64() - start;
    return there == want;
}

/* Creates the device and waits for PnP's answer, limit ms at most; *device
   is the handle to close, where there is one, even when creating failed. */
static BOOL create_device(const struct sw_functions* sw, DWORD limit, HSWDEVICE* device)
{
    SW_DEVICE_CREATE_INFO info = {
        .cbSize = sizeof(info),
        .pszInstanceId = L"1",
        .pszzHardwareIds = L"LedTest\0",
        .CapabilityFlags = SWDeviceCapabilitiesSilentInstall,
        .pszDeviceDescription = L"LED interface for Tovrin_LED_Test runs",
    };
    ULONGLONG start = GetTickCount64();
    BOOL created = FALSE;
    HRESULT hr;
    DWORD waited;

    creation.result = E_PENDING;
    hr = sw->create(L"LedTest", L"HTREE\\ROOT\\0", &info, 0, NULL, device_created, NULL, device);
    fprintf(stderr, "led_swdevice: SwDeviceCreate(LedTest, 1): 0x%08lX\n", (unsigned long)hr);
    if (SUCCEEDED(hr)) {
        waited = WaitForSingleObject(creation.done, limit);
        if (waited != WAIT_OBJECT_0) {
            fprintf(stderr, "led_swdevice: no creation callback within %lu s (wait 0x%lX)\n",
                    (unsigned long)limit / 1000, waited);
        } else {
            fprintf(
                stderr, "led_swdevice: creation callback after %lu ms: CreateResult 0x%08lX, instance %ls\n",
                (unsigned long)(GetTickCount64() - start), (unsigned long)creation.result, creation.instance);
            created = SUCCEEDED(creation.result);
        }
    }
    return created;
}

/* Registers and enables the interface, and waits until SetupAPI lists it,
   limit ms at most; path gets the path Windows gave it. */
static BOOL add_interface(const struct sw_functions* sw, HSWDEVICE device, DWORD limit, WCHAR* path)
{
    WCHAR listed[PATH_CHARS];
    ULONGLONG waited;
    PWSTR given = NULL;
    BOOL arrived = FALSE;
    HRESULT hr;
    int count;

    hr = sw->register_interface(device, &led_interface_class, NULL, 0, NULL, TRUE, &given);
    fprintf(stderr, "led_swdevice: SwDeviceInterfaceRegister(enabled): 0x%08lX\n", (unsigned long)hr);
    if (SUCCEEDED(hr) && given) {
        lstrcpynW(path, given, PATH_CHARS);
        fprintf(stderr, "led_swdevice: interface path %ls\n", path);
        arrived = wait_for_listing(path, TRUE, limit, &count, listed, &waited);
        if (arrived && lstrcmpW(listed, path) != 0)
            fprintf(stderr, "led_swdevice: SetupAPI spells it %ls\n", listed);
        fprintf(stderr, "led_swdevice: %s by SetupAPI after %lu ms, with %d LED interface(s) present\n",
                arrived ? "listed" : "not listed", (unsigned long)waited, count);
    }
    if (given)
        sw->free_memory(given);
    return arrived;
}

/* A job object that ends every process in it once its last handle closes:
   when this process ends, however it ends. NULL, said why, where it cannot
   be made. */
static HANDLE create_kill_on_close_job(void)
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {.BasicLimitInformation.LimitFlags =
                                                       JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE};
    HANDLE job = CreateJobObjectW(NULL, NULL);

    if (!job) {
        fprintf(stderr, "led_swdevice: no job object for the command, error %lu\n", GetLastError());
    } else if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        fprintf(stderr, "led_swdevice: the job object cannot end the command, error %lu\n", GetLastError());
        CloseHandle(job);
        job = NULL;
    }
    return job;
}

/* Runs the command with this process's standard handles, in a kill-on-close
   job (a runner that kills this process for overrunning its limit ends the
   command too, and with it the last holder of the runner's pipes); its exit
   status, or EXIT_NO_COMMAND. */
static int run_command(const WCHAR* command)
{
    static WCHAR line[32768]; /* CreateProcessW may write into it. */
    STARTUPINFOW startup = {.cb = sizeof(startup), .dwFlags = STARTF_USESTDHANDLES};
    PROCESS_INFORMATION process;
    DWORD status = EXIT_NO_COMMAND;
    DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE* handles[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    HANDLE job;
    int i;

    for (i = 0; i < 3; i++) {
        *handles[i] = GetStdHandle(which[i]);
        if (*handles[i] && *handles[i] != INVALID_HANDLE_VALUE)
            SetHandleInformation(*handles[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    lstrcpynW(line, command, 32768);
    fprintf(stderr, "led_swdevice: running %ls\n", line);
    fflush(stderr);
    job = create_kill_on_close_job();
    /* Suspended until it is in the job, so that nothing it starts escapes it. */
    if (job &&
        !CreateProcessW(NULL, line, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "led_swdevice: the command could not be started, error %lu\n", GetLastError());
    } else if (job) {
        if (!AssignProcessToJobObject(job, process.hProcess) || ResumeThread(process.hThread) == (DWORD)-1) {
            fprintf(stderr, "led_swdevice: the command could not be started in its job, error %lu\n",
                    GetLastError());
            TerminateProcess(process.hProcess, EXIT_NO_COMMAND);
        } else {
            WaitForSingleObject(process.hProcess, INFINITE);
            if (!GetExitCodeProcess(process.hProcess, &status))
                status = EXIT_NO_COMMAND;
            fprintf(stderr, "led_swdevice: the command ended with status %lu\n", status);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (job)
        CloseHandle(job);
    return (int)status;
}

/* Closes the device, outside the callback (Windows 8 deadlocks inside), and
   waits until its interface is no longer listed, limit ms at most. */
static void close_device(const struct sw_functions* sw, HSWDEVICE device, const WCHAR* path, DWORD limit)
{
    WCHAR listed[PATH_CHARS];
    ULONGLONG waited;
    BOOL gone;
    int count;

    sw->close(device);
    fprintf(stderr, "led_swdevice: SwDeviceClose done\n");
    if (*path) {
        gone = wait_for_listing(path, FALSE, limit, &count, listed, &waited);
        fprintf(stderr, "led_swdevice: interface %s after %lu ms\n", gone ? "gone" : "STILL LISTED",
                (unsigned long)waited);
    }
}

int main(void)
{
    struct waits waits;
    const WCHAR* command = command_after_waits(&waits);
    struct sw_functions sw;
    HSWDEVICE device = NULL;
    WCHAR path[PATH_CHARS] = L"";
    HMODULE cfgmgr = NULL;
    int status = EXIT_NO_DEVICE;

    if (!command || !*command) {
        fprintf(stderr,
                "usage: led_swdevice --waits <create>,<arrival>,<removal> <command> [<argument>...]\n"
                "  (the waits in seconds, 0 to %d)\n",
                MOST_WAIT_S);
        return EXIT_USAGE;
    }
    creation.done = CreateEventW(NULL, TRUE, FALSE, NULL);
    cfgmgr = LoadLibraryExW(L"cfgmgr32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!creation.done || !cfgmgr) {
        fprintf(stderr, "led_swdevice: %s, error %lu\n", cfgmgr ? "no event" : "cfgmgr32.dll not loaded",
                GetLastError());
    } else if (find_functions(cfgmgr, &sw)) {
        if (create_device(&sw, waits.create, &device))
            status =
                add_interface(&sw, device, waits.arrival, path) ? run_command(command) : EXIT_NO_INTERFACE;
        if (device)
            close_device(&sw, device, path, waits.removal);
    }
    if (cfgmgr)
        FreeLibrary(cfgmgr);
    if (creation.done)
        CloseHandle(creation.done);
    return status;
}
