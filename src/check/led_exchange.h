// Requests to the LED driver as the checker sends them, and what the
// contract says of each: any code, any of the lengths 0 to 2 each way, with
// a guard byte after the output buffer.
#pragma once

#include <windows.h>

#include "led_interface.h"

extern const char* const CHANNEL_NAMES[LED_CHANNEL_COUNT];

// What one request came back with.
struct LedReply {
    bool served;
    DWORD error;       // Where refused.
    DWORD returned;    // The byte count reported.
    BYTE out[2];       // The output buffer, preset to OUTPUT_FILL.
    bool guardTouched; // The byte after the output buffer was written.
};

const BYTE OUTPUT_FILL = 0x3C;

// Sends code with inLength bytes of input, each of them fill, and an output
// buffer of outLength bytes; a length of 0 sends no buffer at all.
LedReply SendLedControl(HANDLE device, DWORD code, DWORD inLength, DWORD outLength, BYTE fill);

// One channel's read or write with the contract's buffers: false, with the
// error in GetLastError (ERROR_INVALID_DATA for a read that returned another
// count than 1 byte), unless served.
bool ReadLevel(HANDLE device, DWORD channel, BYTE* level);
bool WriteLevel(HANDLE device, DWORD channel, BYTE level);
bool ReadLevels(HANDLE device, BYTE levels[LED_CHANNEL_COUNT]);

// A refusal rule of the contract header, by its index in the list.
struct RefusalRule {
    const char* request;
    const char* status;
    DWORD error;
};
extern const RefusalRule REFUSAL_RULES[];

// The rule that refuses a request, or NULL where the contract serves it.
const RefusalRule* ContractRule(DWORD code, DWORD inLength, DWORD outLength);

// The rule that refuses every code but the six, whatever its buffers.
const RefusalRule* UnknownCodeRule(void);

// Prints a code as "0x9C422000 (function 0x800, METHOD_BUFFERED,
// FILE_ANY_ACCESS)", or for one of the six as "green read (0x9C422000)".
void PrintCode(DWORD code);

// Prints "green 17, blue 128, keyback 255".
void PrintLevels(const BYTE levels[LED_CHANNEL_COUNT]);

// Prints how a request ended: "served", or "refused with 87".
void PrintOutcome(const LedReply* reply);
