// temp-probe: checks an adapter and reports what is on its 1-Wire bus. It
// goes through the same adapter stack as temp, only reads and converts, and
// never touches temp's files.
#pragma once

// Exit statuses.
constexpr int PROBE_EXIT_ANSWERED = 0;   // the adapter answered and the bus is sound
constexpr int PROBE_EXIT_NO_ADAPTER = 1;  // the adapter could not be opened or did not answer
constexpr int PROBE_EXIT_USAGE = 2;       // bad arguments
constexpr int PROBE_EXIT_BUS_FAULT = 3;   // the adapter answered, the bus has a fault (short, no presence, CRC, ...)

// Default adapter name.
constexpr const char* PROBE_DEFAULT_ADAPTER = "\\\\.\\DS2490-1";

// Runs the probe with the program's arguments; returns the exit status.
int RunProbe(int argc, char** argv);
