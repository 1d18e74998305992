// Black-box runs of the built temp on software adapters described by bus files,
// each in its own temporary working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "onewire/crc.h"
#include "tests/logger/run_dirs.h"
#include "blackbox_util.h"

namespace {

const int DeadlineMs = 60000;  // generous: a hung logger fails instead of hanging CTest
const size_t MaxOutput = 8u << 20;  // a logger cycling without end fails too

bool Exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string Record(const std::string& line)
{
    std::string text = line;
    text.resize(98, ' ');
    return text + "\r\n";
}

const std::string BlankRecord = Record(",,,,");

struct Result {
    int status = -1000;  // exit status, or minus the signal that ended it
    std::string out;
};

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

// A working directory and a program directory ("app/") of one logger run.
class LoggerRun : public RunDirectories {
protected:
    // Writes a bus file and returns its device name.
    std::string Bus(const std::string& text)
    {
        WriteFile(root_ + "/bus.txt", text);
        return "sim:" + root_ + "/bus.txt";
    }

    // The argument vector with argv[0] in the program directory.
    std::vector<std::string> Argv(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{app_ + "temp"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    [[noreturn]] void Exec(const std::vector<std::string>& argv) const
    {
        if (chdir(work_.c_str()) != 0)
            _exit(126);
        std::vector<char*> pointers;
        for (const std::string& a : argv)
            pointers.push_back(const_cast<char*>(a.c_str()));
        pointers.push_back(nullptr);
        setenv("TZ", "UTC", 1);
        if (!target_.empty())
            setenv("TEMP_EMULATED_TARGET", target_.c_str(), 1);
        execv(binary_.c_str(), pointers.data());
        _exit(127);
    }

    // Runs temp with standard input from /dev/null and collects its output.
    Result Run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = Argv(args);
        int pipes[2];
        EXPECT_EQ(pipe(pipes), 0);
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(pipes[1], 1);
            dup2(pipes[1], 2);
            close(pipes[0]);
            // Root writes through any mode: checks of modes run as nobody.
            if (asNobody_ && (setgroups(0, nullptr) != 0 || setgid(NobodyId) != 0 || setuid(NobodyId) != 0))
                _exit(CannotDrop);
            Exec(argv);
        }
        close(pipes[1]);
        Result result;
        result.out = Collect(pipes[0], pid, "");
        close(pipes[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = DecodeStatus(status);
        return result;
    }

    // Reads fd until end of output or until `until` appears; kills pid at the deadline.
    static std::string Collect(int fd, pid_t pid, const std::string& until, std::string* buffer = nullptr)
    {
        std::string local;
        std::string& out = buffer ? *buffer : local;
        int waited = 0;
        while (until.empty() || out.find(until) == std::string::npos) {
            struct pollfd p = {fd, POLLIN, 0};
            int ready = poll(&p, 1, 100);
            if (ready == 0) {
                waited += 100;
                if (waited >= DeadlineMs) {
                    kill(pid, SIGKILL);
                    ADD_FAILURE() << "temp did not finish; output so far:\n" << out;
                    break;
                }
                continue;
            }
            char chunk[4096];
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0)
                break;  // end of output (EIO on a pty whose child is gone)
            out.append(chunk, static_cast<size_t>(got));
            if (out.size() > MaxOutput) {
                kill(pid, SIGKILL);
                ADD_FAILURE() << "temp ran away; its output begins:\n" << out.substr(0, 20000);
                break;
            }
        }
        return out;
    }

    // Run as nobody from here on: the run's directories become nobody's, and
    // temp runs from a copy in the run's root, since the build tree may lie
    // where nobody can't reach (a clone under /root).
    void RunAsNobody()
    {
        for (const std::string& dir : {root_, work_, app_})
            ASSERT_EQ(chown(dir.c_str(), NobodyId, NobodyId), 0) << dir;
        binary_ = root_ + "/temp-binary";
        WriteFile(binary_, ReadFile(TEMP_BINARY));
        ASSERT_EQ(chmod(binary_.c_str(), 0755), 0);
        // Under an emulator TEMP_BINARY is its launcher: the program goes along.
        if (std::string(TEMP_BINARY) != TEMP_BINARY_TARGET) {
            target_ = root_ + "/temp-target";
            WriteFile(target_, ReadFile(TEMP_BINARY_TARGET));
            ASSERT_EQ(chmod(target_.c_str(), 0755), 0);
        }
        asNobody_ = true;
    }

    static constexpr uid_t NobodyId = 65534;
    static constexpr int CannotDrop = 125;
    bool asNobody_ = false;
    std::string binary_ = TEMP_BINARY;
    std::string target_;  // the copy the launcher runs, under an emulator
};

// A bus file with these sensors (14 digits each, temperatures as written),
// a virtual clock, and an interrupt during cycle `stopCycle`.
std::string BusText(const std::vector<std::pair<std::string, std::string>>& sensors, int stopCycle,
                    const std::string& extra = "")
{
    std::string text = "clock virtual\n";
    for (const auto& s : sensors)
        text += "sensor " + s.first + " " + s.second + "\n";
    text += extra;
    text += "fault interrupt conversion=" + std::to_string(stopCycle) + "\n";
    return text;
}

const std::regex LinePattern(R"(^(\d{10})\.(\d{3}),([0-9A-F]{16}),BE([0-9A-F]{18}),(-?\d+\.\d{3}),(-?\d+\.\d{3}) $)");

// The listing's "database position" for each serial, from the console.
std::map<std::string, int> ListedPositions(const std::string& out)
{
    std::map<std::string, int> positions;
    std::regex listed(R"(Temp      ([0-9A-F]{16}) (?:New - Added at )?[Dd]atabase position=\s*(-?\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), listed), end; it != end; ++it)
        positions[(*it)[1]] = std::stoi((*it)[2]);
    return positions;
}

const char* const Banner =
    "\n/---------------------------------------------\n"
    "  Temperature application DS1920/DS1820 - Version 10.00 \n  Temperature Find and Read from a: \n"
    "  DS1920/DS1820 (at least 1)\n\n"
    "  Press any CTRL-C to stop this program.\n\n"
    "  Output [Serial Number(s) ........ Temp1(C)] \n\n";
const char* const Usage =
    "1-Wire Net name required on command line!\n (example: \"COM1\" (Win32 DS2480),\"/dev/cua0\" (Linux DS2480),"
    "\"1\" \n(Win32 TMEX) \\\\.\\DS2490-1 \n";

TEST_F(LoggerRun, WrongArgumentCountPrintsUsageAndLeavesTheMarker)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        Result r = Run(args);
        EXPECT_EQ(r.status, 1);
        size_t banner = r.out.find(Banner);
        ASSERT_NE(banner, std::string::npos) << r.out;
        // The documented usage, then one line that names the names this build takes.
        EXPECT_EQ(r.out.substr(banner + std::strlen(Banner)),
                  std::string(Usage) + "  Here: sim: (software adapter), sim:PATH, or \\\\.\\DS2490-N; temp --help "
                                       "for more.\n");
        EXPECT_TRUE(Exists(W("USBPresent")));
        EXPECT_EQ(r.out.find("Port opened"), std::string::npos);
    }
}

TEST_F(LoggerRun, UnknownDeviceReportsErrorTwentyThree)
{
    // A well-formed name whose adapter isn't there: the documented path.
    Result r = Run({"sim:" + root_ + "/no-such-bus.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Count(r.out, "Error "), 1) << r.out;
    EXPECT_NE(r.out.find("Error 23: Failed to acquire a necessary system resource\r\n"), std::string::npos) << r.out;
    EXPECT_TRUE(Exists(W("USBPresent")));
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

TEST_F(LoggerRun, NamesThatCantBeAnAdapterLeaveNoFileBehind)
{
    const std::string ending = std::string("An adapter name is \\\\.\\DS2490-N (the N-th DS2490 on USB), sim: (the "
                                           "software adapter) or sim:PATH (a bus file).\n") +
                               "Error 23: Failed to acquire a necessary system resource\r\n";
    for (const char* name : {"DS2490-1", "sim", "--verbose", "COM1", "\\\\.\\DS2490-x", ""}) {
        SCOPED_TRACE(name);
        Result r = Run({name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, ending);
        EXPECT_EQ(Entries(work_), std::vector<std::string>{});
        EXPECT_EQ(Entries(app_), std::vector<std::string>{});
    }
    const struct {
        const char* option;
        std::vector<std::string> texts;
    } options[] = {
        {"--help",
         {"Usage: temp ADAPTER\n", "sim:PATH", "temp waits for a key three times, silently: after the banner",
          "families = 10 28 22 3B 42"}},
        {"--version", {"temp 10.00\n"}},
    };
    for (const auto& o : options) {
        SCOPED_TRACE(o.option);
        Result r = Run({o.option});
        EXPECT_EQ(r.status, 0);
        for (const std::string& text : o.texts)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        EXPECT_EQ(Entries(work_), std::vector<std::string>{});
        EXPECT_EQ(Entries(app_), std::vector<std::string>{});
    }
}

TEST_F(LoggerRun, FirstRunCreatesPoolLogsStartUpAndEchoesTheTable)
{
    std::string s1 = FullSerial("10000000000011");
    WriteFile(app_ + "Direct Access table.txt", s1 + " 5 Kitchen\r\n");
    Result r = Run({Bus(BusText({{"10000000000011", "21"}}, 2))});
    EXPECT_EQ(r.status, 0) << r.out;

    size_t creating = r.out.find("Creating new Pool Database\n");
    size_t echo = r.out.find("Serial " + s1 + " Place  5 Device Kitchen\n");
    size_t banner = r.out.find(Banner);
    EXPECT_NE(creating, std::string::npos);
    EXPECT_NE(echo, std::string::npos);
    EXPECT_LT(creating, banner);
    EXPECT_LT(echo, banner);
    EXPECT_EQ(r.out.find("Err file is " + app_ + "USBerr.txt\n"), 0u) << r.out;

    std::string pool = ReadFile(W("temp.pd"));
    ASSERT_EQ(pool.size(), 4100u);
    for (int i = 1; i < 41; ++i)
        EXPECT_EQ(pool.substr(100 * static_cast<size_t>(i), 100), BlankRecord) << i;

    std::vector<std::string> log = SplitCrLf(ReadFile(app_ + "USBerr.txt"));
    ASSERT_GE(log.size(), 3u);
    const std::string stamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d\.\d{3} )";
    EXPECT_TRUE(std::regex_match(log[0], std::regex(stamp + "Application directory = " + app_))) << log[0];
    EXPECT_TRUE(std::regex_match(log[1], std::regex(stamp + "Working directory = " + work_ + "  "))) << log[1];
    EXPECT_TRUE(std::regex_match(log[2], std::regex(stamp + R"(\d\d/\d\d/\d\d - \d\d:\d\d:\d\d List of devices:)")))
        << log[2];
}

TEST_F(LoggerRun, TableLinesThatWontReadAsMeantAreLoggedAndReadAsDocumented)
{
    const std::string s1 = FullSerial("10000000000012");
    WriteFile(app_ + "Direct Access table.txt", s1 + " 3 Living room\r\n10000000000013ab 4 Hall\r\n");
    Result r = Run({Bus(BusText({{"10000000000012", "21"}}, 2))});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string log = ReadFile(app_ + "USBerr.txt");
    const std::string table = app_ + "Direct Access table.txt";
    EXPECT_EQ(Count(log, table + " line 1 \"" + s1 + " 3 Living room\": 4 fields, expected SERIAL PLACE LABEL"), 1)
        << log;
    EXPECT_EQ(Count(log, table + " line 2 \"10000000000013ab 4 Hall\": the serial must be 16 upper-case hex"), 1)
        << log;
    EXPECT_NE(r.out.find("Temp      " + s1 + " Database position= 3 Living\n"), std::string::npos) << r.out;
}

TEST_F(LoggerRun, CyclesWriteExactLinesCsvCopiesAndRecords)
{
    const std::vector<std::pair<std::string, std::string>> sensors = {
        {"10000000000021", "25.0625"}, {"10000000000022", "-0.0625"}, {"10000000000023", "21"},
        {"10000000000024", "-55"},     {"10000000000025", "85"},
    };
    const std::map<std::string, std::string> extended = {
        {FullSerial("10000000000021"), "25.063"}, {FullSerial("10000000000022"), "-0.063"},
        {FullSerial("10000000000023"), "21.000"}, {FullSerial("10000000000024"), "-55.000"},
        {FullSerial("10000000000025"), "85.000"},
    };
    Result r = Run({Bus(BusText(sensors, 3))});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, "Next cycle"), 3);

    std::string tmp = ReadFile(W("tempu.tmp"));
    EXPECT_EQ(ReadFile(W("tempu.csv")), tmp);
    EXPECT_FALSE(Exists(W("tempu.csv.new")));
    std::vector<std::string> lines = SplitCrLf(tmp);
    ASSERT_EQ(lines.size(), sensors.size()) << tmp;
    std::map<std::string, int> positions = ListedPositions(r.out);
    ASSERT_EQ(positions.size(), sensors.size()) << r.out;
    std::string pool = ReadFile(W("temp.pd"));
    ASSERT_EQ(pool.size(), 4100u);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LinePattern)) << line;
        std::string serial = m[3];
        ASSERT_EQ(extended.count(serial), 1u) << line;
        EXPECT_EQ(m[6].str(), extended.at(serial)) << line;
        double gap = std::stod(m[6]) - std::stod(m[5]);
        EXPECT_TRUE(gap >= -0.25 && gap <= 0.75) << line;
        // The scratchpad in the line passes its own CRC8.
        uint8_t pad[9];
        for (int i = 0; i < 9; ++i)
            pad[i] = static_cast<uint8_t>(std::stoi(m[4].str().substr(static_cast<size_t>(2 * i), 2), nullptr, 16));
        EXPECT_EQ(Crc8Of(pad, 9), 0) << line;
        EXPECT_NE(r.out.find(serial + " Scatchpad = BE" + m[4].str() + " Temp = " + m[5].str() + "  " +
                             m[6].str() + " \n"),
                  std::string::npos);
        int index = positions.at(serial);
        EXPECT_EQ(pool.substr(100 * static_cast<size_t>(index), 100), Record(line));
    }
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Can't read " + app_ + "Direct Access table.txt: No such file or directory\n"),
              std::string::npos);
}

struct Listed {
    int tableIndex;  // -1: not in the table, added as new; -2: no room left to add it
    std::string text;  // after "Database position=" for a table entry
};

TEST_F(LoggerRun, ListingAgainstTheTable)
{
    const std::string s[3] = {FullSerial("10000000000031"), FullSerial("10000000000032"),
                              FullSerial("10000000000033")};
    std::string lower = s[0];
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string fortyNine;
    for (int i = 0; i < 49; ++i) {
        char filler[17];
        std::snprintf(filler, sizeof filler, "20%014X", i);
        fortyNine += std::string(filler) + " " + std::to_string(i) + " Filler\n";
    }
    struct Case {
        const char* name;
        std::string table;
        int tableSize;
        std::vector<Listed> sensors;  // for s[0..2]
    } cases[] = {
        {"places 5, 7 and 9",
         s[0] + " 5 Kitchen\n" + s[1] + " 7 Hall\n" + s[2] + " 9 Attic\n",
         3,
         {{0, " 5 Kitchen\n"}, {1, " 7 Hall\n"}, {2, " 9 Attic\n"}}},
        {"empty table", "", 0, {{-1, ""}, {-1, ""}, {-1, ""}}},
        {"lower-case serial is new", lower + " 4 Lower\n" + s[1] + " 6 Hall\n", 2, {{-1, ""}, {1, " 6 Hall\n"}, {-1, ""}}},
        {"final serial without place and label",
         s[1] + " 3 Porch\n" + s[2],
         2,
         {{-1, ""}, {0, " 3 Porch\n"}, {1, " 3 Porch\n"}}},
        {"table full after one addition", fortyNine + s[1] + " 99 Last\n", 50, {{-2, ""}, {49, "99 Last\n"}, {-2, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        WriteFile(app_ + "Direct Access table.txt", c.table);
        Result r = Run({Bus(BusText({{"10000000000031", "20"}, {"10000000000032", "21"}, {"10000000000033", "22"}},
                                    2))});
        ASSERT_EQ(r.status, 0) << r.out;
        std::string pool = ReadFile(W("temp.pd"));
        std::vector<int> added;
        for (int i = 0; i < 3; ++i) {
            const Listed& want = c.sensors[static_cast<size_t>(i)];
            int record = want.tableIndex;
            if (record == -2) {
                EXPECT_NE(r.out.find("Temp      " + s[i] + " New - table full (50 entries), no database position\n"),
                          std::string::npos)
                    << r.out;
                EXPECT_EQ(pool.find(s[i]), std::string::npos);
                std::string log = ReadFile(app_ + "USBerr.txt");
                EXPECT_TRUE(std::regex_search(
                    log, std::regex(" Error - new device attached to system \r\n\\d{10}\\.\\d{3}," + s[i])))
                    << log;
                continue;
            }
            if (record >= 0) {
                EXPECT_NE(r.out.find("Temp      " + s[i] + " Database position=" + want.text), std::string::npos)
                    << r.out;
            } else {
                std::smatch m;
                std::regex added_line("Temp      " + s[i] + R"( New - Added at database position=([ \d]\d) \n)");
                ASSERT_TRUE(std::regex_search(r.out, m, added_line)) << s[i] << "\n" << r.out;
                record = std::stoi(m[1]);
                added.push_back(record);
            }
            EXPECT_EQ(pool.substr(100 * static_cast<size_t>(record) + 15, 16), s[i]);
        }
        // New entries take the indices after the table's, one each.
        std::sort(added.begin(), added.end());
        for (size_t k = 0; k < added.size(); ++k)
            EXPECT_EQ(added[k], c.tableSize + static_cast<int>(k));
    }
}

TEST_F(LoggerRun, FortyFiveSensorsListThirtyNine)
{
    std::vector<std::pair<std::string, std::string>> sensors;
    for (int i = 0; i < 45; ++i) {
        char digits[15];
        std::snprintf(digits, sizeof digits, "10%012X", 0x100 + i);
        sensors.push_back({digits, "20"});
    }
    Result r = Run({Bus(BusText(sensors, 2))});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, "Temp      10"), 39);
    EXPECT_EQ(SplitCrLf(ReadFile(W("tempu.tmp"))).size(), 39u);
}

TEST_F(LoggerRun, OnlyAnotherFamilyRepeatsNotFound)
{
    // Terminated by the bus after 21 s of virtual time: a search every 5 s.
    Result r = Run({Bus("clock virtual\nsensor 28000000000041 20\nsensor 28000000000042 21\ndevice 05000000000043\n"
                        "fault terminate seconds=21\n")});
    EXPECT_EQ(r.status, -SIGTERM) << r.out;
    int found = Count(r.out, "\n\n\nERROR, device DS1920/DS1820 not found!\n");
    EXPECT_GE(found, 4) << r.out;
    EXPECT_LE(found, 6) << r.out;
    EXPECT_EQ(r.out.find("Device(s) Found"), std::string::npos);
    // The DS18B20s are named once, with the line that would read them and where it goes.
    const std::string hint = "2 DS18B20 (family 28) temperature sensors are on the bus but not read: add the line "
                             "\"families = 10 28\" to " + app_ + "temp.conf (in place of any families line there) "
                             "and start temp again\r\n";
    EXPECT_EQ(Count(ReadFile(app_ + "USBerr.txt"), hint), 1) << ReadFile(app_ + "USBerr.txt");
    EXPECT_EQ(Count(r.out, "temperature sensors are on the bus but not read"), 1);
}

TEST_F(LoggerRun, SensorFaultsAreLoggedAndRecordsKept)
{
    const std::string gone = FullSerial("10000000000051"), crc = FullSerial("10000000000052"),
                      zero = FullSerial("10000000000053"), slow = FullSerial("10000000000054");
    std::string extra = "fault leave " + gone + " conversions=3-4\n" + "fault crc " + crc + " always\n" +
                        "fault count-per-c-zero " + zero + " always\n" + "fault slow-conversion " + slow +
                        " always\n";
    Result r = Run({Bus(BusText({{"10000000000051", "20"},
                                 {"10000000000052", "21"},
                                 {"10000000000053", "21"},
                                 {"10000000000054", "23"}},
                                4, extra))});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string log = ReadFile(app_ + "USBerr.txt");
    EXPECT_EQ(Count(log, "Error reading temperature, verify device present:0\r\n"), 2) << log;
    EXPECT_EQ(Count(log, "Error reading temperature, verify device present:1\r\n"), 8) << log;
    std::smatch last;
    std::string listing = r.out.substr(0, r.out.find("Enter to continue"));
    std::regex listed(R"(Temp      ([0-9A-F]{16}) )");
    std::string lastListed;
    for (std::sregex_iterator it(listing.begin(), listing.end(), listed), end; it != end; ++it)
        lastListed = (*it)[1];
    EXPECT_EQ(Count(log, "ZovWriteConvert -  ERROR, temperature conversion was not complete for " + lastListed +
                             "\r\n"),
              4)
        << log;

    std::vector<std::string> lines = SplitCrLf(ReadFile(W("tempu.tmp")));
    std::map<std::string, std::smatch> bySerial;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LinePattern)) << line;
        bySerial[m[3]] = m;
    }
    EXPECT_EQ(bySerial.count(gone), 0u);
    EXPECT_EQ(bySerial.count(crc), 0u);
    ASSERT_EQ(bySerial.count(zero), 1u);
    EXPECT_EQ(bySerial[zero][5].str(), "21.000");
    EXPECT_EQ(bySerial[zero][6].str(), "21.000");

    // The sensor off the bus keeps its line of cycle 2, older than this cycle's lines.
    std::map<std::string, int> positions = ListedPositions(r.out);
    std::string pool = ReadFile(W("temp.pd"));
    std::string kept = pool.substr(100 * static_cast<size_t>(positions.at(gone)), 98);
    std::smatch m;
    std::string keptLine = kept.substr(0, kept.find_last_not_of(' ') + 2);
    ASSERT_TRUE(std::regex_match(keptLine, m, LinePattern)) << kept;
    EXPECT_EQ(m[3].str(), gone);
    EXPECT_LT(std::stod(m[1].str() + "." + m[2].str()), std::stod(lines[0].substr(0, 14)));
    EXPECT_EQ(pool.substr(100 * static_cast<size_t>(positions.at(crc)), 100), BlankRecord);
}

TEST_F(LoggerRun, UnpluggedAdapterLosesNoRecord)
{
    // A record of an earlier run that no listed sensor owns.
    std::string pool(4100, ' ');
    for (int i = 0; i < 41; ++i)
        pool.replace(100 * static_cast<size_t>(i), 100, BlankRecord);
    std::string earlier = Record("1600000000.000,10FFFFFFFFFFFF99,BE2A00FFFF00000C10CE,21.000,21.000 ");
    pool.replace(1000, 100, earlier);
    WriteFile(W("temp.pd"), pool);

    // Unplugged during cycles 2 and 3 (virtual seconds 4 to 9).
    Result r = Run({Bus(BusText({{"10000000000061", "20"}, {"10000000000062", "21"}}, 5,
                                "fault unplug seconds=4-9\n"))});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GE(Count(r.out, "Next cycle"), 5);
    EXPECT_GE(Count(ReadFile(app_ + "USBerr.txt"), "Error reading temperature"), 4);
    std::vector<std::string> lines = SplitCrLf(ReadFile(W("tempu.tmp")));
    EXPECT_EQ(lines.size(), 2u) << "readings resume once the adapter is back";
    std::string after = ReadFile(W("temp.pd"));
    ASSERT_EQ(after.size(), 4100u);
    EXPECT_EQ(after.substr(1000, 100), earlier);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(after.substr(100 * static_cast<size_t>(i), 100), BlankRecord);
    for (const std::string& line : lines)
        EXPECT_NE(after.find(Record(line)), std::string::npos);
}

TEST_F(LoggerRun, SynchronisationWaitFollowsTheMarkers)
{
    struct Case {
        const char* name;
        std::vector<std::string> markers;
        std::string firstWait;  // pattern of the first cycle's wait line
    } cases[] = {
        {"alone", {}, R"(Next cycle\.{8})"},
        {"second logger running", {"SerialPresent"}, R"(Waiting for next Serial Sync\.{29})"},
        {"second logger done", {"SerialPresent", "SerialSyncStart"}, R"( Starting)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        for (const std::string& marker : c.markers)
            WriteFile(W(marker), "");
        Result r = Run({Bus(BusText({{"10000000000071", "20"}}, 2))});
        ASSERT_EQ(r.status, 0) << r.out;
        std::regex wait("\n\n(" + c.firstWait + R"() \d\d:\d\d:\d\d\.[ \d]{2}\d\n)");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, wait)) << r.out;
        EXPECT_FALSE(Exists(W("SerialSyncStart")));
        EXPECT_FALSE(Exists(W("USBPresent")));
        EXPECT_FALSE(Exists(W("USBSyncStart")));
    }
}

// A second temp in the same working directory stops before it touches a
// file, naming the running one; one in another folder runs as usual, and
// the folder is free again once the first has closed.
TEST_F(LoggerRun, OneLoggerPerWorkingDirectory)
{
    std::string device = Bus(BusText({{"10000000000091", "20"}}, 1000000));
    std::string console = root_ + "/first.txt";
    pid_t first = fork();
    if (first == 0) {
        int null = open("/dev/null", O_RDONLY);
        int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        Exec(Argv({device}));
    }
    // Past its first cycle, so that CTRL-C closes it in order.
    for (int waited = 0; Count(ReadFile(console), "Next cycle") < 2 && waited < DeadlineMs; waited += 20)
        usleep(20000);
    ASSERT_GE(Count(ReadFile(console), "Next cycle"), 2) << ReadFile(console);

    // The second, with a program directory of its own: not even its event log is made.
    const std::string firstApp = app_;
    app_ = root_ + "/second/";
    ASSERT_EQ(mkdir(app_.c_str(), 0755), 0);
    Result second = Run({device});
    EXPECT_EQ(second.status, 1) << second.out;
    EXPECT_EQ(second.out, "Another temp (PID " + std::to_string(first) + ") is already logging in " + work_
                              + ": a second one would write the same files. Stopped.\n");
    EXPECT_FALSE(Exists(app_ + "USBerr.txt"));

    // Another working directory beside it runs its cycles.
    const std::string firstWork = work_;
    work_ = root_ + "/other";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    Result other = Run({Bus(BusText({{"10000000000092", "20"}}, 2))});
    EXPECT_EQ(other.status, 0) << other.out;
    EXPECT_EQ(Count(other.out, "Next cycle"), 2);

    kill(first, SIGINT);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_EQ(DecodeStatus(status), 0) << ReadFile(console);
    work_ = firstWork;
    app_ = firstApp;
    Result again = Run({Bus(BusText({{"10000000000093", "20"}}, 2))});
    EXPECT_EQ(again.status, 0) << again.out;
}

TEST_F(LoggerRun, TerminateClosesInOrder)
{
    Result r = Run({Bus(BusText({{"10000000000081", "20"}}, 99, "fault terminate conversion=2\n"))});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, "Next cycle"), 2);
    size_t closing = r.out.find("\nClosing\n");
    ASSERT_NE(closing, std::string::npos);
    EXPECT_NE(r.out.find("Closing port sim:", closing), std::string::npos);
    EXPECT_FALSE(Exists(W("USBPresent")));
    EXPECT_FALSE(Exists(W("USBSyncStart")));
}

// Directories in place of files make the opens fail, also for root.
TEST_F(LoggerRun, UnopenableFilesAreLoggedAndTheRunGoesOn)
{
    struct Case {
        const char* name;
        std::vector<std::string> occupied;  // names in work/ (or app/ with "app:") taken by directories
        std::vector<std::string> expected;  // texts in the event log (or console with "out:")
        bool poolWritten;
        bool stops;  // no temp.pd can be kept: the start ends before any cycle
    } cases[] = {
        {"measurement file",
         {"tempu.tmp"},
         {"Can't open tempu.tmp: Is a directory\r\n"},
         false,
         false},
        {"csv and markers",
         {"tempu.csv.new", "USBPresent", "USBSyncStart"},
         {"Can't open tempu.csv.new: Is a directory\r\n", "Can't create USBPresent: Is a directory\r\n",
          "Can't create USBSyncStart: Is a directory\r\n", "Can't remove USBPresent: Is a directory\r\n"},
         true,
         false},
        {"pool",
         {"temp.pd"},
         {"Can't keep the Pool Database temp.pd in the working directory WORK: Is a directory. The user running "
          "temp needs write permission there",
          "out:Can't keep the Pool Database temp.pd in the working directory WORK: Is a directory."},
         false,
         true},
        {"program directory",
         {"app:USBerr.txt", "app:Direct Access table.txt"},
         {"out:Can't open event log APP/USBerr.txt: Is a directory (said once; the run goes on"},
         true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        for (const std::string& name : c.occupied) {
            std::string path = name.rfind("app:", 0) == 0 ? app_ + name.substr(4) : W(name);
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
        Result r = Run({Bus(BusText({{"10000000000091", "20"}}, 2))});
        EXPECT_EQ(r.status, c.stops ? 1 : 0) << r.out;
        EXPECT_EQ(Count(r.out, "Next cycle"), c.stops ? 0 : 2);
        std::string log = ReadFile(app_ + "USBerr.txt");
        for (std::string text : c.expected) {
            bool console = text.rfind("out:", 0) == 0;
            const std::string& where = console ? r.out : log;
            for (const auto& dir : {std::make_pair(std::string("WORK"), work_), std::make_pair(std::string("APP/"), app_)})
                if (text.find(dir.first) != std::string::npos)
                    text.replace(text.find(dir.first), dir.first.size(), dir.second);
            EXPECT_NE(where.find(console ? text.substr(4) : text), std::string::npos) << text << "\n" << where;
        }
        EXPECT_LE(Count(r.out, "Can't open event log"), 1) << "said once";
        if (c.poolWritten) {
            EXPECT_EQ(ReadFile(W("temp.pd")).substr(15, 16), FullSerial("10000000000091"));
        }
        if (c.stops) {
            EXPECT_EQ(r.out.find("Temperature application"), std::string::npos) << "stops before the banner";
            EXPECT_FALSE(Exists(W("USBPresent")));
        }
    }
}

TEST_F(LoggerRun, ReadOnlyDirectoriesAreReportedOnce)
{
    struct Case {
        bool program;                    // the program directory, else the working directory
        int status;
        int cycles;
        std::vector<std::string> texts;  // on the console
    } cases[] = {
        // A working directory that can't hold temp.pd: the start stops, naming the folder and the reason.
        {false, 1, 0,
         {"Can't create temp.pd.new: Permission denied\n",
          "Can't keep the Pool Database temp.pd in the working directory WORK: Permission denied. The user running "
          "temp needs write permission there (or start temp in another folder); stopping.\n"}},
        // Only the event log can't be written: the run goes on, and says so once.
        {true, 0, 3,
         {"Can't open event log APP/USBerr.txt: Permission denied (said once; the run goes on, entries only on the "
          "console)\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program ? "program directory" : "working directory");
        TearDown();
        SetUp();
        if (geteuid() == 0)
            RunAsNobody();
        std::string dir = c.program ? app_ : work_;
        ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
        Result r = Run({Bus(BusText({{"100000000000A1", "20"}}, 3))});
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        ASSERT_NE(r.status, CannotDrop) << "could not switch to nobody (uid " << NobodyId << ")";
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(Count(r.out, "Next cycle"), c.cycles);
        EXPECT_LE(Count(r.out, "Can't open event log"), 1) << r.out;
        for (std::string text : c.texts) {
            for (const auto& d : {std::make_pair(std::string("APP/"), app_), std::make_pair(std::string("WORK"), work_)})
                if (text.find(d.first) != std::string::npos)
                    text.replace(text.find(d.first), d.first.size(), d.second);
            EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        }
        if (!c.program) {
            EXPECT_EQ(Entries(work_), std::vector<std::string>{});
        }
    }
}

// ---- Sensor families switched on in temp.conf --------------------------

// Output of a run with the root directory, stamps, dates and times of day
// blanked, so that two runs can be compared byte for byte.
std::string WithoutTimes(std::string text, const std::string& root)
{
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at))
        text.replace(at, root.size(), "ROOT");
    text = std::regex_replace(text, std::regex(R"(\d{10}\.\d{3},)"), "STAMP,");
    text = std::regex_replace(text, std::regex(R"(\d\d:\d\d:\d\d(\.[ \d]{2}\d)?)"), "TIME");
    return std::regex_replace(text, std::regex(R"(\d\d/\d\d/\d\d)"), "DATE");
}

TEST_F(LoggerRun, DefaultConfigReadsOnlyTheDs1820Family)
{
    const std::vector<std::pair<std::string, std::string>> ds1820 = {
        {"10000000000021", "25.0625"}, {"10000000000022", "-0.0625"}, {"10000000000023", "85"}};
    struct Run {
        Result result;
        std::string tmp, pool, log;
    } runs[2];
    for (int mixed = 0; mixed < 2; ++mixed) {
        TearDown();
        SetUp();
        // The newer families on the bus too: every one a temperature sensor.
        std::string extra = mixed ? "sensor 28000000000121 25.0625\nsensor 22000000000122 -10\n"
                                    "sensor 3B000000000123 0 parasite\nsensor 42000000000124 85\n"
                                  : "";
        runs[mixed].result = this->Run({Bus(BusText(ds1820, 3, extra))});
        runs[mixed].tmp = ReadFile(W("tempu.tmp"));
        runs[mixed].pool = ReadFile(W("temp.pd"));
        runs[mixed].log = ReadFile(app_ + "USBerr.txt");
        ASSERT_EQ(runs[mixed].result.status, 0) << runs[mixed].result.out;
        runs[mixed].result.out = WithoutTimes(runs[mixed].result.out, root_);
        runs[mixed].tmp = WithoutTimes(runs[mixed].tmp, root_);
        runs[mixed].pool = WithoutTimes(runs[mixed].pool, root_);
        runs[mixed].log = WithoutTimes(runs[mixed].log, root_);
    }
    // The only difference: one entry naming the sensors that are not read.
    const std::string hint = "1 DS1822 (family 22) and 1 DS18B20 (family 28) and 1 DS1825 (family 3B) and 1 DS28EA00 "
                             "(family 42) temperature sensors are on the bus but not read: add the line \"families = "
                             "10 22 28 3B 42\" to ROOT/app/temp.conf (in place of any families line there) and start "
                             "temp again";
    size_t at = runs[1].result.out.find(hint + "\n");
    ASSERT_NE(at, std::string::npos) << runs[1].result.out;
    runs[1].result.out.erase(at, hint.size() + 1);
    at = runs[1].log.find(hint + "\r\n");
    ASSERT_NE(at, std::string::npos) << runs[1].log;
    size_t entry = runs[1].log.rfind('\n', at) + 1;
    runs[1].log.erase(entry, at + hint.size() + 2 - entry);
    EXPECT_EQ(runs[1].result.out, runs[0].result.out);
    EXPECT_EQ(runs[1].tmp, runs[0].tmp);
    EXPECT_EQ(runs[1].pool, runs[0].pool);
    EXPECT_EQ(runs[1].log, runs[0].log);
    EXPECT_EQ(SplitCrLf(runs[0].tmp).size(), 3u);
    EXPECT_NE(runs[0].tmp.find(",85.000,85.000 "), std::string::npos) << "a DS1820's 85 is stored";
}

// Names a serial by the family and a number (14 digits).
std::string Digits(const char* family, int number)
{
    char digits[15];
    std::snprintf(digits, sizeof digits, "%s%012X", family, number);
    return digits;
}

TEST_F(LoggerRun, SwitchedOnFamiliesAreListedInOrderAndDecoded)
{
    WriteFile(app_ + "temp.conf", "# DS1820s and DS18B20s\nfamilies = 10 28\n");
    const struct {
        std::string digits;
        std::string bus;     // temperature and options
        std::string fields;  // whole,extended in tempu.tmp
    } sensors[] = {
        {Digits("28", 1), "25.0625", "25.000,25.063"}, {Digits("28", 2), "-10.125", "-11.000,-10.125"},
        {Digits("28", 3), "-0.0625", "-1.000,-0.063"}, {Digits("28", 4), "125", "125.000,125.000"},
        {Digits("28", 5), "-55", "-55.000,-55.000"},   {Digits("28", 6), "-10.125 resolution=9", "-11.000,-10.500"},
        {Digits("28", 7), "25.9375 resolution=10", "25.000,25.750"},
        {Digits("28", 8), "85", "85.000,85.000"},      {Digits("10", 9), "25.0625", "25.000,25.063"},
    };
    const std::string powerOn = FullSerial(Digits("28", 8));
    std::vector<std::pair<std::string, std::string>> bus;
    for (const auto& s : sensors)
        bus.push_back({s.digits, s.bus});
    bus.push_back({Digits("22", 10), "20"});  // switched off: never listed
    Result r = Run({Bus(BusText(bus, 3))});
    ASSERT_EQ(r.status, 0) << r.out;

    // The listing: the 0x10 family first, as configured, each under its name.
    std::string listing = r.out.substr(0, r.out.find("Enter to continue"));
    std::regex listed(R"((Temp     |DS18B20  ) ([0-9A-F]{16}) New - Added at database position=)");
    std::vector<std::string> names;
    std::map<std::string, int> order;
    for (std::sregex_iterator it(listing.begin(), listing.end(), listed), end; it != end; ++it) {
        names.push_back((*it)[1]);
        order[(*it)[2]] = static_cast<int>(names.size());
    }
    ASSERT_EQ(names.size(), 9u) << listing;
    EXPECT_EQ(names[0], "Temp     ");
    EXPECT_EQ(order[FullSerial(Digits("10", 9))], 1);
    for (size_t i = 1; i < names.size(); ++i)
        EXPECT_EQ(names[i], "DS18B20  ");
    EXPECT_EQ(r.out.find(FullSerial(Digits("22", 10))), std::string::npos);

    std::vector<std::string> lines = SplitCrLf(ReadFile(W("tempu.tmp")));
    ASSERT_EQ(lines.size(), 9u);
    std::map<std::string, int> positions = ListedPositions(r.out);
    std::string pool = ReadFile(W("temp.pd"));
    for (const auto& s : sensors) {
        std::string serial = FullSerial(s.digits);
        SCOPED_TRACE(serial);
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.find(serial) == 15; });
        ASSERT_NE(line, lines.end());
        std::smatch m;
        ASSERT_TRUE(std::regex_match(*line, m, LinePattern)) << *line;
        EXPECT_EQ(m[5].str() + "," + m[6].str(), s.fields);
        uint8_t pad[9];
        for (int i = 0; i < 9; ++i)
            pad[i] = static_cast<uint8_t>(std::stoi(m[4].str().substr(static_cast<size_t>(2 * i), 2), nullptr, 16));
        EXPECT_EQ(Crc8Of(pad, 9), 0);
        if (s.digits.compare(0, 2, "28") == 0) {
            EXPECT_EQ(pad[5], 0xFF) << "a DS18B20 scratchpad, as read";
        }
        // The record holds the line; the console its reading of the last cycle.
        EXPECT_NE(pool.find(Record(*line)), std::string::npos);
        EXPECT_NE(r.out.find(serial + " Scatchpad = BE" + m[4].str() + " Temp = " + m[5].str() + "  " + m[6].str()),
                  std::string::npos);
        EXPECT_EQ(Count(r.out, serial + " Scatchpad = "), serial == powerOn ? 2 : 3);
    }
    EXPECT_EQ(positions.size(), 1u) << "only the DS1820 is named Temp";

    // The 85 of the first cycle is the power-on value: logged, not stored;
    // the next cycles' 85 is a reading.
    std::string log = ReadFile(app_ + "USBerr.txt");
    EXPECT_EQ(Count(log, "Power-on value 85.000 from " + powerOn +
                             " not stored: first reading since the sensor or the adapter started\r\n"),
              1)
        << log;
    EXPECT_EQ(Count(log, "Power-on value"), 1) << log;
    EXPECT_EQ(log.find("Error reading temperature"), std::string::npos) << log;
    // Only the switched-off family is named, with the configured ones kept in the line.
    EXPECT_EQ(Count(log, "temperature sensor"), 1) << log;
    EXPECT_EQ(Count(log, "1 DS1822 (family 22) temperature sensor is on the bus but not read: add the line "
                         "\"families = 10 28 22\" to " + app_ + "temp.conf"),
              1)
        << log;
}

TEST_F(LoggerRun, FortyFiveSensorsOfTwoFamiliesFillThirtyNineSlotsInOrder)
{
    WriteFile(app_ + "temp.conf", "families = 28 10\n");
    std::vector<std::pair<std::string, std::string>> sensors;
    for (int i = 0; i < 25; ++i)
        sensors.push_back({Digits("10", 0x100 + i), "20"});
    for (int i = 0; i < 20; ++i)
        sensors.push_back({Digits("28", 0x200 + i), "21"});
    Result r = Run({Bus(BusText(sensors, 2))});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string listing = r.out.substr(0, r.out.find("Enter to continue"));
    std::regex listed(R"((Temp     |DS18B20  ) [0-9A-F]{16} New)");
    std::string kinds;
    for (std::sregex_iterator it(listing.begin(), listing.end(), listed), end; it != end; ++it)
        kinds += (*it)[1].str() == "Temp     " ? 'T' : 'B';
    EXPECT_EQ(kinds, std::string(20, 'B') + std::string(19, 'T'));
    EXPECT_EQ(SplitCrLf(ReadFile(W("tempu.tmp"))).size(), 39u);
}

// A session on a pseudo-terminal: the key waits read single keys from it.
class PtySession {
public:
    explicit PtySession(const LoggerRun* run, const std::vector<std::string>& argv, void (*exec)(const LoggerRun*,
                                                                                                  const std::vector<std::string>&))
    {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0)
            exec(run, argv);
    }
    ~PtySession()
    {
        if (master_ >= 0)
            close(master_);
    }
    pid_t pid() const { return pid_; }
    // Reads until `text` has been seen (after what was already consumed).
    bool Expect(const std::string& text)
    {
        size_t from = seen_;
        while (out_.find(text, from) == std::string::npos) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, DeadlineMs) <= 0)
                return false;
            char chunk[4096];
            ssize_t got = read(master_, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            out_.append(chunk, static_cast<size_t>(got));
        }
        seen_ = out_.find(text, from) + text.size();
        return true;
    }
    // Types a key once the logger's key wait has put the terminal in raw mode
    // (typed earlier, CTRL-C would still raise the interrupt).
    void Key(char c)
    {
        struct termios mode;
        for (int waited = 0; waited < DeadlineMs; waited += 10) {
            if (tcgetattr(master_, &mode) == 0 && !(mode.c_lflag & ICANON))
                break;
            usleep(10000);
        }
        ASSERT_EQ(write(master_, &c, 1), 1);
    }
    int Finish()
    {
        Expect("\x01never\x01");  // drain to end of output
        int status = 0;
        waitpid(pid_, &status, 0);
        return DecodeStatus(status);
    }
    const std::string& out() const { return out_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string out_;
    size_t seen_ = 0;
};

class LoggerTerminal : public LoggerRun {
protected:
    static void ExecOn(const LoggerRun* run, const std::vector<std::string>& argv)
    {
        static_cast<const LoggerTerminal*>(run)->Exec(argv);
    }
};

TEST_F(LoggerTerminal, KeyWaitsTakeOneKeyAndCtrlCCountsAsKey)
{
    PtySession s(this, Argv({}), ExecOn);
    ASSERT_TRUE(s.Expect("Temp1(C)] \r\n\r\n")) << s.out();
    s.Key('\x03');  // CTRL-C at a key wait is the key
    ASSERT_TRUE(s.Expect("1-Wire Net name required on command line!")) << s.out();
    ASSERT_TRUE(s.Expect("\\\\.\\DS2490-1 \r\n")) << s.out();
    s.Key('q');
    EXPECT_EQ(s.Finish(), 1) << s.out();
}

TEST_F(LoggerTerminal, CtrlCDuringTheWaitFinishesTheCycleThenClosesInOrder)
{
    // Real clock: the interrupt arrives while the wait's points are printed.
    std::string bus = Bus("sensor 100000000000A1 20\n");
    PtySession s(this, Argv({bus}), ExecOn);
    ASSERT_TRUE(s.Expect("Temp1(C)] \r\n\r\n")) << s.out();
    s.Key(' ');
    ASSERT_TRUE(s.Expect("Enter to continue\r\n")) << s.out();
    s.Key(' ');
    ASSERT_TRUE(s.Expect("Next cycle")) << s.out();  // first cycle: handler installed at its end
    ASSERT_TRUE(s.Expect("Next cycle.")) << s.out();
    kill(s.pid(), SIGINT);
    ASSERT_TRUE(s.Expect("\r\nClosing\r\n")) << s.out();
    // The cycle ran to its end: a whole wait line, then the close.
    std::string out = s.out();
    const std::string notice = "<< CTRL-C key abort >>";
    ASSERT_NE(out.find(notice), std::string::npos) << out;
    out.erase(out.find(notice), notice.size());
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\nNext cycle\.{8} \d\d:\d\d:\d\d\.[ \d]{2}\d\r\n\r\nClosing\r\n$)")))
        << out;
    // Waiting for the key: the cycle's marker has been made, nothing removed yet.
    EXPECT_TRUE(Exists(W("USBSyncStart")));
    EXPECT_TRUE(Exists(W("USBPresent")));
    s.Key('x');
    ASSERT_TRUE(s.Expect("Closing port " + bus + ".\r\n")) << s.out();
    s.Key('y');
    EXPECT_EQ(s.Finish(), 0) << s.out();
    EXPECT_FALSE(Exists(W("USBPresent")));
    EXPECT_FALSE(Exists(W("USBSyncStart")));
}

}  // namespace
