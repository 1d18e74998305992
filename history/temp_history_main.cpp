// temp-history: gets the logger's history out of temp-history.db and keeps
// the file in shape over the years.
//   temp-history export [--db FILE] [--since WHEN] [--until WHEN] [--place N | --serial S] [--tier raw|minute|hour]
//   temp-history info|check|compact [--db FILE]
//   temp-history backup [--db FILE] COPY
//   temp-history forget [--db FILE] [--yes] SERIAL
// Exit 0 on success, 1 for a missing, foreign or damaged database (or a
// failed query or write, or a removal not confirmed), 2 for bad arguments.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "history/history.h"
#include "history/history_text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
const char kDefaultDb[] = "temp-history.db";

const char kUsage[] =
    "usage: temp-history export [--db FILE] [--since WHEN] [--until WHEN] [--place N | --serial S]\n"
    "                           [--tier raw|minute|hour]\n"
    "       temp-history info [--db FILE]\n"
    "       temp-history check [--db FILE]\n"
    "       temp-history backup [--db FILE] COPY\n"
    "       temp-history compact [--db FILE]\n"
    "       temp-history forget [--db FILE] [--yes] SERIAL\n"
    "       temp-history --help | --version\n"
    "WHEN is a date or date and time in UTC or with its offset (2026-12-08, 2026-12-08T10:30,\n"
    "2026-12-08T10:30:15+01:00) or a span back from now (90s, 30m, 24h, 7d, 2w).\n"
    "The default FILE is temp-history.db in the working directory.\n";

const char kHelp[] =
    "temp-history reads the history that temp keeps of every reading (temp-history.db in\n"
    "the logger's working directory; the service's is /var/lib/temp/N/temp-history.db).\n"
    "\n"
    "  export   CSV of the readings (raw) or the minute or hour rollups, in time order\n"
    "  info     rows and bytes per tier, and every sensor's latest reading\n"
    "  check    SQLite's integrity check\n"
    "  backup   a consistent copy in the new file COPY, also while the logger writes\n"
    "  compact  gives the free pages of the file back to the disk\n"
    "  forget   removes every row of a replaced sensor, after a question on the\n"
    "           terminal (or at once with --yes)\n"
    "\n"
    "Exit status: 0 done, 1 the database can't be read or changed, 2 bad arguments.\n"
    "More: man temp-history\n\n";

struct Options {
    std::string command;
    std::string db = kDefaultDb;
    bool dbGiven = false;
    HistoryQuery query;
    std::string operand;  // backup's COPY, forget's SERIAL
    bool yes = false;
};

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "temp-history: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string UpperCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsSerial(const std::string& text)
{
    if (text.size() != 16)
        return false;
    for (char c : text)
        if (!std::strchr("0123456789ABCDEFabcdef", c))
            return false;
    return true;
}

// Fills *options from the arguments; 0 (after printing the usage, or the
// help or version asked for) when the program is to stop with *exitCode.
int ParseArguments(int argc, char** argv, Options* options, int* exitCode)
{
    if (argc < 2)
        return *exitCode = Usage("no command given"), 0;
    options->command = argv[1];
    const std::string& command = options->command;
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s%s", kHelp, kUsage);
        *exitCode = std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
        return 0;
    }
    if (command == "--version") {
        std::printf("temp-history %s\n", TEMP_VERSION);
        *exitCode = std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
        return 0;
    }
    bool exporting = command == "export";
    bool takesOperand = command == "backup" || command == "forget";
    if (!exporting && !takesOperand && command != "info" && command != "check" && command != "compact")
        return *exitCode = Usage("unknown command \"" + command + "\""), 0;
    const int64_t now = NowMs();
    bool haveSerial = false, havePlace = false;
    for (int i = 2; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::printf("%s", kUsage);
            return *exitCode = kExitOk, 0;
        }
        if (takesOperand && (option.empty() || option[0] != '-' || option == "-")) {
            if (!options->operand.empty())
                return *exitCode = Usage(command + " takes one " + (command == "backup" ? "COPY" : "SERIAL")
                                         + ", not also \"" + option + "\""), 0;
            options->operand = option;
            continue;
        }
        if (command == "forget" && option == "--yes") {
            options->yes = true;
            continue;
        }
        if (option != "--db" && !exporting)
            return *exitCode = Usage(command + " takes only --db" + (command == "forget" ? " and --yes" : "")
                                     + ", not \"" + option + "\""), 0;
        if (i + 1 >= argc)
            return *exitCode = Usage("\"" + option + "\" needs a value"), 0;
        std::string value = argv[++i];
        HistoryQuery& q = options->query;
        if (option == "--db") {
            options->db = value;
            options->dbGiven = true;
        } else if (option == "--since" || option == "--until") {
            int64_t* target = option == "--since" ? &q.fromMs : &q.toMs;
            if (!HistoryParseWhen(value, now, target))
                return *exitCode = Usage("bad time \"" + value + "\" for " + option
                                         + " (no such date, or not one of the forms below)"), 0;
        } else if (option == "--place") {
            char* end = nullptr;
            long place = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || place < 0 || place > 1000000)
                return *exitCode = Usage("bad place number \"" + value + "\""), 0;
            q.place = static_cast<int>(place);
            havePlace = true;
        } else if (option == "--serial") {
            if (!IsSerial(value))
                return *exitCode = Usage("a serial is 16 hex digits, not \"" + value + "\""), 0;
            q.serial = UpperCase(value);
            haveSerial = true;
        } else if (option == "--tier") {
            int tier = HistoryTierFromName(value);
            if (tier < 0)
                return *exitCode = Usage("unknown tier \"" + value + "\" (raw, minute or hour)"), 0;
            q.tier = static_cast<HistoryTier>(tier);
        } else {
            return *exitCode = Usage("unknown option \"" + option + "\""), 0;
        }
    }
    if (haveSerial && havePlace)
        return *exitCode = Usage("give --place or --serial, not both"), 0;
    if (options->query.fromMs >= options->query.toMs)
        return *exitCode = Usage("--since must come before --until"), 0;
    if (command == "backup" && options->operand.empty())
        return *exitCode = Usage("backup needs the name of the copy"), 0;
    if (command == "forget") {
        if (!IsSerial(options->operand))
            return *exitCode = Usage(options->operand.empty() ? std::string("forget needs the sensor's serial")
                                                              : "a serial is 16 hex digits, not \""
                                                                    + options->operand + "\""),
                   0;
        options->operand = UpperCase(options->operand);
    }
    return 1;
}

int WriteOut(const std::string& text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        std::fprintf(stderr, "temp-history: writing the output failed.\n");
        return 0;
    }
    return 1;
}

// Rows go out as they are read, in blocks of 64 KiB: memory stays the same
// whatever the range.
int Export(HistoryReader* reader, const HistoryQuery& query)
{
    std::string out;
    HistoryCsvHeader(query.tier, &out);
    constexpr size_t kChunk = 1 << 16;
    bool written = true;
    std::string error;
    int ok = HistorySelectEach(reader, query, [&](const HistoryPoint& point) {
        HistoryCsvRow(query.tier, point, &out);
        if (out.size() >= kChunk) {
            written = WriteOut(out);
            out.clear();
        }
        return written ? 1 : 0;
    }, &error);
    if (!written)
        return kExitFailed;
    if (!ok) {
        std::fprintf(stderr, "temp-history: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!WriteOut(out) || std::fflush(stdout) != 0)
        return kExitFailed;
    return kExitOk;
}

std::string TimeOrDash(int64_t timeMs)
{
    return timeMs ? HistoryFormatTime(timeMs) : std::string("-");
}

int Info(HistoryReader* reader)
{
    HistoryTierInfo tiers[HISTORY_TIER_COUNT];
    std::vector<HistorySensor> sensors;
    std::string error;
    if (!HistoryInfo(reader, tiers, &error) || !HistoryListSensors(reader, &sensors, &error)) {
        std::fprintf(stderr, "temp-history: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("%-7s %10s %-24s %-24s %12s\n", "tier", "rows", "first", "last", "bytes");
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        const HistoryTierInfo& t = tiers[tier];
        std::printf("%-7s %10lld %-24s %-24s %12lld\n", HistoryTierName(static_cast<HistoryTier>(tier)),
                    static_cast<long long>(t.rows), TimeOrDash(t.firstMs).c_str(), TimeOrDash(t.lastMs).c_str(),
                    static_cast<long long>(t.bytes));
    }
    std::printf("\n%-16s %5s %-24s %-22s %-24s %-9s %s\n", "serial", "place", "last reading", "outcome",
                "last good", "extended", "label");
    for (const HistorySensor& s : sensors) {
        std::string extended = s.lastGoodMs ? HistoryFormatValue(s.lastExtended) : std::string("-");
        std::string place = s.place >= 0 ? std::to_string(s.place) : std::string("-");
        std::printf("%-16s %5s %-24s %-22s %-24s %-9s %s\n", s.serial.c_str(), place.c_str(),
                    TimeOrDash(s.lastTimeMs).c_str(), HistoryOutcomeName(s.lastOutcome),
                    TimeOrDash(s.lastGoodMs).c_str(), extended.c_str(), s.label.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int Failed(const std::string& error)
{
    std::fprintf(stderr, "temp-history: %s\n", error.c_str());
    return kExitFailed;
}

std::string Mib(int64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

int Backup(const Options& options)
{
    std::string error;
    if (!HistoryBackup(options.db, options.operand, &error))
        return Failed(error);
    std::printf("%s copied to %s\n", options.db.c_str(), options.operand.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int Compact(const Options& options)
{
    HistoryCompaction result{};
    std::string error;
    if (!HistoryCompact(options.db, &result, &error))
        return Failed(error);
    std::printf("%s: %s before, %s after, %s given back\n", options.db.c_str(), Mib(result.bytesBefore).c_str(),
                Mib(result.bytesAfter).c_str(), Mib(std::max<int64_t>(0, result.bytesBefore - result.bytesAfter)).c_str());
    if (result.checkpointBusy)
        std::printf("A reader kept the write-ahead log from being emptied; the logger's next checkpoints do it.\n");
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

std::string RowCounts(const int64_t rows[HISTORY_TIER_COUNT])
{
    return std::to_string(rows[HISTORY_RAW]) + " raw readings, " + std::to_string(rows[HISTORY_MINUTE])
           + " minute and " + std::to_string(rows[HISTORY_HOUR]) + " hour rows";
}

// Asks on the terminal; 1 for "y" or "yes".
bool Confirmed(const std::string& question)
{
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    std::string a = answer;
    while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' '))
        a.pop_back();
    return a == "y" || a == "Y" || a == "yes" || a == "YES" || a == "Yes";
}

int Forget(HistoryReader* reader, const Options& options)
{
    const std::string& serial = options.operand;
    int64_t rows[HISTORY_TIER_COUNT] = {};
    std::string error;
    int counted = HistorySensorRows(reader, serial, rows, &error);
    HistoryCloseReader(reader);
    if (!counted)
        return Failed(error);
    if (rows[HISTORY_RAW] + rows[HISTORY_MINUTE] + rows[HISTORY_HOUR] == 0)
        return Failed("No rows of " + serial + " in " + options.db + " (temp-history info lists the sensors)");
    const std::string what = RowCounts(rows) + " of " + serial + " from " + options.db;
    if (!options.yes) {
        if (!isatty(STDIN_FILENO)) {
            std::fprintf(stderr,
                         "temp-history: forget would remove %s; without a terminal to ask on, confirm with --yes. "
                         "Nothing was removed.\n",
                         what.c_str());
            return kExitUsage;
        }
        if (!Confirmed("Remove " + what + "? This can't be undone.")) {
            std::fprintf(stderr, "Nothing was removed.\n");
            return kExitFailed;
        }
    }
    int64_t removed[HISTORY_TIER_COUNT] = {};
    if (!HistoryForget(options.db, serial, removed, &error))
        return Failed(error);
    std::printf("Removed %s of %s. \"temp-history compact\" gives the space back to the disk.\n",
                RowCounts(removed).c_str(), serial.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

// Where a database was looked for, and how to name another: added to the
// sentence of a database that can't be opened.
std::string WhereToLook(const Options& options)
{
    std::string folder;
    size_t slash = options.db.rfind('/');
    if (slash == std::string::npos || options.db[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        folder = cwd ? cwd : ".";
        std::free(cwd);
        if (slash != std::string::npos)
            folder += "/" + options.db.substr(0, slash);
    } else {
        folder = slash == 0 ? "/" : options.db.substr(0, slash);
    }
    return " (looked in " + folder + "; the logger keeps temp-history.db in its working directory, the service in "
           "/var/lib/temp/N: " + (options.dbGiven ? "check the path given to --db)" : "name it with --db FILE)");
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    int exitCode = kExitOk;
    if (!ParseArguments(argc, argv, &options, &exitCode))
        return exitCode;
    std::string error;
    if (options.command == "backup")
        return Backup(options);
    if (options.command == "compact")
        return Compact(options);
    if (options.command == "check") {
        // Also a file of a newer version than this program reads.
        if (!HistoryCheckFile(options.db, &error))
            return Failed(error.rfind("No history database", 0) == 0 ? error + WhereToLook(options) : error);
        std::printf("%s: ok\n", options.db.c_str());
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
    }
    HistoryReader* reader = HistoryOpenReader(options.db, &error);
    if (!reader)
        return Failed(error + WhereToLook(options));
    if (options.command == "forget")
        return Forget(reader, options);
    if (options.command == "export")
        exitCode = Export(reader, options.query);
    else
        exitCode = Info(reader);
    HistoryCloseReader(reader);
    return exitCode;
}
