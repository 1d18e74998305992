// Start-up, the sensor search and listing, the measurement cycle and the close.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "backends/backends.h"
#include "logger/config.h"
#include "logger/logger.h"
#include "outputs/outputs.h"
#include "onewire/adapter.h"
#include "onewire/crc.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "support/console.h"
#include "support/errors.h"

const FamilyName FamilyNameTable[] = {
    {0x10, "Temp     "}, {0x05, "1-Switch "}, {0x12, "2-Switch "}, {0x1B, "Battery  "},
    {0x1D, "Counter  "}, {0x20, "DS2450   "}, {0x26, "DS2438   "}, {0x29, "8-Switch "},
    {0x2C, "DS2890   "}, {0x3A, "DS2413   "}, {0x01, "Not Slave"}, {0x04, "Not Slave"},
    {0x09, "Not Slave"}, {0x0A, "Not Slave"}, {0x1A, "Not Slave"}, {0x23, "Not Slave"},
    // The newer temperature families, listed only when temp.conf switches them on.
    {0x28, "DS18B20  "}, {0x22, "DS1822   "}, {0x3B, "DS1825   "}, {0x42, "DS28EA00 "},
};
const int FamilyNameCount = static_cast<int>(sizeof FamilyNameTable / sizeof FamilyNameTable[0]);

const char* FamilyNameOf(uint8_t family)
{
    for (int i = 0; i < FamilyNameCount; ++i)
        if (FamilyNameTable[i].family == family)
            return FamilyNameTable[i].name;
    return nullptr;
}

int IsNotSlaveFamily(uint8_t family)
{
    const char* name = FamilyNameOf(family);
    return name && std::strcmp(name, "Not Slave") == 0 ? 1 : 0;
}

namespace {
// Temperature sensors of families temp.conf leaves off, as the searches pass
// them: no search of its own, so the bus traffic stays as documented.
constexpr int OTHER_FAMILY_CAPACITY = 64;
std::array<SerialNumber, OTHER_FAMILY_CAPACITY> OtherFamilySensors{};
int OtherFamilySensorTotal = 0;
bool OtherFamiliesReported = false;

bool FamilySwitchedOn(uint8_t family)
{
    for (int f = 0; f < Config.familyCount; ++f)
        if (Config.families[static_cast<size_t>(f)] == family)
            return true;
    return false;
}

void NoteOtherFamilySensor(const SerialNumber& serial)
{
    if (!IsTemperatureFamily(serial[0]) || FamilySwitchedOn(serial[0]) || Crc8Of(serial.data(), 8) != 0)
        return;
    for (int i = 0; i < OtherFamilySensorTotal; ++i)
        if (OtherFamilySensors[static_cast<size_t>(i)] == serial)
            return;
    if (OtherFamilySensorTotal >= OTHER_FAMILY_CAPACITY)
        return;
    OtherFamilySensors[static_cast<size_t>(OtherFamilySensorTotal++)] = serial;
}

const char* SensorNameOf(uint8_t family)
{
    switch (family) {
    case 0x10:
        return "DS1820";
    case 0x28:
        return "DS18B20";
    case 0x22:
        return "DS1822";
    case 0x3B:
        return "DS1825";
    case 0x42:
        return "DS28EA00";
    default:
        return "unknown";
    }
}
}  // namespace

int FindSensors(int port, SerialNumber* sensors, int family, int capacity)
{
    NetTargetFamily(port, static_cast<uint8_t>(family));
    int count = 0;
    while (count < capacity - 1 && NetSearchNext(port, 1, 0)) {
        NetSerialCopy(port, sensors[count].data(), 1);
        if ((sensors[count][0] & 0x7F) == (family & 0x7F))
            ++count;
        else
            NoteOtherFamilySensor(sensors[count]);
    }
    return count;
}

void ClearOtherFamilySensors() { OtherFamilySensorTotal = 0; }

int OtherFamilySensorCount(uint8_t family)
{
    int n = 0;
    for (int i = 0; i < OtherFamilySensorTotal; ++i)
        n += OtherFamilySensors[static_cast<size_t>(i)][0] == family ? 1 : 0;
    return n;
}

std::string OtherFamiliesHint(const int counts[256], const uint8_t* families, int familyCount,
                              const std::string& confPath)
{
    std::string sensors, line = "families =";
    for (int f = 0; f < familyCount; ++f) {
        char code[4];
        std::snprintf(code, sizeof code, " %02X", families[f]);
        line += code;
    }
    int kinds = 0, total = 0;
    for (int family = 0; family < 256; ++family) {
        if (counts[family] <= 0)
            continue;
        char text[64], code[4];
        std::snprintf(text, sizeof text, "%d %s (family %02X)", counts[family], SensorNameOf(static_cast<uint8_t>(family)),
                      family);
        std::snprintf(code, sizeof code, " %02X", family);
        sensors += std::string(kinds ? " and " : "") + text;
        line += code;
        ++kinds;
        total += counts[family];
    }
    if (kinds == 0)
        return std::string();
    return sensors + (total == 1 ? " temperature sensor is" : " temperature sensors are") +
           " on the bus but not read: add the line \"" + line + "\" to " + confPath +
           " (in place of any families line there) and start temp again\n";
}

void ReportOtherFamilySensors()
{
    if (OtherFamiliesReported || OtherFamilySensorTotal == 0)
        return;
    int counts[256] = {};
    for (int i = 0; i < OtherFamilySensorTotal; ++i)
        ++counts[OtherFamilySensors[static_cast<size_t>(i)][0]];
    std::string hint = OtherFamiliesHint(counts, Config.families.data(), Config.familyCount,
                                         AbsolutePath(AppDirectory + ConfigFileName));
    LogEvent("%s", hint.c_str());
    OtherFamiliesReported = true;
}

int FindConfiguredSensors(int port, SerialNumber* sensors, int capacity)
{
    int count = 0;
    for (int f = 0; f < Config.familyCount && count < capacity - 1; ++f)
        count += FindSensors(port, sensors + count, Config.families[static_cast<size_t>(f)], capacity - count);
    return count;
}

void ListSensors(const SerialNumber* sensors, int count)
{
    // A family the table lacks keeps the name of the sensor before it; the
    // first sensor then gets nine blanks.
    const char* name = "         ";
    for (int i = 0; i < count; ++i) {
        FormatSerialText(sensors[i].data(), SerialText);
        uint8_t family = sensors[i][0];
        if (const char* known = FamilyNameOf(family))
            name = known;
        if (IsNotSlaveFamily(family)) {
            LogEvent("%s %s \n", "Not Slave", SerialText);
            continue;
        }
        int j = FindTableEntry(SerialText);
        if (j >= 0) {
            const TableEntry& entry = DirectAccessTable.entries[j];
            LogEvent("%s %s Database position=%2d %s\n", name, SerialText, entry.place, entry.label);
            continue;
        }
        j = AddTableEntry(SerialText);
        if (j < 0) {
            LogEvent("%s %s New - table full (%d entries), no database position\n", name, SerialText,
                     TABLE_CAPACITY);
            continue;
        }
        LogEvent("%s %s New - Added at database position=%2d %s\n", name, SerialText, j,
                 DirectAccessTable.entries[j].label);
    }
}

int StartUp(const char* argv0)
{
    AppDirectory = AppDirectoryFrom(argv0);
    ErrorFilePath = AppDirectory + "USBerr.txt";
    std::printf("Err file is %s\n", ErrorFilePath.c_str());
    LogEvent("Application directory = %s\n", AppDirectory.c_str());
    char* cwd = getcwd(nullptr, 0);
    if (cwd) {
        LogEvent("Working directory = %s  \n", cwd);
        std::free(cwd);
    } else {
        LogEvent("Working directory = (unknown: %s)  \n", std::strerror(errno));
    }
    CreatePoolDatabase();
    // Without a writable temp.pd no reading could ever be stored: stop now,
    // before the marker and the cycles, rather than run on recording nothing.
    std::string reason;
    if (!PoolDatabaseWritable(&reason)) {
        std::string folder = AbsolutePath("");
        if (folder.size() > 1)
            folder.pop_back();
        LogEvent("Can't keep the Pool Database temp.pd in the working directory %s: %s. The user running temp "
                 "needs write permission there (or start temp in another folder); stopping.\n",
                 folder.c_str(), reason.c_str());
        return 0;
    }
    LoadDirectAccessTable(AppDirectory + "Direct Access table.txt");
    LoadTempConfig(AppDirectory + ConfigFileName);
    CreateMarker("USBPresent");
    time_t now = WallClockNow().seconds;
    LogEvent("%s - %s List of devices:\n", FormatLocalDate(now).c_str(), FormatLocalTime(now).c_str());
    std::printf("\n/---------------------------------------------\n");
    // The banner's bytes are fixed (the logger's tests hold them): the version is 10.00.
    std::printf("  Temperature application DS1920/DS1820 - Version " TEMP_VERSION " \n"
                "  Temperature Find and Read from a: \n  DS1920/DS1820 (at least 1)\n\n");
    std::printf("  Press any CTRL-C to stop this program.\n\n");
    std::printf("  Output [Serial Number(s) ........ Temp1(C)] \n\n");
    return 1;
}

namespace {
CycleReport Report;
uint32_t LastCycleStartMs;
// The adapter's recoveries: after a reinitialisation failed, the first
// scratchpad that comes through it again. An unplug counts once, however many
// attempts failed meanwhile; the adapter may come back without a
// reinitialisation of ours succeeding (the driver reopens it).
bool AdapterDown = false;
uint32_t FailuresSeen = 0;

// Notes reinitialisations that failed since the last look; 1 when there were.
int NoteFailedReinits(size_t slot)
{
    if (PortReinitFailures[slot] == FailuresSeen)
        return 0;
    FailuresSeen = PortReinitFailures[slot];
    AdapterDown = true;
    return 1;
}

// What the cycle knows of each slot's sensor from its earlier cycles: whether
// it answered last time, and the adapter's reinitialisations by then. A
// power-on value is refused until the sensor has answered once since it
// appeared and since the adapter was last reinitialised.
struct SlotHistory {
    SerialNumber serial;
    bool answered;
    uint32_t reinits;
};
SlotHistory Slots[SENSOR_SLOTS];

int PowerOnPossible(int port, int slot, const SerialNumber& serial)
{
    const SlotHistory& seen = Slots[slot];
    return seen.serial != serial || !seen.answered || seen.reinits != PortReinitCount[static_cast<size_t>(port)];
}

// A sensor answered when its scratchpad passed the CRC; one that is off the
// bus fails the selection or reads all ones.
void RememberSlot(int port, int slot, const SerialNumber& serial, bool answered)
{
    Slots[slot] = SlotHistory{serial, answered, PortReinitCount[static_cast<size_t>(port)]};
}

// The table's record and label for the reading the cycle just took.
void KeepReading(SensorReading* reading)
{
    *reading = LastReading;
    FormatSerialText(reading->serial.data(), reading->serialText);
    int j = FindTableEntry(reading->serialText);
    reading->tableIndex = j;
    reading->place = j >= 0 ? DirectAccessTable.entries[j].place : -1;
    reading->label[0] = '\0';
    if (j >= 0)
        std::snprintf(reading->label, sizeof reading->label, "%s", DirectAccessTable.entries[j].label);
}
}  // namespace

void RunMeasurementCycle(int port, const SerialNumber* sensors, int count)
{
    uint32_t startMs = ClockMs();
    Report.previousPeriodMs = Report.cycleNumber ? startMs - LastCycleStartMs : 0;
    LastCycleStartMs = startMs;
    ++Report.cycleNumber;
    const auto slot = static_cast<size_t>(port);
    uint32_t failuresBefore = PortReinitFailures[slot];
    Report.started = WallClockNow();
    Report.startedMicros = ClockMicros();
    ZovWriteConvert(port);
    Report.conversionComplete = LastConversionComplete != 0;
    bool fileOpen = OpenMeasurementFile() != 0;
    for (int i = 0; i < count; ++i) {
        float value = 0;
        NoteFailedReinits(slot);
        int good = SampleSensorChecked(port, sensors[i].data(), &value, PowerOnPossible(port, i, sensors[i]));
        if (!NoteFailedReinits(slot) && AdapterDown && LastReading.hasWhole) {
            AdapterDown = false;
            ++Report.adapterRecoveries;
        }
        KeepReading(&Report.readings[i]);
        RememberSlot(port, i, sensors[i], LastReading.hasWhole);
        if (good) {
            PauseMs(100);
        } else if (LastReading.outcome == ReadingOutcome::PowerOnValue) {
            // The sensor answered: the pause of a good reading, no presence check.
            LogEvent("Power-on value 85.000 from %s not stored: first reading since the sensor or the adapter "
                     "started\n",
                     Report.readings[i].serialText);
            PauseMs(100);
        } else {
            LogEvent("Error reading temperature, verify device present:%d\n", NetCheckPresent(port, 0));
        }
    }
    Report.count = count;
    std::printf("\n");
    bool written = CloseMeasurementFile() != 0;
    // Without this cycle's tempu.tmp the copy and the update would spread an
    // older cycle's lines, so they wait for a cycle that could write it. A
    // tempu.tmp cut short keeps tempu.csv at the last complete cycle; its
    // whole lines still update the Pool Database (a cut last line is not stored).
    if (fileOpen) {
        if (written)
            CopyTmpToCsv();
        else
            std::printf("\n");
        UpdatePoolDatabase();
    } else {
        std::printf("\n");
    }
    // The data files are done: the outputs take the readings from here, on
    // their own thread, while the cycle goes on to its wait.
    Report.ended = WallClockNow();
    Report.durationMs = ClockMs() - startMs;
    Report.adapterOpen = PortHandle[slot] != 0 && PortReinitFailures[slot] == failuresBefore;
    // The first reinitialisation is the opening's own.
    Report.adapterReinitAttempts = PortReinitCount[slot] > 0 ? PortReinitCount[slot] - 1 : 0;
    LogOutputEvents();
    OutputsPublish(Report);
    WaitForSerialSync();
    CreateMarker("USBSyncStart");
}

namespace {
SerialNumber SensorList[SENSOR_SLOTS];

void PrintHelp()
{
    std::printf(
        "Usage: temp ADAPTER\n"
        "Records the temperatures of the 1-Wire sensors on a DS2490 adapter until CTRL-C.\n"
        "\n"
        "ADAPTER is \\\\.\\DS2490-N (the N-th DS2490 on USB; quote it in the shell), sim: (the software\n"
        "adapter with four demo sensors) or sim:PATH (a software adapter whose bus is described by PATH).\n"
        "\n"
        "temp waits for a key three times, silently: after the banner, after the listing (\"Enter to\n"
        "continue\"), and twice more after CTRL-C (after \"Closing\" and after \"Closing port\"). Press any\n"
        "key there. With standard input from /dev/null or a pipe the waits return at once.\n"
        "\n"
        "Files: temp.pd, tempu.tmp, tempu.csv and the markers in the working directory; the event log\n"
        "USBerr.txt, the place table \"Direct Access table.txt\" and the settings temp.conf beside the\n"
        "program. DS18B20 and other newer sensors: \"families = 10 28 22 3B 42\" in temp.conf.\n"
        "\n"
        "  --help     this text\n"
        "  --version  the version\n"
        "\n"
        "See man temp and docs/getting-started.md.\n");
}
}  // namespace

int RunLogger(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef __linux__
    // A cycle makes thousands of short sleeps; Linux's default timer slack
    // (50 us) would lengthen each of them. Sleeps still never end early.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    // Whatever umask we inherit, the files we create are never world-writable.
    umask(umask(0) | S_IWOTH);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintHelp();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("temp %s\n", TEMP_VERSION);
        return 0;
    }
    DriverRegisterBuiltinBackends();
    // A name no backend could open ends as an unknown adapter does, but
    // before any file or marker is made.
    if (argc == 2 && !IsAdapterNameForm(argv[1])) {
        std::printf("%s", AdapterFormsLine);
        PushErrorCode(ERROR_ACQUIRE_RESOURCE);
        while (ErrorCodePending())
            ReportErrorToStream(stdout);
        WaitForKey();
        return 1;
    }
    if (!StartUp(argc > 0 ? argv[0] : ""))
        return 1;
    WaitForKey();
    if (argc != 2) {
        std::printf("1-Wire Net name required on command line!\n (example: \"COM1\" (Win32 DS2480),\"/dev/cua0\" "
                    "(Linux DS2480),\"1\" \n(Win32 TMEX) \\\\.\\DS2490-1 \n");
        std::printf("  Here: sim: (software adapter), sim:PATH, or \\\\.\\DS2490-N; temp --help for more.\n");
        WaitForKey();
        return 1;
    }
    const char* name = argv[1];
    int port = PortOpenFirstFree(name);
    if (port < 0) {
        while (ErrorCodePending())
            ReportErrorToStream(stdout);
        WaitForKey();
        return 1;
    }
    std::printf("Port opened: %s\n", name);

    int count = FindConfiguredSensors(port, SensorList, SENSOR_SLOTS);
    ReportOtherFamilySensors();
    while (count == 0) {
        std::printf("\n\n\nERROR, device DS1920/DS1820 not found!\n");
        PauseMs(5000);
        count = FindConfiguredSensors(port, SensorList, SENSOR_SLOTS);
        ReportOtherFamilySensors();
    }
    std::printf("\n");
    std::printf("Device(s) Found: \n");
    ListSensors(SensorList, count);
    std::printf("Enter to continue\n");
    WaitForKey();
    std::printf("\n");

    Report.adapterName = name;
    OutputsOpen(Config);
    do {
        RunMeasurementCycle(port, SensorList, count);
    } while (!AbortPending());

    std::printf("\nClosing\n");
    WaitForKey();
    PortClose(port);
    int leftBehind = OutputsClose();
    LogOutputEvents();
    std::printf("Closing port %s.\n", name);
    RemoveMarker("USBPresent");
    RemoveMarker("USBSyncStart");
    WaitForKey();
    if (leftBehind) {
        // An output hung and its thread is still there: end without running
        // destructors under it. Every file is written and closed by now.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
