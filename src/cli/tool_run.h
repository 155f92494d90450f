// One run of the tool: find the device, open it, check the command line,
// send one request, report, close. Returns the exit status, always 0.
#pragma once

int RunLedTest(int argc, char** argv);
