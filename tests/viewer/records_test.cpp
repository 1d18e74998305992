// Karvix's record decoding: time of day, place lookup, line handling, and
// robustness on arbitrary bytes. Runs in the Linux build and under wine.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "karvix_records.h"

namespace {

struct Case {
    const char* name;
    std::string input;
    std::string expected;
};

bool IsTimeOfDay(const std::string& s)
{
    if (s.size() < 8 || s[2] != ':' || s[5] != ':')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (s[i] < '0' || s[i] > '9')
            return false;
    int h = std::stoi(s.substr(0, 2)), m = std::stoi(s.substr(3, 2)), sec = std::stoi(s.substr(6, 2));
    return h < 24 && m < 60 && sec < 60;
}

TEST(KarvixRecords, MytimeDecodes)
{
    const std::string rest = ",28FF0011223344AA,BE2A00FFFF0C10100C55,21.000,21.063 ";
    std::vector<Case> cases = {
        {"worked example 90.000", "90.000" + rest, "01:01:30" + rest},
        {"23:30 UTC is the next day's 00:30", "84600.000" + rest, "00:30:00" + rest},
        {"logger stamp", "1700000000.123" + rest, "23:13:20" + rest},
        {"fraction dropped", "90.999" + rest, "01:01:30" + rest},
        {"no fraction", "90" + rest, "01:01:30" + rest},
        {"short stamp field", "0.5,X", "01:00:00,X"},
        {"blanks around stamp", "  90.000 ,X", "01:01:30,X"},
        {"before 1970", "-1,X", "00:59:59,X"},
        {"before 1970 with fraction", "-0.5,X", "00:59:59,X"},
        {"whole day before 1970", "-86400.000,X", "01:00:00,X"},
        {"huge stamp", std::string(40, '9') + ",X", "18:46:39,X"},
        {"huge negative stamp", "-12345678901234567890.5,X", "17:28:29,X"},
    };
    // Malformed stamps: the line is shown as it stands.
    for (const char* bad : {"abc,X,Y", ",28FF,X", "1e5,X", "12.3.4,X", "+,X", ".,X", "12 34,X", "no comma at all", ""})
        cases.push_back({bad, bad, bad});
    for (const Case& c : cases)
        EXPECT_EQ(karvix::mytime(c.input), c.expected) << c.name;
}

TEST(KarvixRecords, MyvalueLooksUp)
{
    const karvix::TableLines table = karvix::TableFromBytes(
        "28FF0011223344AA 1 Kitchen\r\n"
        "28ff0011223344bb 2 lower\r\n"
        " 28FF0011223344CC 3 Lead\r\n"
        "28FF0011223344AA 9 Second\r\n"
        "28FF0011223344DD\r\n"
        "28FF00112233445 5 Short\r\n"
        "28FF0011223344EE\t7  Cellar door  \r\n"
        "9,28FF0011223344 odd\n");
    const std::string tail = ",BE2A00FFFF0C10100C55,21.000,21.063 ";
    const std::string unknown = " - Unknown element";
    const Case cases[] = {
        {"table layout gives two blanks before the place", "1700000000.123,28FF0011223344AA" + tail, " -  1 Kitchen"},
        {"first duplicate wins", "1.0,28FF0011223344AA" + tail, " -  1 Kitchen"},
        {"lower-case table line never matches", "90.000,28FF0011223344BB" + tail, unknown},
        {"lower-case record never matches", "90.000,28ff0011223344aa" + tail, unknown},
        {"leading blanks never match", "90.000,28FF0011223344CC" + tail, unknown},
        {"serial-only table line", "90.000,28FF0011223344DD" + tail, " - "},
        {"short table line never matches", "90.000,28FF001122334455" + tail, unknown},
        {"place text kept untrimmed", "90.000,28FF0011223344EE" + tail, " - \t7  Cellar door  "},
        {"record starting with comma", ",,,,", ""},
        {"comma then serial", ",28FF0011223344AA" + tail, ""},
        {"one comma only", "90.000,28FF0011223344AA", unknown},
        {"no comma", "garbage", unknown},
        {"empty line", "", unknown},
        {"second comma before position 17", "9,28FF0011,rest", unknown},
        // The key is the 16 characters just before the second comma.
        {"second comma at position 17", "9,28FF0011223344,rest", " -  odd"},
        {"second comma at position 16", "9,28FF001122334,rest", unknown},
    };
    for (const Case& c : cases)
        EXPECT_EQ(karvix::myvalue(c.input, table), c.expected) << c.name;
}

TEST(KarvixRecords, PlaceOfReadsNumberAndLabel)
{
    const karvix::TableLines table = karvix::TableFromBytes(
        "28FF0011223344AA 1 Kitchen\r\n"
        "28FF0011223344AA 9 Second\r\n"
        "28FF0011223344BB\t12   Cellar  \r\n"
        "28FF0011223344CC 3\r\n"
        "28FF0011223344DD\r\n"
        "28FF0011223344EE x Label\r\n"
        "28FF0011223344FFx 4 Glued\r\n");
    const struct {
        const char* serial;
        bool found;
        int place;
        const char* label;
    } cases[] = {
        {"28FF0011223344AA", true, 1, "Kitchen"},  // the first line wins, as in myvalue
        {"28FF0011223344BB", true, 12, "Cellar"},  // tabs and runs of blanks
        {"28FF0011223344CC", true, 3, ""},
        {"28FF0011223344DD", false, 0, ""},        // no number
        {"28FF0011223344EE", false, 0, ""},        // a word where the number goes
        {"28FF0011223344FF", false, 0, ""},        // serial not followed by a blank
        {"28ff0011223344aa", false, 0, ""},        // exact case
        {"28FF0011223344A", false, 0, ""},         // not 16 characters
    };
    for (const auto& c : cases) {
        int place = 0;
        std::string label;
        EXPECT_EQ(karvix::PlaceOf(table, c.serial, &place, &label), c.found) << c.serial;
        if (c.found) {
            EXPECT_EQ(place, c.place) << c.serial;
            EXPECT_EQ(label, c.label) << c.serial;
        }
    }
}

TEST(KarvixRecords, MyvalueWithEmptyTable)
{
    const std::string rec = "1700000000.123,28FF0011223344AA,BE2A00FFFF0C10100C55,21.000,21.063 ";
    EXPECT_EQ(karvix::myvalue(rec, karvix::TableFromBytes({})), " - Unknown element");
    // A table of empty lines matches nothing either.
    EXPECT_EQ(karvix::myvalue(rec, karvix::TableFromBytes("\r\n\r\n")), " - Unknown element");
}

TEST(KarvixRecords, TrailingBlanks)
{
    const Case cases[] = {
        {"record padding", "1,2 " + std::string(80, ' '), "1,2 "},
        {"non-blank end stays whole", "a b", "a b"},
        {"one blank stays", "ab ", "ab "},
        {"blanks only", "    ", " "},
        {"empty", "", ""},
        {"tab is not a blank", "a\t", "a\t"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(karvix::CutTrailingBlanks(c.input), c.expected) << c.name;
}

TEST(KarvixRecords, LineSplitting)
{
    using Lines = std::vector<std::string>;
    const struct {
        const char* name;
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"bare LF", "a\nb\n", {"a", "b"}},
        {"last line unterminated", "a\r\nb", {"a", "b"}},
        {"empty lines kept", "\r\n\r\nc", {"", "", "c"}},
        {"bare CR is text", "a\rb\r\r\n", {"a\rb\r"}},
        {"empty file", "", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(karvix::SplitLines(c.bytes), c.lines) << c.name;
}

TEST(KarvixRecords, TableSlots)
{
    // Slot 0 stays empty; an empty file still has slots 0 and 1.
    EXPECT_EQ(karvix::TableFromBytes({}), (karvix::TableLines{"", ""}));
    EXPECT_EQ(karvix::TableFromBytes("x"), (karvix::TableLines{"", "x"}));
    EXPECT_EQ(karvix::TableFromBytes("x \r\ny\r\n"), (karvix::TableLines{"", "x ", "y"}));
}

TEST(KarvixRecords, NulGapRemoved)
{
    // A record written past the end of the file leaves a run of NUL bytes
    // before it; the record itself must still decode.
    std::string gap(200, '\0');
    std::string line = karvix::CleanRecordLine(gap + "90.000,28FF0011223344AA,BE,1.000,1.000     ");
    EXPECT_EQ(line, "90.000,28FF0011223344AA,BE,1.000,1.000 ");
    EXPECT_TRUE(karvix::IsSkippedRecord(karvix::CleanRecordLine(gap)));
    EXPECT_TRUE(karvix::IsSkippedRecord(karvix::CleanRecordLine(",,,," + std::string(94, ' '))));
    EXPECT_FALSE(karvix::IsSkippedRecord(karvix::CleanRecordLine("x")));
}

TEST(KarvixRecords, ArbitraryBytesNeverBreak)
{
    // Random lines drawn mostly from the characters that matter to the
    // decoding. Under the sanitizers this also proves no out-of-range read.
    std::mt19937 rng(20261208);
    const char alphabet[] = ",.-+ 0123456789ABCDEF\0\r\xff";
    const karvix::TableLines table = karvix::TableFromBytes("0123456789ABCDEF place\r\n,,,,,,,,,,,,,,,,x\r\n");
    for (int round = 0; round < 20000; ++round) {
        std::string line(rng() % 40, ' ');
        for (char& c : line)
            c = rng() % 8 == 0 ? static_cast<char>(rng()) : alphabet[rng() % (sizeof alphabet - 1)];
        std::string time = karvix::mytime(line);
        size_t comma = line.find(',');
        if (time != line) {
            ASSERT_TRUE(IsTimeOfDay(time)) << time;
            ASSERT_NE(comma, std::string::npos);
            ASSERT_EQ(time.substr(8), line.substr(comma));
        }
        std::string place = karvix::myvalue(line, table);
        ASSERT_EQ(place.empty(), !line.empty() && line[0] == ',');
        ASSERT_TRUE(place.empty() || place.compare(0, 3, " - ") == 0);
        karvix::TableFromBytes(line);
        karvix::CleanRecordLine(line);
    }
}

}  // namespace
