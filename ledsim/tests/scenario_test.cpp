#include <gtest/gtest.h>

#include <string>

#include "ledsim/ledsim.h"
#include "scenario.h"

namespace {

struct ScenarioCase {
    const char* name;
    std::string text;
    const char* error; // nullptr when accepted.
};

TEST(ParseScenario, AcceptsTheDirectivesAndRefusesEverythingElseByLine)
{
    const ScenarioCase cases[] = {
        {"empty", "", nullptr},
        {"comments and blank lines", "# a lab machine\n\n   \t\n  # indented\n", nullptr},
        {"every interface option",
         "interface \\\\?\\X#1#{g} green=1 blue=0x10 keyback=255 detail-error=5 size-error=6 required-size=7 "
         "open-error=8 ioctl-error=0xFFFFFFFF no-output # why\n",
         nullptr},
        {"other directives",
         "absent-interface P\nother-interface Q\ncreate-set-error 8\nenum-error 2 0x103\r\n", nullptr},
        {"non-ASCII path", "interface \\\\?\\\xC3\xA9\xE2\x82\xAC\n", nullptr},
        {"byte-order mark first", "\xEF\xBB\xBFinterface A\n", nullptr},
        {"unknown directive", "interface A\n\nfrobnicate\n", "line 3: unknown directive 'frobnicate'"},
        {"interface without path", "interface\n", "line 1: 'interface' needs a device path"},
        {"path forgotten", "interface green=5\n",
         "line 1: 'interface' needs a device path first, not the option 'green=5'"},
        {"knob as path", "absent-interface no-output\n",
         "line 1: 'absent-interface' needs a device path first, not the option 'no-output'"},
        {"knob without value", "interface A ioctl-error\n",
         "line 1: 'ioctl-error' needs a value: ioctl-error=N, without blanks"},
        {"blanks around =", "interface A green = 5\n",
         "line 1: 'green' needs a value: green=N, without blanks"},
        {"value on no-output", "interface A no-output=1\n", "line 1: 'no-output' takes no value"},
        {"unknown option", "interface A colour=5\n", "line 1: unknown option 'colour'"},
        {"bare word option", "interface A loud\n", "line 1: unknown option 'loud'"},
        {"brightness too large", "interface A green=256\n",
         "line 1: 'green' needs a brightness from 0 to 255, not '256'"},
        {"negative brightness", "interface A blue=-1\n",
         "line 1: 'blue' needs a brightness from 0 to 255, not '-1'"},
        {"option given twice", "interface A green=1 green=2\n", "line 1: 'green' given twice"},
        {"error code too large", "interface A open-error=4294967296\n",
         "line 1: 'open-error' needs a number from 0 to 0xFFFFFFFF, not '4294967296'"},
        {"empty number", "interface A ioctl-error=\n",
         "line 1: 'ioctl-error' needs a number from 0 to 0xFFFFFFFF, not ''"},
        {"bare 0x", "interface A size-error=0x\n",
         "line 1: 'size-error' needs a number from 0 to 0xFFFFFFFF, not '0x'"},
        {"options on absent interface", "absent-interface A green=1\n",
         "line 1: 'absent-interface' takes only a path"},
        {"create-set-error without code", "create-set-error\n",
         "line 1: 'create-set-error' takes one error code"},
        {"enum-error with one number", "enum-error 2\n",
         "line 1: 'enum-error' takes an index and an error code"},
        {"enum-error index too large", "enum-error 99999999999 5\n",
         "line 1: 'enum-error' needs numbers from 0 to 0xFFFFFFFF, not '99999999999'"},
        {"enum-error twice for an index", "enum-error 2 5\nenum-error 2 6\n",
         "line 2: 'enum-error' given twice for one index"},
        {"invalid UTF-8 path", "interface \\\\?\\\xC3(\n", "line 1: device path is not valid UTF-8"},
        {"overlong UTF-8", "interface \xC0\xAF\n", "line 1: device path is not valid UTF-8"},
        {"NUL byte", std::string("interface A\ninter\0face B\n", 25), "line 2: NUL byte in line"},
        {"control character in a path", "interface A\fB\n",
         "line 1: device path has a control character (0x0C)"},
        {"C1 control character in a path",
         "interface A\xC2\x85"
         "B\n",
         "line 1: device path has a control character (0x85)"},
        {"line separator in a path",
         "interface A\xE2\x80\xA8"
         "B\n",
         "line 1: device path has a control character (0x2028)"},
        {"paragraph separator in a path",
         "interface A\xE2\x80\xA9"
         "B\n",
         "line 1: device path has a control character (0x2029)"},
        {"path listed twice", "interface A\nabsent-interface B\nother-interface A\n",
         "line 3: device path 'A' is listed already, at line 1"},
    };
    for (const ScenarioCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        bool accepted = LedSimLoadScenario(c.text, &error);
        if (c.error == nullptr) {
            EXPECT_TRUE(accepted) << error;
        } else {
            EXPECT_FALSE(accepted);
            EXPECT_EQ(c.error, error);
        }
    }
}

TEST(ParseScenario, ReadsOptionsIntoTheInterface)
{
    SimMachine machine;
    ScenarioError error = {0, ""};
    ASSERT_TRUE(ParseScenario("interface A keyback=9 required-size=0x20 no-output\n"
                              "absent-interface B\n"
                              "other-interface C\n"
                              "enum-error 4 31\n",
                              &machine, &error));
    ASSERT_EQ(3u, machine.interfaces.size());
    const SimInterface& a = machine.interfaces[0];
    EXPECT_EQ(u"A", a.path);
    EXPECT_EQ(0, a.brightness[0]);
    EXPECT_EQ(9, a.brightness[2]);
    EXPECT_TRUE(a.hasRequiredSize);
    EXPECT_EQ(0x20u, a.requiredSize);
    EXPECT_TRUE(a.noOutput);
    EXPECT_FALSE(a.openError.active);
    EXPECT_FALSE(machine.interfaces[1].present);
    EXPECT_TRUE(machine.interfaces[2].present);
    EXPECT_NE(0, memcmp(&LED_INTERFACE_CLASS, &machine.interfaces[2].interfaceClass, sizeof(GUID)));
    ASSERT_EQ(1u, machine.enumErrors.size());
    EXPECT_EQ(31u, machine.enumErrors.at(4));
}

} // namespace
