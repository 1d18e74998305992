// Port slots: opening the adapter by device name into a PortNumber, and closing it.
#pragma once

// The PortNumber of the slot now holding the opened adapter, or -1.
int PortOpenFirstFree(const char* deviceName);
// 1 when the adapter was opened into the given slot, else 0.
int PortOpenAt(int port, const char* deviceName);
// Closes PortHandle[port]; non-zero on success.
int PortClose(int port);

// Set once the port table has been set up by the first open.
extern bool PortTableReady;
