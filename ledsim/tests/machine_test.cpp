// The stand-in platform against the behaviour of the real calls: return
// values, exact error codes, and out-parameters left alone on failure.
#include <gtest/gtest.h>
#include <objbase.h>
#include <setupapi.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "led_interface.h"
#include "led_refusals.h"
#include "ledsim/ledsim.h"

namespace {

const GUID LED_CLASS = GUID_DEVINTERFACE_LED_VALUE;
const DWORD RECORD = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

void Load(const char* scenario)
{
    std::string error;
    ASSERT_TRUE(LedSimLoadScenario(scenario, &error)) << error;
}

// Bytes the detail query needs for a path of `length` characters.
DWORD DetailSize(size_t length)
{
    return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * (length + 1));
}

struct IoctlCase {
    const char* name;
    DWORD code;
    bool inPresent;
    DWORD inLength;
    bool outPresent;
    DWORD outLength;
    DWORD error; // ERROR_SUCCESS for an accepted request.
};

TEST(DeviceIoControl, ServesOnlyTheSixCodesWithOneByteEachWay)
{
    // The six codes served, and pointers that disagree with their lengths,
    // which only a caller of the simulated device can hand to a driver.
    std::vector<IoctlCase> cases = {
        {"green read", IOCTL_LED_GREEN_READ, false, 0, true, 1, ERROR_SUCCESS},
        {"green write", IOCTL_LED_GREEN_WRITE, true, 1, false, 0, ERROR_SUCCESS},
        {"blue read", IOCTL_LED_BLUE_READ, false, 0, true, 1, ERROR_SUCCESS},
        {"blue write", IOCTL_LED_BLUE_WRITE, true, 1, false, 0, ERROR_SUCCESS},
        {"keyback read", IOCTL_LED_KEYBACK_READ, false, 0, true, 1, ERROR_SUCCESS},
        {"keyback write", IOCTL_LED_KEYBACK_WRITE, true, 1, false, 0, ERROR_SUCCESS},
        {"read, null output of length 1", IOCTL_LED_GREEN_READ, false, 0, false, 1, ERROR_INVALID_PARAMETER},
        {"read, input pointer of length 0", IOCTL_LED_GREEN_READ, true, 0, true, 1, ERROR_INVALID_PARAMETER},
        {"write, null input of length 1", IOCTL_LED_GREEN_WRITE, false, 1, false, 0, ERROR_INVALID_PARAMETER},
    };
    // Requests each refusal rule of the contract decides.
    for (const LedRefusal& r : LED_REFUSALS) {
        cases.push_back({r.name, r.code, r.inLength != 0, r.inLength, r.outLength != 0, r.outLength,
                         LED_RULE_ERRORS[r.rule]});
    }
    for (const IoctlCase& c : cases) {
        SCOPED_TRACE(c.name);
        Load("interface \\\\?\\LED#1 green=11 blue=22 keyback=33\n");
        HANDLE device = CreateFileW(u"\\\\?\\LED#1", GENERIC_READ | GENERIC_WRITE, 3, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, device);
        BYTE in[2] = {99, 99};
        BYTE out[2] = {0xAA, 0xAA};
        DWORD returned = 0xdeadbeef;

        SetLastError(0xdeadbeef);
        BOOL ok = DeviceIoControl(device, c.code, c.inPresent ? in : NULL, c.inLength,
                                  c.outPresent ? out : NULL, c.outLength, &returned, NULL);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(0xdeadbeefu, GetLastError());
            EXPECT_EQ(c.outPresent ? 1u : 0u, returned);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(c.error, GetLastError());
            EXPECT_EQ(0xdeadbeefu, returned);
            EXPECT_EQ(0xAA, out[0]);
            // A refused write changes nothing.
            EXPECT_EQ(11, LedSimBrightness(0, 0));
            EXPECT_EQ(22, LedSimBrightness(0, 1));
            EXPECT_EQ(33, LedSimBrightness(0, 2));
        }
        int channel = static_cast<int>((c.code - IOCTL_LED_GREEN_READ) / 8);
        if (c.error == ERROR_SUCCESS && c.outPresent) {
            EXPECT_EQ(LedSimBrightness(0, channel), out[0]);
        }
        if (c.error == ERROR_SUCCESS && c.inPresent) {
            EXPECT_EQ(99, LedSimBrightness(0, channel));
        }
        EXPECT_TRUE(CloseHandle(device));
        EXPECT_EQ("", LedSimCheckBooks());
    }
}

TEST(DeviceIoControl, RefusesClosedAndUnknownHandles)
{
    Load("interface \\\\?\\LED#1\n");
    HANDLE device =
        CreateFileW(u"\\\\?\\LED#1", GENERIC_READ | GENERIC_WRITE, 3, NULL, OPEN_EXISTING, 0x80, NULL);
    ASSERT_TRUE(CloseHandle(device));
    BYTE out = 0xAA;
    DWORD returned = 0xdeadbeef;
    const HANDLE handles[] = {device, NULL, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234)};
    for (HANDLE handle : handles) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(DeviceIoControl(handle, IOCTL_LED_GREEN_READ, NULL, 0, &out, 1, &returned, NULL));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_EQ(0xAA, out);
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(1u, LedSimGetBooks().invalidCloses);
    EXPECT_EQ("ledsim: 1 close(s) of an object that was not open\n", LedSimCheckBooks());
}

TEST(CreateFileW, OpensOnlyPresentInterfacesByName)
{
    const struct {
        const char* name;
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {"exact path", u"\\\\?\\ROOT#LED#0000#{x}", ERROR_SUCCESS},
        {"names ignore case", u"\\\\?\\root#led#0000#{X}", ERROR_SUCCESS},
        {"unknown path", u"\\\\?\\ROOT#LED#0001#{x}", ERROR_FILE_NOT_FOUND},
        {"prefix of a path", u"\\\\?\\ROOT#LED#0000#", ERROR_FILE_NOT_FOUND},
        {"device not present", u"\\\\?\\ABSENT", ERROR_FILE_NOT_FOUND},
        {"open refused", u"\\\\?\\LOCKED", ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load("interface \\\\?\\ROOT#LED#0000#{x}\n"
             "absent-interface \\\\?\\ABSENT\n"
             "interface \\\\?\\LOCKED open-error=5\n");
        SetLastError(0xdeadbeef);
        HANDLE handle = CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 3, NULL, OPEN_EXISTING, 0x80, NULL);
        EXPECT_EQ(c.error, GetLastError());
        if (c.error == ERROR_SUCCESS) {
            ASSERT_NE(INVALID_HANDLE_VALUE, handle);
            EXPECT_EQ("device handle 0 was never closed",
                      LedSimCheckBooks().substr(8, LedSimCheckBooks().size() - 9));
            EXPECT_TRUE(CloseHandle(handle));
        } else {
            EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
        }
        EXPECT_EQ("", LedSimCheckBooks());
    }
}

TEST(CLSIDFromString, ParsesTheBracedForm)
{
    Load(""); // The first call into the platform would set it up from the environment.
    GUID guid;
    // The header's text, which the tool converts, names the class of its value.
    const char16_t* good[] = {GUID_DEVINTERFACE_LED, u"{702EDA9E-7390-4cfe-aea2-6f85676e3d22}"};
    for (const char16_t* text : good) {
        memset(&guid, 0xCC, sizeof(guid));
        EXPECT_EQ(S_OK, CLSIDFromString(text, &guid));
        EXPECT_EQ(0, memcmp(&LED_CLASS, &guid, sizeof(guid)));
    }

    const char16_t* bad[] = {
        u"702eda9e-7390-4cfe-aea2-6f85676e3d22", u"{702eda9e-7390-4cfe-aea2-6f85676e3d2}",
        u"{702eda9e-7390-4cfe-aea2-6f85676e3d22}x", u"{702eda9e-7390-4cfe-aea26f85676e3d22}", u""};
    for (const char16_t* text : bad) {
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(text, &guid));
    }
}

class SetupApiTest : public testing::Test {
  protected:
    HDEVINFO Open(const char* scenario)
    {
        Load(scenario);
        HDEVINFO set = SetupDiGetClassDevsW(&LED_CLASS, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(INVALID_HANDLE_VALUE, set);
        return set;
    }

    // Paths of every interface the enumeration lists, in order.
    std::string ListPaths(HDEVINFO set)
    {
        std::string paths;
        SP_DEVICE_INTERFACE_DATA data;
        for (DWORD index = 0;; index++) {
            data.cbSize = sizeof(data);
            if (!SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, index, &data)) {
                EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
                return paths;
            }
            DWORD size = 0;
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &size, NULL));
            std::string buffer(size, '\0');
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(&buffer[0]);
            detail->cbSize = RECORD;
            EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, NULL, NULL));
            for (const WCHAR* c = detail->DevicePath; *c != 0; c++) {
                paths.push_back(static_cast<char>(*c));
            }
            paths.push_back(' ');
        }
    }

    void TearDown() override
    {
        EXPECT_EQ("", LedSimCheckBooks());
    }
};

TEST_F(SetupApiTest, ListsPresentInterfacesOfTheClassInOrder)
{
    HDEVINFO set = Open("interface A\n"
                        "other-interface B\n"
                        "absent-interface C\n"
                        "interface D\n");
    EXPECT_EQ("A D ", ListPaths(set));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    // Without DIGCF_PRESENT the absent device's interface is listed too.
    set = SetupDiGetClassDevsW(&LED_CLASS, NULL, NULL, DIGCF_DEVICEINTERFACE);
    EXPECT_EQ("A C D ", ListPaths(set));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// Each index used to rescan the whole list, so a walk grew as the square of
// its length: 100,000 interfaces took 13 s. Now every index costs the same.
TEST_F(SetupApiTest, EnumerationCostsTheSameAtEveryIndex)
{
    const DWORD count = 100000;
    std::string scenario;
    for (DWORD i = 0; i < count; i++) {
        scenario += "interface I" + std::to_string(i) +
                    (i % 2 == 0 ? "\n" : "\nother-interface O" + std::to_string(i) + "\n");
    }
    HDEVINFO set = Open(scenario.c_str());
    auto start = std::chrono::steady_clock::now();
    SP_DEVICE_INTERFACE_DATA data;
    DWORD index = 0;
    for (data.cbSize = sizeof(data); SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, index, &data);
         index++) {
    }
    EXPECT_EQ(count, index);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, EnumerationChecksItsRecord)
{
    HDEVINFO set = Open("interface A\n");
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0x5A, sizeof(data));
    data.cbSize = sizeof(data) - 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
    EXPECT_EQ(0x5A5A5A5Au, data.Flags);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    data.cbSize = sizeof(data);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(INVALID_HANDLE_VALUE, NULL, &LED_CLASS, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0x5A5A5A5Au, data.Flags);

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, &data));
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    EXPECT_EQ(SPINT_ACTIVE, data.Flags);
    EXPECT_EQ(0, memcmp(&LED_CLASS, &data.InterfaceClassGuid, sizeof(GUID)));

    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 1, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, DetailQueryReportsSizesAndChecksBuffers)
{
    HDEVINFO set = Open("interface ABC\n");
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, &data));
    alignas(4) BYTE buffer[64];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);

    const struct {
        const char* name;
        bool withBuffer;
        DWORD cbSize;
        DWORD size;
        BOOL result;
        DWORD error;
        DWORD required; // 0xdeadbeef: left alone.
    } cases[] = {
        {"size query", false, 0, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, DetailSize(3)},
        {"no buffer but a size", false, 0, 12, FALSE, ERROR_INVALID_USER_BUFFER, 0xdeadbeef},
        {"record too small", true, RECORD - 1, sizeof(buffer), FALSE, ERROR_INVALID_USER_BUFFER, 0xdeadbeef},
        {"record too large", true, RECORD + 2, sizeof(buffer), FALSE, ERROR_INVALID_USER_BUFFER, 0xdeadbeef},
        {"buffer one byte short", true, RECORD, DetailSize(3) - 1, FALSE, ERROR_INSUFFICIENT_BUFFER,
         DetailSize(3)},
        {"buffer just right", true, RECORD, DetailSize(3), TRUE, 0xdeadbeef, DetailSize(3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        memset(buffer, 0x5A, sizeof(buffer));
        detail->cbSize = c.cbSize;
        DWORD required = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(c.result, SetupDiGetDeviceInterfaceDetailW(set, &data, c.withBuffer ? detail : NULL, c.size,
                                                             &required, NULL));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.required, required);
        if (c.result) {
            EXPECT_EQ(0, memcmp(u"ABC", detail->DevicePath, 8));
        } else {
            EXPECT_EQ(0x5A, buffer[4]);
        }
    }

    SP_DEVICE_INTERFACE_DATA unfilled;
    memset(&unfilled, 0, sizeof(unfilled));
    unfilled.cbSize = sizeof(unfilled);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &unfilled, NULL, 0, NULL, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, ScenarioFaultsReachTheCalls)
{
    HDEVINFO set = Open("interface A size-error=31\n"
                        "interface B required-size=3\n"
                        "interface C detail-error=0x1F\n"
                        "enum-error 3 1167\n");
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    alignas(4) BYTE buffer[64];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
    DWORD required = 0xdeadbeef;

    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, &data));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &required, NULL));
    EXPECT_EQ(31u, GetLastError());
    EXPECT_EQ(0xdeadbeefu, required) << "a failed size query reports no size";

    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 1, &data));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &required, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(3u, required);

    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 2, &data));
    detail->cbSize = RECORD;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer), &required, NULL));
    EXPECT_EQ(31u, GetLastError());

    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 3, &data));
    EXPECT_EQ(1167u, GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    Load("create-set-error 8\n");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              SetupDiGetClassDevsW(&LED_CLASS, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(8u, GetLastError());
}

enum FaultedCall { CreateSet, Enumerate, SizeQuery, DetailQuery, Open, Ioctl };

struct CallResult {
    BOOL ok;
    DWORD error;
};

// Makes the tool's calls on interface "A" up to `call`; its result, and
// everything opened on the way closed again.
CallResult MakeCallsUpTo(FaultedCall call)
{
    CallResult result = {FALSE, 0};
    if (call == Open || call == Ioctl) {
        SetLastError(0xdeadbeef);
        HANDLE device = CreateFileW(u"A", GENERIC_READ | GENERIC_WRITE, 3, NULL, OPEN_EXISTING, 0x80, NULL);
        result = {device != INVALID_HANDLE_VALUE, GetLastError()};
        if (call == Ioctl && result.ok) {
            BYTE value = 1;
            DWORD returned = 0;
            SetLastError(0xdeadbeef);
            result.ok = DeviceIoControl(device, IOCTL_LED_GREEN_WRITE, &value, 1, NULL, 0, &returned, NULL);
            result.error = GetLastError();
        }
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        return result;
    }
    SetLastError(0xdeadbeef);
    HDEVINFO set = SetupDiGetClassDevsW(&LED_CLASS, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    result = {set != INVALID_HANDLE_VALUE, GetLastError()};
    if (call != CreateSet && result.ok) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof(data);
        SetLastError(0xdeadbeef);
        result = {SetupDiEnumDeviceInterfaces(set, NULL, &LED_CLASS, 0, &data), GetLastError()};
        if (call != Enumerate && result.ok) {
            alignas(4) BYTE buffer[64];
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
            detail->cbSize = RECORD;
            DWORD required = 0;
            SetLastError(0xdeadbeef);
            result = {SetupDiGetDeviceInterfaceDetailW(set, &data, call == SizeQuery ? NULL : detail,
                                                       call == SizeQuery ? 0 : sizeof(buffer), &required,
                                                       NULL),
                      GetLastError()};
        }
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    return result;
}

// An injected error of 0 used to pass for success: "enum-error 0 0" made
// the enumeration return interface 0 of a machine that had none.
TEST(FaultKnobs, FailTheirCallEvenWithErrorZero)
{
    const struct {
        const char* name;
        const char* scenario;
        FaultedCall call;
    } cases[] = {
        {"create-set-error 0", "interface A\ncreate-set-error 0\n", CreateSet},
        {"enum-error 0 on a machine without interfaces", "enum-error 0 0\n", Enumerate},
        {"enum-error 0 over a listed interface", "interface A\nenum-error 0 0\n", Enumerate},
        {"size-error=0", "interface A size-error=0\n", SizeQuery},
        {"detail-error=0", "interface A detail-error=0\n", DetailQuery},
        {"open-error=0", "interface A open-error=0\n", Open},
        {"ioctl-error=0", "interface A green=9 ioctl-error=0\n", Ioctl},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.scenario);
        CallResult result = MakeCallsUpTo(c.call);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(0u, result.error);
        if (c.call == Ioctl) {
            EXPECT_EQ(9, LedSimBrightness(0, 0)) << "a failed write changes nothing";
        }
        EXPECT_EQ("", LedSimCheckBooks());
    }
}

TEST_F(SetupApiTest, BooksCatchSetsLeftOpenOrDestroyedTwice)
{
    HDEVINFO set = Open("interface A\n");
    EXPECT_EQ("ledsim: device information set 0 was never destroyed\n", LedSimCheckBooks());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    LedSimBooks books = LedSimGetBooks();
    EXPECT_EQ(1u, books.setsCreated);
    EXPECT_EQ(1u, books.setsDestroyed);
    EXPECT_EQ(1u, books.invalidCloses);
    Load(""); // Start the next test's books afresh.
}

} // namespace
