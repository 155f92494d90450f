#include "device/led_control.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "led_interface.h"
#include "ledsim/ledsim.h"

namespace {

const LedAccess Read = LedAccess::Read;
const LedAccess Write = LedAccess::Write;
const LedColor Green = LedColor::Green;
const LedColor Blue = LedColor::Blue;
const LedColor Keyback = LedColor::Keyback;
const LedColor COLORS[] = {Green, Blue, Keyback};
const LedAccess ACCESSES[] = {Read, Write};

TEST(LedControlCode, GivesEachChannelAndDirectionItsOwnCode)
{
    // The contract's numbers, spelled out once: the header that the tool, the
    // stand-in device and the stand-in driver share must give exactly these.
    const DWORD expected[3][2] = {
        {0x9C422000, 0x9C422004},
        {0x9C422008, 0x9C42200C},
        {0x9C422010, 0x9C422014},
    };
    std::set<DWORD> seen;
    for (size_t channel = 0; channel < 3; channel++) {
        for (size_t access = 0; access < 2; access++) {
            DWORD code = LedControlCode(COLORS[channel], ACCESSES[access]);
            EXPECT_EQ(expected[channel][access], code) << "channel " << channel << " access " << access;
            seen.insert(code);
        }
    }
    EXPECT_EQ(6u, seen.size());
    EXPECT_EQ(0x9C42u, static_cast<unsigned>(FILE_DEVICE_LED));
}

TEST(PrepareLedTransfer, MovesOneByteInTheRequestsDirection)
{
    for (LedColor color : COLORS) {
        for (LedAccess access : ACCESSES) {
            SCOPED_TRACE(testing::Message()
                         << "channel " << static_cast<int>(color) << " access " << static_cast<int>(access));
            BYTE ioByte = 0xAA;
            LedRequest request = {access, color, 200};
            LedTransfer transfer = PrepareLedTransfer(request, &ioByte);
            EXPECT_EQ(LedControlCode(color, access), transfer.controlCode);
            if (access == Write) {
                EXPECT_EQ(&ioByte, transfer.inBuffer);
                EXPECT_EQ(1u, transfer.inLength);
                EXPECT_EQ(nullptr, transfer.outBuffer);
                EXPECT_EQ(0u, transfer.outLength);
                EXPECT_EQ(200, ioByte);
            } else {
                EXPECT_EQ(nullptr, transfer.inBuffer);
                EXPECT_EQ(0u, transfer.inLength);
                EXPECT_EQ(&ioByte, transfer.outBuffer);
                EXPECT_EQ(1u, transfer.outLength);
                EXPECT_EQ(0, ioByte) << "a read must not report stale bytes";
            }
        }
    }
}

class LedDeviceTest : public testing::Test {
  protected:
    void Load(const char* scenario)
    {
        std::string error;
        ASSERT_TRUE(LedSimLoadScenario(scenario, &error)) << error;
        device = OpenLedDevice(u"\\\\?\\LED#1");
        ASSERT_NE(INVALID_HANDLE_VALUE, device);
    }

    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        EXPECT_EQ("", LedSimCheckBooks());
    }

    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(LedDeviceTest, OpensWithTheDriversParameters)
{
    Load("interface \\\\?\\LED#1\n");
    EXPECT_EQ("CreateFileW path=\\\\?\\LED#1 access=0xC0000000 share=3 disposition=3 flags=0x80 error=0",
              LedSimCalls().back());
}

TEST_F(LedDeviceTest, ReadsEachChannel)
{
    Load("interface \\\\?\\LED#1 green=5 blue=6 keyback=255\n");
    const int expected[] = {5, 6, 255};
    for (size_t channel = 0; channel < 3; channel++) {
        BYTE ioByte = 0xAA;
        LedRequest request = {Read, COLORS[channel], 0};
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(SendLedRequest(device, request, &ioByte));
        EXPECT_EQ(expected[channel], ioByte);
    }
}

TEST_F(LedDeviceTest, WritesArriveAsTheSameByte)
{
    Load("interface \\\\?\\LED#1 green=7 blue=7 keyback=7\n");
    const struct {
        LedColor color;
        uint8_t value;
    } writes[] = {{Green, 0}, {Blue, 255}, {Keyback, 128}};
    for (const auto& w : writes) {
        BYTE ioByte = 0;
        LedRequest request = {Write, w.color, w.value};
        EXPECT_TRUE(SendLedRequest(device, request, &ioByte));
        EXPECT_EQ(w.value, LedSimBrightness(0, static_cast<int>(w.color)));
        std::string value = " value=" + std::to_string(w.value) + " ";
        EXPECT_NE(std::string::npos, LedSimCalls().back().find(value)) << LedSimCalls().back();
    }
}

// A read's result and last error as the caller sees them: the last error
// is cleared first, so a driver that succeeds leaves 0 behind.
TEST_F(LedDeviceTest, ReadsReportTheDriversAnswer)
{
    const struct {
        const char* name;
        const char* scenario;
        BOOL ok;
        DWORD error;
        BYTE ioByte;
    } cases[] = {
        {"served", "interface \\\\?\\LED#1 green=9\n", TRUE, 0, 9},
        {"refused", "interface \\\\?\\LED#1 green=9 ioctl-error=31\n", FALSE, 31, 0},
        {"no byte written reads as 0", "interface \\\\?\\LED#1 green=9 no-output\n", TRUE, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.scenario);
        BYTE ioByte = 0xAA;
        LedRequest request = {Read, Green, 0};
        SetLastError(0xdeadbeef);
        EXPECT_EQ(c.ok, SendLedRequest(device, request, &ioByte));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.ioByte, ioByte);
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
    }
}

} // namespace
