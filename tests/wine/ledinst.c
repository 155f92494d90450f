/*
 * Installs, configures and removes root-enumerated stand-in LED devices
 * (ROOT\LEDSTUB\nnnn) for the Wine end-to-end runs.
 *
 *   ledinst install <inf> <settings>...  one new device per settings argument
 *   ledinst set <n> <settings>           change the values of device nnnn
 *   ledinst remove                       remove every ROOT\LEDSTUB device
 *
 * <settings> is "-" or a comma-separated list of Name=Value with Name one of
 * Green, Blue, Keyback, CreateStatus, IoctlStatus, DropLink and Value a number (0x...
 * for hex), or Fault and Value a fault's name (ledstub.c lists them).  They
 * go to the device's hardware key, where ledstub.sys reads them.  Must be
 * built for the prefix's native bitness: a 32-bit installer in a 64-bit
 * prefix copies the driver to the wrong system folder.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "led_interface.h"

static const WCHAR hardware_id[] = L"root\\ledstub\0"; /* REG_MULTI_SZ */
static const GUID null_guid;

#define CHANNEL_SETTING(Name, name) #Name,
static const char* const setting_names[] = {LED_CHANNELS(CHANNEL_SETTING) "CreateStatus", "IoctlStatus",
                                            "DropLink"};

static int fail(const char* what)
{
    fprintf(stderr, "ledinst: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

/* Writes "-" or "Name=Value,..." to the device's hardware key. */
static int apply_settings(HDEVINFO set, SP_DEVINFO_DATA* dev, const char* settings)
{
    char *copy, *item, *next;
    HKEY key;
    int rc = 0;

    key = SetupDiCreateDevRegKeyW(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (key == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDevRegKeyW");
    if (!strcmp(settings, "-")) {
        RegCloseKey(key);
        return 0;
    }

    copy = _strdup(settings);
    for (item = copy; item && *item && !rc; item = next) {
        char *eq = strchr(item, '='), *end;
        DWORD value;
        size_t i;

        if ((next = strchr(item, ',')))
            *next++ = 0;
        if (!eq) {
            fprintf(stderr, "ledinst: bad setting '%s'\n", item);
            rc = 1;
            break;
        }
        *eq = 0;
        if (!strcmp(item, "Fault")) {
            if (RegSetValueExA(key, item, 0, REG_SZ, (const BYTE*)(eq + 1), (DWORD)strlen(eq + 1) + 1))
                rc = fail("RegSetValueExA");
            continue;
        }
        for (i = 0; i < sizeof(setting_names) / sizeof(setting_names[0]); i++)
            if (!strcmp(item, setting_names[i]))
                break;
        value = strtoul(eq + 1, &end, 0);
        if (i == sizeof(setting_names) / sizeof(setting_names[0]) || end == eq + 1 || *end) {
            fprintf(stderr, "ledinst: bad setting '%s=%s'\n", item, eq + 1);
            rc = 1;
            break;
        }
        if (RegSetValueExA(key, item, 0, REG_DWORD, (const BYTE*)&value, sizeof(value)))
            rc = fail("RegSetValueExA");
    }
    free(copy);
    RegCloseKey(key);
    return rc;
}

static int install(const char* inf, int count, char** settings)
{
    WCHAR inf_name[MAX_PATH], inf_path[MAX_PATH], instance[64];
    HDEVINFO set;
    BOOL reboot, created = FALSE;
    int i, n = 0, rc = 0;

    MultiByteToWideChar(CP_ACP, 0, inf, -1, inf_name, MAX_PATH);
    if (!GetFullPathNameW(inf_name, MAX_PATH, inf_path, NULL))
        return fail("GetFullPathNameW");

    set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");

    for (i = 0; i < count && !rc; i++) {
        SP_DEVINFO_DATA dev = {.cbSize = sizeof(dev)};

        /* Next free instance number, so devices can be added to a running set. */
        for (;; n++) {
            swprintf(instance, 64, L"ROOT\\LEDSTUB\\%04d", n);
            created = SetupDiCreateDeviceInfoW(set, instance, &null_guid, NULL, NULL, 0, &dev);
            if (created || GetLastError() != ERROR_DEVINST_ALREADY_EXISTS || n > 9999)
                break;
        }
        if (!created)
            rc = fail("SetupDiCreateDeviceInfoW");
        else if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, (const BYTE*)hardware_id,
                                                    sizeof(hardware_id)))
            rc = fail("SetupDiSetDeviceRegistryPropertyW");
        else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
            rc = fail("DIF_REGISTERDEVICE");
        /* Before the driver loads: it reads the preset brightness in AddDevice. */
        else if (!(rc = apply_settings(set, &dev, settings[i])))
            printf("ledinst: created ROOT\\LEDSTUB\\%04d\n", n);
    }
    SetupDiDestroyDeviceInfoList(set);

    if (!rc &&
        !UpdateDriverForPlugAndPlayDevicesW(NULL, L"root\\ledstub", inf_path, INSTALLFLAG_FORCE, &reboot))
        rc = fail("UpdateDriverForPlugAndPlayDevicesW");
    return rc;
}

static int configure(int number, const char* settings)
{
    SP_DEVINFO_DATA dev = {.cbSize = sizeof(dev)};
    WCHAR instance[64];
    HDEVINFO set;
    int rc;

    swprintf(instance, 64, L"ROOT\\LEDSTUB\\%04d", number);
    set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    if (!SetupDiOpenDeviceInfoW(set, instance, NULL, 0, &dev))
        rc = fail("SetupDiOpenDeviceInfoW");
    else
        rc = apply_settings(set, &dev, settings);
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

static int remove_all(void)
{
    SP_DEVINFO_DATA dev = {.cbSize = sizeof(dev)};
    WCHAR id[200];
    HDEVINFO set;
    DWORD i;
    int rc = 0;

    set = SetupDiGetClassDevsW(NULL, L"ROOT", NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiGetClassDevsW");
    for (i = 0; SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        if (!SetupDiGetDeviceInstanceIdW(set, &dev, id, 200, NULL))
            continue;
        if (_wcsnicmp(id, L"ROOT\\LEDSTUB\\", 13))
            continue;
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &dev))
            rc = fail("DIF_REMOVE");
        else
            printf("ledinst: removed %ls\n", id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc >= 4 && !strcmp(argv[1], "install"))
        return install(argv[2], argc - 3, argv + 3);
    if (argc == 4 && !strcmp(argv[1], "set"))
        return configure(atoi(argv[2]), argv[3]);
    if (argc == 2 && !strcmp(argv[1], "remove"))
        return remove_all();
    fprintf(stderr, "usage: ledinst install <inf> <settings>... | set <n> <settings> | remove\n");
    return 2;
}
