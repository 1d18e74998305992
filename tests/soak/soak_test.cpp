// The logger's measurement cycle run thousands of times in this process on a
// software adapter with the virtual clock, under seeded random faults of every
// kind the software adapter offers and with sensors leaving and returning.
// After every cycle the files are checked against what the cycle read.
//
// TEMP_SOAK_CYCLES sets the number of cycles (default 1000), TEMP_SOAK_SEED
// the seed (default 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <unistd.h>

#include "logger/logger.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "pool_check.h"
#include "simulator/sim.h"
#include "tests/common/scratch_dir.h"

namespace {

long EnvNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

long ResidentKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Standard output goes to /dev/null while the logger prints its cycles.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

const SimFaultKind kAllKinds[] = {
    SimFaultKind::Unplug, SimFaultKind::RefuseVendor, SimFaultKind::RefuseStatus, SimFaultKind::RefuseRead,
    SimFaultKind::RefuseWrite, SimFaultKind::ShortRead, SimFaultKind::ShortWrite, SimFaultKind::ShortLine,
    SimFaultKind::Busy, SimFaultKind::Leave, SimFaultKind::Crc, SimFaultKind::CountPerCZero,
    SimFaultKind::SlowConversion, SimFaultKind::NoPullup, SimFaultKind::Interrupt, SimFaultKind::Terminate,
};
const char* const kKindNames[] = {
    "unplug", "refuse-vendor", "refuse-status", "refuse-read", "refuse-write", "short-read", "short-write",
    "short-line", "busy", "leave", "crc", "count-per-c-zero", "slow-conversion", "no-pullup", "interrupt", "terminate",
};
constexpr int kKinds = sizeof kAllKinds / sizeof kAllKinds[0];
bool TakesSerial(SimFaultKind k)
{
    return k == SimFaultKind::Leave || k == SimFaultKind::Crc || k == SimFaultKind::CountPerCZero ||
           k == SimFaultKind::SlowConversion || k == SimFaultKind::NoPullup;
}

// Each sensor lives in its own band of whole degrees, so a reading that lands
// in another sensor's record, or data made up by a fault, shows.
struct SoakSensor {
    std::string text;  // 16 hex digits
    SimSerial serial;
    int band_low;      // whole degrees band_low .. band_low + 3
    bool parasite;
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = std::make_unique<InScratchDir>("soak");
        dir_ = scratch_->path();
        ASSERT_FALSE(dir_.empty());
        ErrorFilePath = "USBerr.txt";
        ClearDirectAccessTable();
        DriverRegisterBackend(&SimDriverOps);
        std::signal(SIGINT, SIG_IGN);  // the interrupt and terminate faults raise these
        std::signal(SIGTERM, SIG_IGN);
    }
    void TearDown() override
    {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        if (HasFailure())
            scratch_->Keep();
        scratch_.reset();
    }
    std::unique_ptr<InScratchDir> scratch_;
    std::string dir_;
};

TEST_F(Soak, CycleKeepsFilesConsistentUnderFaults)
{
    const long cycles = EnvNumber("TEMP_SOAK_CYCLES", 1000);
    const uint64_t seed = static_cast<uint64_t>(EnvNumber("TEMP_SOAK_SEED", 1));
    // Cycles per adapter open. A closed port's slot stays taken for the run,
    // so at most 15 reopens fit in the 16 slots.
    const long kSegment = std::max(500L, (cycles + 14) / 15);
    std::mt19937_64 rng(seed);
    auto chance = [&rng](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    auto pick = [&rng](size_t n) { return static_cast<size_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };

    std::vector<SoakSensor> sensors;
    const int bands[] = {-40, -20, 10, 30, 50, 100};
    for (int k = 0; k < 6; ++k) {
        SimSerial serial;
        std::string error;
        char hex[15];
        std::snprintf(hex, sizeof hex, "10%02X00C0FFEE%02X", 0x11 * (k + 1), k);
        ASSERT_TRUE(SimParseSerial(hex, &serial, &error)) << error;
        sensors.push_back({SimSerialText(serial), serial, bands[k], k == 5});
    }

    // The table lists three sensors out of file order; the listing adds the rest.
    CreatePoolDatabase();
    ParseDirectAccessTable(sensors[2].text + " 0 Cellar\n" + sensors[0].text + " 1 Attic\n" + sensors[4].text +
                           " 2 Garage\n");
    std::vector<SerialNumber> list;
    for (const SoakSensor& s : sensors)
        list.push_back(s.serial);
    {
        QuietStdout quiet;
        ListSensors(list.data(), static_cast<int>(list.size()));
    }
    std::vector<std::string> owners;
    for (int j = 0; j <= DirectAccessTable.lastIndex; ++j)
        owners.push_back(DirectAccessTable.entries[j].serial);
    ASSERT_EQ(owners.size(), sensors.size());

    std::map<std::string, std::set<int>> allowedWhole;  // per serial: whole degrees it may show
    std::map<std::string, std::string> expectedRecord;  // per serial: its latest line as a record
    for (const SoakSensor& s : sensors)
        allowedWhole[s.text] = {85};                    // power-on value
    std::vector<std::string> violations;
    auto violate = [&violations](long cycle, const std::string& what) {
        if (violations.size() < 20)
            violations.push_back("cycle " + std::to_string(cycle) + ": " + what);
        else if (violations.size() == 20)
            violations.push_back("...");
    };

    long checks = 0;
    long faultsScheduled = 0, presenceChanges = 0, failedReads = 0, goodReads = 0;
    long kindCount[kKinds] = {};
    std::map<size_t, long> absentUntil;  // sensor index -> cycle it returns
    size_t logOffset = 0;
    int fdsAfterWarmUp = -1;
    long rssAfterWarmUp = 0;
    int port = -1;
    SimAdapter* adapter = nullptr;

    for (long cycle = 1; cycle <= cycles && violations.empty(); ++cycle) {
        long inSegment = (cycle - 1) % kSegment + 1;
        if (inSegment == 1) {
            // A new bus file: faults of random kinds at random cycles of this segment.
            std::string bus = "timing off\nclock virtual\nseed " + std::to_string(seed + cycle) + "\n";
            for (const SoakSensor& s : sensors) {
                double t = s.band_low + 1.5;
                bus += "sensor " + s.text + " " + std::to_string(t) + (s.parasite ? " parasite\n" : "\n");
                allowedWhole[s.text].insert(static_cast<int>(SimDecodeWhole(SimEncodeTemperature(t))));
            }
            for (long c = 1; c <= kSegment && cycle - 1 + c <= cycles; ++c) {
                if (!chance(0.3))
                    continue;
                int k = static_cast<int>(pick(kKinds));
                long last = c + static_cast<long>(pick(3));
                bus += std::string("fault ") + kKindNames[k];
                if (TakesSerial(kAllKinds[k]))
                    bus += " " + sensors[kAllKinds[k] == SimFaultKind::NoPullup ? 5 : pick(sensors.size())].text;
                bus += " conversions=" + std::to_string(c) + "-" + std::to_string(last) + "\n";
                ++faultsScheduled;
                ++kindCount[k];
            }
            std::ofstream("bus.txt") << bus;
            if (port >= 0)
                PortClose(port);
            {
                QuietStdout quiet;
                port = PortOpenFirstFree(("sim:" + dir_ + "/bus.txt").c_str());
            }
            ASSERT_GE(port, 0) << "cycle " << cycle;
            adapter = SimLastOpened();
            ASSERT_NE(adapter, nullptr);
            absentUntil.clear();
        }

        // Sensors leave for a while and come back; temperatures move within their bands.
        for (auto it = absentUntil.begin(); it != absentUntil.end();) {
            if (it->second <= cycle) {
                SimSetPresent(adapter, sensors[it->first].serial, true);
                ++presenceChanges;
                it = absentUntil.erase(it);
            } else {
                ++it;
            }
        }
        if (chance(0.02)) {
            size_t s = pick(sensors.size());
            if (!absentUntil.count(s)) {
                SimSetPresent(adapter, sensors[s].serial, false);
                absentUntil[s] = cycle + 1 + static_cast<long>(pick(20));
                ++presenceChanges;
            }
        }
        for (const SoakSensor& s : sensors) {
            if (!chance(0.5))
                continue;
            double t = s.band_low + static_cast<double>(pick(64)) / 16.0;
            SimSetTemperature(adapter, s.serial, t);
            allowedWhole[s.text].insert(static_cast<int>(SimDecodeWhole(SimEncodeTemperature(t))));
        }

        {
            QuietStdout quiet;
            RunMeasurementCycle(port, list.data(), static_cast<int>(list.size()));
        }

        // tempu.tmp: whole, self-consistent lines of listed sensors, each at most once.
        std::string tmp = poolcheck::ReadFile("tempu.tmp");
        if (poolcheck::ReadFile("tempu.csv") != tmp)
            violate(cycle, "tempu.csv differs from tempu.tmp");
        bool complete = true;
        std::vector<std::string> lines = poolcheck::SplitCrLf(tmp, &complete);
        if (!complete)
            violate(cycle, "tempu.tmp does not end in CR LF");
        std::set<std::string> seen;
        long expectedFailures = static_cast<long>(sensors.size());
        for (const std::string& line : lines) {
            poolcheck::Reading reading;
            std::string why;
            if (!poolcheck::ParseLine(line, &reading, &why)) {
                violate(cycle, "tempu.tmp line: " + why + ": " + line);
                continue;
            }
            if (!allowedWhole.count(reading.serial) || !seen.insert(reading.serial).second) {
                violate(cycle, "unexpected or repeated line: " + line);
                continue;
            }
            if (!allowedWhole[reading.serial].count(static_cast<int>(reading.whole)))
                violate(cycle, "reading outside its sensor's temperatures: " + line);
            expectedRecord[reading.serial] = poolcheck::PadToRecord(line);
            // A reading without COUNT_PER_C is written but still counts as failed.
            if (reading.scratchpad[7] != 0)
                --expectedFailures;
        }
        goodReads += static_cast<long>(sensors.size()) - expectedFailures;
        failedReads += expectedFailures;

        // Every failed read has its event-log entry.
        std::string log = poolcheck::ReadFile("USBerr.txt");
        long logged = 0;
        const std::string entry = "Error reading temperature, verify device present:";
        for (size_t at = log.find(entry, logOffset); at != std::string::npos; at = log.find(entry, at + 1))
            ++logged;
        logOffset = log.size();
        if (logged != expectedFailures)
            violate(cycle, std::to_string(expectedFailures) + " failed reads but " + std::to_string(logged) +
                               " log entries");

        // temp.pd: whole records, each blank or a good line of its owner, and
        // each sensor's record its latest line.
        std::string pool = poolcheck::ReadFile("temp.pd");
        for (const std::string& problem : poolcheck::CheckPoolFile(pool, owners))
            violate(cycle, "temp.pd " + problem);
        if (pool.size() != 4100)
            violate(cycle, "temp.pd is " + std::to_string(pool.size()) + " bytes");
        for (size_t j = 0; j < owners.size() && pool.size() >= 100 * (j + 1); ++j) {
            auto it = expectedRecord.find(owners[j]);
            std::string want = it == expectedRecord.end() ? poolcheck::BlankRecord() : it->second;
            if (pool.compare(100 * j, 100, want) != 0)
                violate(cycle, "record " + std::to_string(j) + " is not the latest reading of " + owners[j]);
        }

        // csv copy, complete tmp, each line, log count, each record, size, each sensor's record
        checks += 5 + static_cast<long>(lines.size() + pool.size() / 100 + owners.size());
        if (cycle == 50) {
            fdsAfterWarmUp = OpenDescriptors();
            rssAfterWarmUp = ResidentKiB();
        }
    }
    if (port >= 0)
        PortClose(port);

    int fdsAtEnd = OpenDescriptors();
    long rssAtEnd = ResidentKiB();
    std::printf("soak: %ld cycles, %ld faults scheduled, %ld presence changes, %ld good reads, %ld failed reads, "
                "%ld invariant checks, %zu violations, fds %d -> %d, RSS %ld -> %ld KiB\n",
                cycles, faultsScheduled, presenceChanges, goodReads, failedReads, checks, violations.size(), fdsAfterWarmUp,
                fdsAtEnd, rssAfterWarmUp, rssAtEnd);
    std::printf("soak: faults by kind:");
    for (int k = 0; k < kKinds; ++k)
        std::printf(" %s=%ld", kKindNames[k], kindCount[k]);
    std::printf("\n");
    for (const std::string& v : violations)
        ADD_FAILURE() << v;
    EXPECT_GT(goodReads, 0);
    EXPECT_GT(failedReads, 0) << "the faults never showed";
    if (cycles >= 50) {
        // PortClose at the end may only give back what the open took.
        EXPECT_LE(fdsAtEnd, fdsAfterWarmUp);
#if !defined(__SANITIZE_ADDRESS__)
        // Generous: buffers may settle, but per-cycle growth would pass this by far.
        EXPECT_LT(rssAtEnd - rssAfterWarmUp, 8 * 1024L);
#endif
    }
}

}  // namespace
