// Placeholder until the software adapter lands: claims "sim:" and refuses to open.
#include "simulator/sim_driver.h"

#include <cstdio>
#include <cstring>

namespace {
int Claims(const char* name) { return std::strncmp(name, "sim:", 4) == 0; }
void* Open(const char*) { fprintf(stderr, "The software adapter is not built yet.\n"); return nullptr; }
int Vendor(void*, const uint8_t*) { return 0; }
int Status(void*, uint8_t*, uint32_t, uint32_t*) { return 0; }
int Read(void*, uint8_t*, uint32_t, uint32_t*) { return 0; }
int Write(void*, const uint8_t*, uint32_t, uint32_t*) { return 0; }
void Close(void*) {}
}  // namespace

const DriverOps SimDriverOps = {"sim", Claims, Open, Vendor, Status, Read, Write, Close};
