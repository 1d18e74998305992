// Console utilities: the CTRL-C abort, the key wait, and a kit of prompts and
// printers on standard input and output.
#pragma once

#include <cstdint>

// 1 once CTRL-C (or SIGTERM) has been received, else 0. The first call installs
// the handlers; "could not setup ctrl-c handler\n" is printed if that fails.
// Each handler is one-shot: a second CTRL-C (or SIGTERM) ends the process.
int AbortPending();
// The interrupt handler: sets the abort flag and writes "<< CTRL-C key abort >>".
void OnInterrupt(int signal_number);

// Waits for one key press and discards it. On a terminal: no echo, no Enter,
// input processing off (a CTRL-C typed here is the key). Otherwise reads one
// byte and returns at once at end of input. The terminal settings are restored
// afterwards, also when SIGINT, SIGTERM, SIGHUP or SIGQUIT arrives during the
// wait; such a signal ends the wait and then takes its usual course.
void WaitForKey();

// All reading goes through NextInputChar (the buffered standard input);
// stdout is flushed before every read. End of input never makes a prompt wait
// or loop: it cancels the prompt like escape does.

// The next character of standard input, or EOF.
int NextInputChar();

// Prompts "%s (%s): " with the default held in `text` and reads an answer of
// up to `maximum_length` characters (backspace erases, escape cancels, Enter
// ends once `minimum_length` characters are typed). Typed characters overwrite
// the start of `text` in place, unterminated. Enter alone keeps the default and
// returns its length when that is above the minimum. Returns the answer's
// length, or -1 for escape, end of input, or a CTRL-C noticed after a key.
// A default of 80 characters or more is kept as long as no more than its first
// 80 characters were overwritten while typing; after that an Enter alone is
// ignored until an answer is typed (or the prompt is cancelled).
int PromptText(const char* prompt, char* text, int minimum_length, int maximum_length);

// Prompts "%s (%ld): " with *value and reads a signed decimal answer of up to
// `maximum_chars` characters (the minus sign counts); Enter alone keeps the
// value shown. An answer outside minimum..maximum shows the prompt again with
// it. Returns 1 and stores the answer, or 0 (value unchanged) for escape, end
// of input or a CTRL-C noticed after a key; escape and end of input print
// "  Aborted\n\n". A minus sign may also follow digits; backspace always
// erases the character typed last, sign or digit. Digits that would take the
// magnitude past 2147483648 are ignored.
int PromptDecimal(const char* prompt, int maximum_chars, int32_t* value, int32_t minimum, int32_t maximum);

// Prompts "%s (enter hex, up to %d chars):" and reads hex digits until Enter or
// until `maximum_digits` are typed. Returns 1 and stores the value, or 0
// (value unchanged, "  Aborted\n\n" printed) for escape or end of input.
// More than eight digits keep the last eight.
int PromptHexValue(const char* prompt, int maximum_digits, int32_t* value);

// '0'..'9', 'A'..'F', 'a'..'f' give 0..15; anything else gives 0.
int HexCharValue(char c);

// Mode 0: reads a run of text characters (spaces are data; other white space
// ends the run once something is stored). Other modes: reads hex pairs such as
// "1F 0a" (each two characters converted with strtol base 16), ended by white
// space other than a space once something is stored. Stores at most
// `capacity` bytes; end of input ends the reading. Returns the bytes stored.
int ReadInputBytes(uint8_t* buffer, int capacity, int mode);

// Prints the bytes as "\n  %02X" at every 16th and ".%02X" otherwise, then "\n".
void DumpBytesHex(const uint8_t* data, int length);
// Prints each byte with "%c", no line end.
void EchoBytesAsChars(const uint8_t* data, int length);
// Prints the bytes at index 7 down to 0 as "%02X", no separators or line end.
void ShowSerialNumber(const uint8_t serial[8]);
// Prints "%s\n" and exits with the status (streams are flushed).
[[noreturn]] void QuitWithMessage(const char* message, int exit_status);
