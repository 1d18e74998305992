// The console logger: start-up, the place table and the Pool Database, the
// reading of the sensors, the measurement files, the synchronisation markers,
// the event log, and the listing and measurement cycle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "onewire/network.h"
#include "outputs/outputs.h"
#include "support/clock.h"

// ---- Module state -------------------------------------------------------

// The program's directory (argv[0] up to and including its last separator);
// empty means the working directory.
extern std::string AppDirectory;
// AppDirectory + "USBerr.txt".
extern std::string ErrorFilePath;
// Text of the last sensor listed (16 hex digits), named by the convert messages.
extern char SerialText[17];
// tempu.tmp while the sensors are read; null when it could not be opened.
extern FILE* MeasurementFile;

constexpr int TABLE_CAPACITY = 50;
constexpr int TABLE_SERIAL_CHARS = 16;
constexpr int POOL_RECORD_TEXT = 98;   // characters before CR LF
constexpr int POOL_RECORD_SIZE = 100;  // bytes per record
constexpr int POOL_INITIAL_RECORDS = 41;
constexpr unsigned ConversionWaitMs = 850;

struct TableEntry {
    char serial[TABLE_SERIAL_CHARS + 1];
    int place;
    char label[TABLE_LABEL_CHARS + 1];
};
struct DirectAccessTableState {
    TableEntry entries[TABLE_CAPACITY];
    int lastIndex;  // -1 when empty
};
extern DirectAccessTableState DirectAccessTable;

// ---- Text helpers (pure) ------------------------------------------------

// "%.3f" with ties rounded away from zero (glibc rounds them to even).
std::string FormatFixed3(double value);
// "Www Mmm DD hh:mm:ss.mmm " in local time, English names, zero-padded day.
std::string FormatEventStamp(WallTime when);
// Local date MM/DD/YY and time HH:MM:SS.
std::string FormatLocalDate(time_t seconds);
std::string FormatLocalTime(time_t seconds);
// Sixteen upper-case hex digits, byte 0 first. `text` holds at least 17 chars.
void FormatSerialText(const uint8_t serial[8], char* text);
// Writes text to the stream with every "\n" written as CR LF. 1 on success.
int WriteCrLf(FILE* stream, const char* text, size_t length);
// argv[0] cut after its last path separator ('/', and '\\' on Windows).
std::string AppDirectoryFrom(const char* argv0);
// 1 when a registered driver backend takes `name` (\\.\DS2490-N, "sim:",
// "sim:PATH" among the built-in ones), with N a number for the USB adapter's
// names. Opens nothing.
int IsAdapterNameForm(const char* name);
// The line naming the adapter name forms, with its line end.
extern const char* const AdapterFormsLine;
// `path` made absolute against the working directory (unchanged when it is).
std::string AbsolutePath(const std::string& path);

// ---- Event log ----------------------------------------------------------

// Stamps the entry, appends it to ErrorFilePath (CR LF line ends) and echoes it
// to the console. When the log can't be opened, says so on the console. Returns 0.
int LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes the entries the outputs queued on their thread (OutputsLogEvent).
void LogOutputEvents();
// Logs that `path` could not be handled ("Can't <action> <path>: <reason>\n"),
// with the reason from errno.
void LogFileFailure(const char* action, const std::string& path);

// ---- Pool Database and Direct Access table ------------------------------

// Creates temp.pd with 41 blank records unless it exists.
void CreatePoolDatabase();
// Loads the table from `path`, echoing each entry; a missing file is an empty table.
void LoadDirectAccessTable(const std::string& path);
// Parses table text (the scan rules of the table file) into DirectAccessTable,
// echoing each entry. Returns the number of entries ignored past the capacity
// (counted as read attempts past the 50th entry).
int ParseDirectAccessTable(const std::string& text);
// The table lines that will not read as the user meant: more than three
// fields (a label with blanks), or a serial that is not 16 upper-case hex
// digits. One message per such line, naming `path` and the line, without a
// line end. Pure: parsing still follows the scan rules above.
std::vector<std::string> CheckDirectAccessTableLines(const std::string& text, const std::string& path);
// Empties the table (no entries, lastIndex -1).
void ClearDirectAccessTable();
// Index of the first entry whose serial equals the first 16 characters of
// `serialText`, or -1.
int FindTableEntry(const char* serialText);
// Appends an entry with that serial (place 0, empty label). The new index, or
// -1 when the table is full.
int AddTableEntry(const char* serialText);
// The 98-character record text plus CR LF for a measurement line.
std::string MakePoolRecord(const std::string& line);
// Merges the lines of tempu.tmp into temp.pd.
void UpdatePoolDatabase();
// 1 when temp.pd exists in the working directory and can be opened for
// writing; else 0 with the system's reason in *reason.
int PoolDatabaseWritable(std::string* reason);

// ---- Conversion and reading --------------------------------------------

// Filled by SampleSensor for the sensor it just read (and by the cycle for
// what the reading can't know), then copied into the cycle's report.
extern SensorReading LastReading;
// Set by ZovWriteConvert: 1 when the bus was released after the convert wait.
extern int LastConversionComplete;

// Convert T to every sensor (Skip ROM) with the strong pull-up, the conversion
// wait, then the line read into LastConversionComplete; failures logged. Returns 1.
int ZovWriteConvert(int port);
// SampleSensorChecked without the power-on check.
int SampleSensor(int port, const uint8_t* serial, float* value);
// `length` bytes as upper-case hex on the console, a line end when flag is 0. Returns 1.
int PrintHexBytes(const uint8_t* bytes, int length, int flag);
// Whole degrees from scratchpad bytes 0 and 1 (sign from bit 0 of the high byte).
float WholeDegrees(uint8_t low, uint8_t high);
// Extended resolution; only for countPerC != 0.
float ExtendedDegrees(float whole, uint8_t countRemain, uint8_t countPerC);

// The temperature sensor families the logger can read: 0x10 (DS1820/DS1920/
// DS18S20), 0x28 (DS18B20), 0x22 (DS1822), 0x3B (DS1825), 0x42 (DS28EA00).
// 1 for these, switched on in temp.conf or not.
int IsTemperatureFamily(uint8_t family);
// Whole and extended degrees from a nine-byte scratchpad. 0x10: the DS1820
// rule (WholeDegrees, ExtendedDegrees); returns 0 with the whole degrees in
// both when COUNT_PER_C is 0. The other families: extended is the 12-bit
// two's complement register / 16 with the bits the resolution (byte 4,
// bits 6-5) leaves undefined cleared, whole is that rounded down to whole
// degrees. Returns 0 (both 0) for a family that is not a temperature family.
int DecodeTemperature(uint8_t family, const uint8_t pad[9], double* whole, double* extended);
// 1 when the scratchpad of a family other than 0x10 holds the power-on value
// 0x0550 (+85 degrees).
int IsPowerOnValue(uint8_t family, const uint8_t pad[9]);
// SampleSensor for the cycle: with powerOnPossible set (the sensor's first
// cycle, or the adapter was reinitialised since its last reading) a power-on
// value of a family other than 0x10 is refused: outcome PowerOnValue,
// nothing written, result 0. Otherwise 1 with *value the extended degrees and
// the line on the console and in tempu.tmp, or 0 with LastReading.outcome
// saying why (the line is written when the scratchpad came back sound).
int SampleSensorChecked(int port, const uint8_t* serial, float* value, int powerOnPossible);

// ---- Measurement files -------------------------------------------------

// Opens tempu.tmp for this cycle (truncating). 1 when open.
int OpenMeasurementFile();
// Closes tempu.tmp. 1 when every line reached it; 0 (logged) when a write
// failed or no file was open.
int CloseMeasurementFile();
// Stamps LastReading with the wall clock and writes "seconds.ms," and the
// bytes as hex (a "," after them when flag is set) to tempu.tmp. Returns 1.
int WriteStampedHex(const uint8_t* bytes, int length, int flag);
// Copies tempu.tmp to tempu.csv (through tempu.csv.new and a rename). Returns 0.
// Only for a tempu.tmp written completely: a short one would replace good lines.
int CopyTmpToCsv();

// ---- Synchronisation markers --------------------------------------------

// 1 when a file `name` exists in the working directory.
int MarkerExists(const char* name);
// Creates the empty file `name`; a failure is logged.
void CreateMarker(const char* name);
// Removes a marker; one that isn't there is no failure, whatever unlink says.
void RemoveMarker(const char* name);
// The end-of-cycle pause: 1.7 s, or with "SerialPresent" up to 7.25 s for
// "SerialSyncStart" (removed when seen); the console line ends with the time.
void WaitForSerialSync();

// ---- Listing and cycle --------------------------------------------------

struct FamilyName {
    uint8_t family;
    const char* name;  // exactly 9 characters
};
extern const FamilyName FamilyNameTable[];
extern const int FamilyNameCount;
// The table's name for a family, or nullptr.
const char* FamilyNameOf(uint8_t family);
// 1 for the families the table names "Not Slave" (adapters, not sensors).
int IsNotSlaveFamily(uint8_t family);

// Searches the bus for `family` from where the last search stopped: at most
// capacity - 1 sensors into `sensors`; the count found.
int FindSensors(int port, SerialNumber* sensors, int family, int capacity);
// FindSensors for each family of Config.families in turn, into the same
// slots in that order; at most capacity - 1 sensors in all.
int FindConfiguredSensors(int port, SerialNumber* sensors, int capacity);
// Temperature sensors of families temp.conf does not switch on, seen by the
// searches of FindSensors since the last ClearOtherFamilySensors (each
// registration number once).
void ClearOtherFamilySensors();
// How many of those belong to `family`.
int OtherFamilySensorCount(uint8_t family);
// The event-log text (with its line end) for sensors of families that are
// not switched on: how many of each, and the families line to put in
// `confPath`; empty when counts[] (indexed by family code) holds none.
std::string OtherFamiliesHint(const int counts[256], const uint8_t* families, int familyCount,
                              const std::string& confPath);
// Logs OtherFamiliesHint for what the searches saw, once per run.
void ReportOtherFamilySensors();
// Lists the sensors against the table, adding missing ones.
void ListSensors(const SerialNumber* sensors, int count);
// One measurement cycle over the listed sensors: convert, read, measurement
// files, Pool Database, synchronisation wait and the "USBSyncStart" marker.
void RunMeasurementCycle(int port, const SerialNumber* sensors, int count);

// Start-up steps 1 to 8 (paths, log, database, table, marker, banner).
// 0 when the working directory can't hold temp.pd (said on the console and
// in the event log, before the marker and the banner); else 1.
int StartUp(const char* argv0);
// The whole program; returns the exit status.
int RunLogger(int argc, char** argv);
