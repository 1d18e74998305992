// The Direct Access table reader over arbitrary bytes, then the lookups the
// listing makes against what it read.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "logger/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    ParseDirectAccessTable(text);
    FUZZ_CHECK(DirectAccessTable.lastIndex >= -1 && DirectAccessTable.lastIndex < TABLE_CAPACITY);
    for (int j = 0; j <= DirectAccessTable.lastIndex; ++j) {
        const TableEntry& entry = DirectAccessTable.entries[j];
        FUZZ_CHECK(std::strlen(entry.serial) <= TABLE_SERIAL_CHARS);
        FUZZ_CHECK(std::strlen(entry.label) <= TABLE_LABEL_CHARS);
        int found = FindTableEntry(entry.serial);
        FUZZ_CHECK(found >= 0 && found <= j);
    }
    // Additions stop at the capacity.
    for (int i = 0; i < 60; ++i) {
        int j = AddTableEntry("10FFFFFFFFFFFF00");
        FUZZ_CHECK(j < TABLE_CAPACITY);
    }
    return 0;
}
