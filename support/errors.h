// Error stack: a ring of the ten most recent error codes, and the table of
// their message texts. The adapter stack pushes codes; whoever cares pops them.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int ERROR_STACK_SLOTS = 10;
constexpr int ERROR_CODE_COUNT = 117;  // codes 0..116

// The codes the stack and the logger push, named after their texts in the
// table (errors.cpp). The numbers are what the event log and the console
// print ("Error 110: ..."), so they never change.
enum ErrorCode : int32_t {
    ERROR_NONE = 0,                       // "No Error Was Set"
    ERROR_NO_DEVICES = 1,                 // "No Devices found on 1-Wire Network"
    ERROR_RESET_FAILED = 2,               // "1-Wire Net Reset Failed"
    ERROR_ACCESS_FAILED = 4,              // "Access Failed: Could not select device"
    ERROR_BLOCK_TOO_LARGE = 11,           // "Data Block Too Large"
    ERROR_BLOCK_TRANSFER = 12,            // "Block Transfer failed"
    ERROR_PROGRAM_PULSE = 13,             // "Program Pulse Failed"
    ERROR_WRITE_BYTE = 15,                // "Write Byte Failed"
    ERROR_WRITE_VERIFY = 17,              // "Write Verify Failed"
    ERROR_CRC = 22,                       // "CRC Failed"
    ERROR_ACQUIRE_RESOURCE = 23,          // "Failed to acquire a necessary system resource"
    ERROR_INITIALIZE_RESOURCE = 24,       // "Failed to initialize system resource"
    ERROR_FUNCTION_UNSUPPORTED = 72,      // "Function not supported to modify attributes."
    ERROR_SHORTED = 109,                  // "1-Wire is shorted"
    ERROR_ADAPTER_COMMUNICATION = 110,    // "Error communicating with 1-Wire adapter"
    ERROR_PORT_OUT_OF_RANGE = 115,        // "Port number is outside (0,MAX_PORTNUM) interval"
};

// Pushes a code; an eleventh unpopped code overwrites the oldest.
void PushErrorCode(int32_t code);
// Pops the most recent code; 0 when the top slot is empty (the top still moves).
int32_t PopErrorCode();
// 1 when the top slot holds a code, else 0.
int ErrorCodePending();
// Empties the top slot without moving the top index.
void ClearTopErrorCode();
// The message text of a code; a safe text for a code outside 0..116.
const char* ErrorCodeText(int32_t code);
// Pops one code and writes "Error %d: %s\r\n" to the stream.
void ReportErrorToStream(FILE* stream);
// Pops one code and writes its report line to standard output.
void ReportErrorToConsole();

// Empties the whole stack and sets the top index back to 0 (tests only: the
// program itself never resets the stack).
void ErrorStackResetForTest();
