// The Pool Database update fed arbitrary tempu.tmp content: temp.pd must stay
// a whole number of 100-byte records, each blank or ending in CR LF and
// holding a line of the sensor that owns the record.
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "fuzz_common.h"
#include "logger/logger.h"

namespace {
std::string ReadAll(const char* name)
{
    std::string content;
    if (FILE* file = std::fopen(name, "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            content.append(buffer, got);
        std::fclose(file);
    }
    return content;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzEnterScratchDirectory();
    ErrorFilePath = "USBerr.txt";
    std::remove("USBerr.txt");
    std::remove("temp.pd");
    CreatePoolDatabase();
    // Three known sensors, the third one past the initial 41 records.
    ClearDirectAccessTable();
    AddTableEntry("10A1B2C3D4E5F6C4");
    AddTableEntry("1011223344556677");
    for (int j = 2; j < 45; ++j)
        AddTableEntry(j == 44 ? "10FFEEDDCCBBAA00" : "----------------");
    FuzzWriteFile("tempu.tmp", data, size);
    UpdatePoolDatabase();

    std::string pool = ReadAll("temp.pd");
    FUZZ_CHECK(pool.size() % POOL_RECORD_SIZE == 0);
    FUZZ_CHECK(pool.size() == 4100 || pool.size() == 4500);
    for (size_t r = 0; r < pool.size() / POOL_RECORD_SIZE; ++r) {
        std::string record = pool.substr(r * POOL_RECORD_SIZE, POOL_RECORD_SIZE);
        if (record == MakePoolRecord(",,,,"))
            continue;
        if (r >= 41 && r < 44 && record == std::string(POOL_RECORD_SIZE, '\0'))
            continue;  // the gap that record 44 leaves
        FUZZ_CHECK(record.compare(POOL_RECORD_TEXT, 2, "\r\n") == 0);
        // The owner's serial follows the stamp's comma (offset 15 after ten digits).
        size_t comma = record.find(',');
        FUZZ_CHECK(record.compare(comma == std::string::npos ? 15 : comma + 1, 16,
                                  DirectAccessTable.entries[r].serial) == 0);
    }
    return 0;
}
