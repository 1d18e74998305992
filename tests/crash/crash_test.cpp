// Crash safety of temp.pd: the real logger, cycling fast on a virtual-clock
// software adapter, is killed with SIGKILL at random moments (half of them
// while it holds temp.pd open, that is inside the Pool Database update) and
// started again. After every kill temp.pd must still hold 41 whole records,
// each the record it held before the run or a whole, self-consistent reading
// of its own sensor, never a torn mix; no restart may recreate the file.
//
// TEMP_CRASH_KILLS sets the number of kills (default 100), TEMP_CRASH_SEED the
// seed, TEMP_CRASH_BINARY another temp to run instead of the one built here.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "pool_check.h"
#include "tests/common/scratch_dir.h"

namespace {

long EnvNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

void SleepMicros(long micros)
{
    timespec t{micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// True when the process has `path` open.
bool HoldsOpen(pid_t pid, const std::string& path)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir)
        return false;
    bool found = false;
    char target[4096];
    while (dirent* entry = readdir(dir)) {
        std::string link = fds + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

class CrashRig : public ::testing::Test {
protected:
    void SetUp() override { pool_ = dir_ + "/temp.pd"; }
    void TearDown() override
    {
        if (HasFailure())
            scratch_.Keep();
    }

    // Starts temp in dir_ as if installed there (table and event log beside it),
    // with no input (every key wait returns) and its output in out.txt.
    pid_t Start()
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(127);
            int in = open("/dev/null", O_RDONLY);
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::string argv0 = dir_ + "/temp";
            std::string device = "sim:" + dir_ + "/bus.txt";
            const char* binary = std::getenv("TEMP_CRASH_BINARY");  // another build of temp, e.g. a mutant
            execl(binary && *binary ? binary : TEMP_BINARY, argv0.c_str(), device.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    ScratchDir scratch_{"crash"};
    std::string dir_ = scratch_.path(), pool_;
};

TEST_F(CrashRig, KilledLoggerLeavesWholeRecords)
{
    const long kills = EnvNumber("TEMP_CRASH_KILLS", 100);
    std::mt19937 rng(static_cast<unsigned>(EnvNumber("TEMP_CRASH_SEED", 1)));

    // 30 sensors with moving temperatures; some reads fail so that records
    // also keep older lines.
    std::string bus = "timing off\nclock virtual\nseed 7\n";
    std::string table;
    std::vector<std::string> owners;
    for (int k = 0; k < 30; ++k) {
        char serial[17];
        std::snprintf(serial, sizeof serial, "10%02X%02X0000BEEF", k, 0x30 + k);
        bus += std::string("sensor ") + serial + " " + std::to_string(-20 + 3 * k) + ".." +
               std::to_string(-10 + 3 * k) + "/" + std::to_string(7 + k) + "\n";
        if (k % 7 == 3)
            bus += std::string("fault crc ") + serial + " p=0.3\n";
    }
    std::ofstream(dir_ + "/bus.txt") << bus;
    // Table order differs from bus order; the logger reads the serials with their CRC.
    ASSERT_EQ(std::system(("true > '" + dir_ + "/Direct Access table.txt'").c_str()), 0);

    // First run: creates temp.pd and adds every sensor to the in-memory table
    // in listing order. The listing tells the record of each sensor.
    pid_t first = Start();
    ASSERT_GT(first, 0);
    std::string out;
    for (int i = 0; i < 12000 && out.find("Next cycle") == std::string::npos; ++i) {
        SleepMicros(5000);
        out = poolcheck::ReadFile(dir_ + "/out.txt");
    }
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    ASSERT_NE(out.find("Creating new Pool Database"), std::string::npos) << out;
    // Write the listing as the table, so every restart lists the same records.
    for (size_t at = out.find("New - Added at database position="); at != std::string::npos;
         at = out.find("New - Added at database position=", at + 1)) {
        owners.push_back(out.substr(at - 17, 16));
        table += owners.back() + " " + std::to_string(owners.size() - 1) + " Room" +
                 std::to_string(owners.size()) + "\n";
    }
    ASSERT_EQ(owners.size(), 30u) << out;
    std::ofstream(dir_ + "/Direct Access table.txt") << table;

    struct stat created;
    ASSERT_EQ(stat(pool_.c_str(), &created), 0);
    std::string before = poolcheck::ReadFile(pool_);
    long insideUpdate = 0, changedRecords = 0, tornOrBad = 0;
    for (long kill_no = 1; kill_no <= kills; ++kill_no) {
        pid_t pid = Start();
        ASSERT_GT(pid, 0);
        bool heldOpen = false;
        if (kill_no % 2 == 0) {
            // Aim at the update: kill as soon as temp.pd is seen open. The logger
            // cycles for ever, so this waits as long as a loaded machine needs
            // (a minute is only a guard against a logger that stopped updating).
            // The first time it is seen open may be the start-up's check that the file
            // can be written, so that one is always let pass.
            long skip = 1 + static_cast<long>(rng() % 4);  // let some updates complete first
            bool wasOpen = false;
            auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            for (int poll = 0; !heldOpen; ++poll) {
                bool open = HoldsOpen(pid, pool_);
                if (open && !wasOpen && skip-- <= 0)
                    heldOpen = true;
                else if (poll % 64 == 63 && std::chrono::steady_clock::now() > giveUp)
                    break;
                wasOpen = open;
            }
        } else {
            SleepMicros(static_cast<long>(rng() % 60000));
            heldOpen = HoldsOpen(pid, pool_);
        }
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (heldOpen)
            ++insideUpdate;
        ASSERT_TRUE(WIFSIGNALED(status)) << "logger ended by itself: " << poolcheck::ReadFile(dir_ + "/out.txt");

        std::string after = poolcheck::ReadFile(pool_);
        std::string runOut = poolcheck::ReadFile(dir_ + "/out.txt");
        ASSERT_EQ(runOut.find("Creating new Pool Database"), std::string::npos) << "kill " << kill_no;
        struct stat now;
        ASSERT_EQ(stat(pool_.c_str(), &now), 0);
        ASSERT_EQ(now.st_ino, created.st_ino) << "temp.pd was replaced";
        ASSERT_EQ(after.size(), 4100u) << "kill " << kill_no;
        for (const std::string& problem : poolcheck::CheckPoolFile(after, owners)) {
            ++tornOrBad;
            ADD_FAILURE() << "kill " << kill_no << (heldOpen ? " (inside the update)" : "") << ": " << problem;
        }
        // Changed records were checked whole above. Their stamps are not compared:
        // each restart's virtual clock starts again from the real time.
        for (size_t r = 0; r < owners.size(); ++r)
            if (before.compare(100 * r, 100, after, 100 * r, 100) != 0)
                ++changedRecords;
        before = after;
        if (HasFatalFailure() || tornOrBad > 5)
            break;
    }
    std::printf("crash: %ld kills, %ld while temp.pd was open (inside the update), %ld record changes seen, "
                "%ld bad records\n",
                kills, insideUpdate, changedRecords, tornOrBad);
    EXPECT_GT(changedRecords, 0) << "the restarted logger never got to update temp.pd";
    EXPECT_GT(insideUpdate, kills / 10) << "too few kills landed inside the update";
}

// Each record reaches temp.pd through exactly one positioned write of the
// whole 100 bytes at a record boundary, as traced by strace. (The leak check
// of a sanitizer build can't run under ptrace, so it is off here.)
TEST_F(CrashRig, EachRecordIsOnePositionedWrite)
{
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed (Debian package strace; scripts/install-deps.sh installs it)";
    std::ofstream(dir_ + "/bus.txt") << "timing off\nclock virtual\nsensor 10A1B2C3D4E5F6 21.5\n"
                                        "sensor 10112233445566 -3\nfault terminate conversion=4\n";
    std::string blank;
    for (int r = 0; r < 41; ++r)
        blank += poolcheck::BlankRecord();
    std::ofstream(pool_, std::ios::binary) << blank;  // present, so only updates write it
    ASSERT_EQ(symlink(TEMP_BINARY, (dir_ + "/temp").c_str()), 0);
    // One trace file per thread (-ff): the outputs' worker (the history) writes
    // at the same time, and a shared trace would split its lines.
    std::string command = "cd '" + dir_ + "' && ASAN_OPTIONS=detect_leaks=0 strace -ff -qq -o trace "
                          "-e trace=openat,close,write,writev,pwrite64,pwritev,pwritev2 ./temp 'sim:" + dir_ +
                          "/bus.txt' </dev/null >out.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << poolcheck::ReadFile(dir_ + "/out.txt");

    std::regex opened(R"rx(openat\(.*"temp\.pd".*\) = (\d+))rx"), closed(R"rx(close\((\d+)\))rx");
    std::regex written(R"rx((\w+)\((\d+), .*\) = (-?\d+))rx");
    std::regex positioned(R"rx(pwrite64\(\d+, ".*"\.*, 100, (\d+)\) = 100$)rx");
    int records = 0;
    int threads = 0;
    DIR* folder = opendir(dir_.c_str());
    ASSERT_NE(folder, nullptr);
    while (dirent* entry = readdir(folder)) {
        if (std::strncmp(entry->d_name, "trace.", 6) != 0)
            continue;
        ++threads;
        std::istringstream trace(poolcheck::ReadFile(dir_ + "/" + entry->d_name));
        std::set<std::string> poolFds;
        std::string line;
        while (std::getline(trace, line)) {
            std::smatch m;
            if (std::regex_search(line, m, opened)) {
                poolFds.insert(m[1]);
            } else if (std::regex_search(line, m, closed)) {
                poolFds.erase(m[1]);
            } else if (std::regex_search(line, m, written) && poolFds.count(m[2])) {
                std::smatch p;
                EXPECT_TRUE(std::regex_search(line, p, positioned)) << "not one whole-record pwrite: " << line;
                if (!p.empty()) {
                    EXPECT_EQ(std::stol(p[1]) % 100, 0) << line;
                }
                ++records;
            }
        }
    }
    closedir(folder);
    EXPECT_GT(threads, 0) << "strace wrote no trace";
    EXPECT_EQ(records, 8) << "two sensors in four cycles (the cycle that SIGTERM interrupts completes)";
}

}  // namespace

