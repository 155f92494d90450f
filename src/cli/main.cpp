// Tovrin_LED_Test: reads or writes the brightness of one LED channel.
#include "cli/tool_run.h"

int main(int argc, char** argv)
{
    return RunLedTest(argc, argv);
}
