// ParseScenario on arbitrary text: it accepts, or refuses naming a line
// that the text has, with a reason; it never crashes or reads past the text.
#include <stdint.h>

#include <string>

#include "fuzz_output.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    // Lines as an editor counts them: a last line without '\n' counts too.
    size_t lineCount = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\n' || i + 1 == size) {
            lineCount++;
        }
    }

    SimMachine machine = {};
    ScenarioError error = {0, ""};
    if (ParseScenario(text, &machine, &error)) {
        // Each interface comes from a line of its own.
        FUZZ_CHECK(machine.interfaces.size() + machine.enumErrors.size() <= lineCount, text);
        return 0;
    }
    std::string report = "line " + std::to_string(error.line) + ": " + error.message + "\n" + text;
    FUZZ_CHECK(error.line >= 1 && error.line <= lineCount, report);
    FUZZ_CHECK(!error.message.empty(), report);
    return 0;
}
