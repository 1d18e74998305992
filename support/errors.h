// Error stack: a ring of the ten most recent error codes, and the table of
// their message texts. The adapter stack pushes codes; whoever cares pops them.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int ERROR_STACK_SLOTS = 10;
constexpr int ERROR_CODE_COUNT = 117;  // codes 0..116

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
