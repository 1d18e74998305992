// The record checks the kill test relies on: a record torn between two
// readings of its sensor anywhere after the first scratchpad digit is
// rejected. (A tear before it gives a well-formed line and can't be told by
// content; the logger's single positioned write per record prevents it.)
#include <gtest/gtest.h>

#include <fstream>

#include "pool_check.h"

namespace {

const std::string kSerial = "101100C0FFEE00D5";
// Two real readings of the same sensor, of different lengths.
const std::string kOld = "1796777655.207,101100C0FFEE00D5,BEB7FF4B46FFFF07108A,-37.000,-36.688 ";
const std::string kNew = "1796777699.433,101100C0FFEE00D5,BE17004B46FFFF061072,11.000,11.375 ";

std::string PoolWith(const std::string& record)
{
    return record + poolcheck::BlankRecord();
}

TEST(PoolCheck, AcceptsBlankAndWholeRecordsOfTheOwner)
{
    std::vector<std::string> owners = {kSerial, "10AAAAAAAAAAAAAA"};
    EXPECT_TRUE(poolcheck::CheckPoolFile(PoolWith(poolcheck::PadToRecord(kOld)), owners).empty());
    EXPECT_TRUE(poolcheck::CheckPoolFile(PoolWith(poolcheck::PadToRecord(kNew)), owners).empty());
    EXPECT_TRUE(poolcheck::CheckPoolFile(PoolWith(poolcheck::BlankRecord()), owners).empty());
}

TEST(PoolCheck, RejectsMalformedRecords)
{
    std::vector<std::string> owners = {kSerial};
    std::string good = poolcheck::PadToRecord(kOld);
    struct Case {
        const char* what;
        std::string pool;
    } cases[] = {
        {"another sensor's record", poolcheck::PadToRecord(kOld).replace(15, 16, "10AAAAAAAAAAAAAA")},
        {"cut short", good.substr(0, 99)},
        {"no CR LF", good.substr(0, 98) + "  "},
        {"flipped scratchpad bit", std::string(good).replace(40, 1, "5")},
        {"whole degrees off", std::string(good).replace(53, 7, "-36.000")},
        {"lower-case hex", std::string(good).replace(34, 2, "b7")},
        {"NUL gap", std::string(100, '\0')},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(poolcheck::CheckPoolFile(c.pool, owners).empty()) << c.what;
}

TEST(PoolCheck, RejectsRecordsTornFromTheScratchpadOn)
{
    std::vector<std::string> owners = {kSerial};
    std::string oldRecord = poolcheck::PadToRecord(kOld), newRecord = poolcheck::PadToRecord(kNew);
    for (size_t split = 35; split < 98; ++split) {
        std::string torn = newRecord.substr(0, split) + oldRecord.substr(split);
        if (torn == oldRecord || torn == newRecord)
            continue;
        EXPECT_FALSE(poolcheck::CheckPoolFile(torn, owners).empty()) << "split at " << split << ": " << torn;
    }
}

}  // namespace

// A tempu.tmp whose last line was cut short (its write failed) must not
// replace the sensor's good record with the torn line.
#include "logger/logger.h"
#include "tests/common/scratch_dir.h"

namespace {
TEST(PoolUpdate, IncompleteLastLineLeavesTheRecord)
{
    InScratchDir scratch("pool_update");
    ErrorFilePath = "USBerr.txt";
    ClearDirectAccessTable();
    ASSERT_EQ(AddTableEntry(kSerial.c_str()), 0);
    ASSERT_EQ(AddTableEntry("10AAAAAAAAAAAAAA"), 1);
    CreatePoolDatabase();

    std::ofstream("tempu.tmp", std::ios::binary) << kOld << "\r\n";
    UpdatePoolDatabase();
    std::string other = "1796777699.433,10AAAAAAAAAAAAAA,BE17004B46FFFF061072,11.000,11.375 \r\n";
    std::ofstream("tempu.tmp", std::ios::binary) << other << kNew.substr(0, 40);
    UpdatePoolDatabase();

    std::string pool = poolcheck::ReadFile("temp.pd");
    EXPECT_EQ(pool.substr(0, 100), poolcheck::PadToRecord(kOld));
    EXPECT_EQ(pool.substr(100, 100), poolcheck::PadToRecord(other.substr(0, other.size() - 2)));
    EXPECT_NE(poolcheck::ReadFile("USBerr.txt").find("Incomplete last line of tempu.tmp not stored"), std::string::npos);
}
}  // namespace
