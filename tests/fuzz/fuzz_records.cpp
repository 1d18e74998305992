// The viewer's decoding over arbitrary bytes: the input is split at its first
// 0xFF byte into place-table bytes and capture-file bytes (all of it is the
// capture file when there is none), and every line goes through the same
// steps as a refresh.
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "karvix_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t cut = all.find('\xFF');
    std::string_view tableBytes = cut == std::string_view::npos ? std::string_view() : all.substr(0, cut);
    std::string_view capture = cut == std::string_view::npos ? all : all.substr(cut + 1);

    karvix::TableLines table = karvix::TableFromBytes(tableBytes);
    FUZZ_CHECK(table.size() >= 2 && table[0].empty());
    for (const std::string& raw : karvix::SplitLines(capture)) {
        std::string line = karvix::CleanRecordLine(raw);
        FUZZ_CHECK(line.find('\0') == std::string::npos);
        if (karvix::IsSkippedRecord(line))
            continue;
        std::string time = karvix::mytime(line);
        std::string place = karvix::myvalue(line, table);
        FUZZ_CHECK(place.empty() || place.rfind(" - ", 0) == 0);
        size_t comma = line.find(',');
        int second = 0;
        if (comma != std::string::npos && karvix::StampSecondOfDay(std::string_view(line).substr(0, comma), &second)) {
            FUZZ_CHECK(second >= 0 && second < 86400);
            FUZZ_CHECK(time == karvix::FormatTimeOfDay(second) + line.substr(comma));
        } else {
            FUZZ_CHECK(time == line);
        }
    }
    return 0;
}
