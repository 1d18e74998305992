// Console utilities: the CTRL-C abort, the key wait, and a kit of prompts and
// printers on standard input and output.
#pragma once

#include <cstdint>

// 1 once CTRL-C (or SIGTERM) has been received, else 0. The first call installs
// the handlers; "could not setup ctrl-c handler\n" is printed if that fails.
int AbortPending();
// The interrupt handler: sets the abort flag and writes "<< CTRL-C key abort >>".
void OnInterrupt(int signal_number);

// Waits for one key press and discards it. On a terminal: no echo, no Enter,
// input processing off (a CTRL-C typed here is the key). Otherwise reads one
// byte and returns at once at end of input.
void WaitForKey();

// The next character of standard input, or EOF.
int NextInputChar();
int PromptText(const char* prompt, char* text, int minimum_length, int maximum_length);
int PromptDecimal(const char* prompt, int maximum_chars, int32_t* value, int32_t minimum, int32_t maximum);
int PromptHexValue(const char* prompt, int maximum_digits, int32_t* value);
int HexCharValue(char c);
int ReadInputBytes(uint8_t* buffer, int capacity, int mode);
void DumpBytesHex(const uint8_t* data, int length);
void EchoBytesAsChars(const uint8_t* data, int length);
void ShowSerialNumber(const uint8_t serial[8]);
[[noreturn]] void QuitWithMessage(const char* message, int exit_status);
