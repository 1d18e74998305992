// temp-history: gets the logger's history out of temp-history.db.
//   temp-history export [--db FILE] [--since WHEN] [--until WHEN] [--place N | --serial S] [--tier raw|minute|hour]
//   temp-history info [--db FILE]
//   temp-history check [--db FILE]
// Exit 0 on success, 1 for a missing, foreign or damaged database (or a
// failed query or write), 2 for bad arguments.
#include <chrono>
#include <cstdio>
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
    "WHEN is a UTC date or date and time (2026-12-08, 2026-12-08T10:30) or a span back from now\n"
    "(30m, 24h, 7d, 2w). The default FILE is temp-history.db in the working directory.\n";

struct Options {
    std::string command;
    std::string db = kDefaultDb;
    HistoryQuery query;
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

bool IsSerial(const std::string& text)
{
    if (text.size() != 16)
        return false;
    for (char c : text)
        if (!std::strchr("0123456789ABCDEFabcdef", c))
            return false;
    return true;
}

// Fills *options from the arguments; 0 (after printing the usage) for bad ones.
int ParseArguments(int argc, char** argv, Options* options, int* exitCode)
{
    if (argc < 2)
        return *exitCode = Usage("no command given"), 0;
    options->command = argv[1];
    bool exporting = options->command == "export";
    if (!exporting && options->command != "info" && options->command != "check")
        return *exitCode = Usage("unknown command \"" + options->command + "\""), 0;
    const int64_t now = NowMs();
    bool haveSerial = false, havePlace = false;
    for (int i = 2; i < argc; ++i) {
        std::string option = argv[i];
        if (option != "--db" && !exporting)
            return *exitCode = Usage(options->command + " takes only --db, not \"" + option + "\""), 0;
        if (i + 1 >= argc)
            return *exitCode = Usage("\"" + option + "\" needs a value"), 0;
        std::string value = argv[++i];
        HistoryQuery& q = options->query;
        if (option == "--db") {
            options->db = value;
        } else if (option == "--since" || option == "--until") {
            int64_t* target = option == "--since" ? &q.fromMs : &q.toMs;
            if (!HistoryParseWhen(value, now, target))
                return *exitCode = Usage("bad time \"" + value + "\" for " + option), 0;
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
            for (char& c : value)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            q.serial = value;
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

int Export(HistoryReader* reader, const HistoryQuery& query)
{
    std::vector<HistoryPoint> points;
    std::string error;
    if (!HistorySelect(reader, query, &points, &error)) {
        std::fprintf(stderr, "temp-history: %s\n", error.c_str());
        return kExitFailed;
    }
    std::string out;
    HistoryCsvHeader(query.tier, &out);
    constexpr size_t kChunk = 1 << 16;
    for (const HistoryPoint& point : points) {
        HistoryCsvRow(query.tier, point, &out);
        if (out.size() >= kChunk) {
            if (!WriteOut(out))
                return kExitFailed;
            out.clear();
        }
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

int Check(HistoryReader* reader, const std::string& path)
{
    std::string error;
    if (!HistoryCheck(reader, &error)) {
        std::fprintf(stderr, "temp-history: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("%s: ok\n", path.c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    int exitCode = kExitOk;
    if (!ParseArguments(argc, argv, &options, &exitCode))
        return exitCode;
    std::string error;
    HistoryReader* reader = HistoryOpenReader(options.db, &error);
    if (!reader) {
        std::fprintf(stderr, "temp-history: %s\n", error.c_str());
        return kExitFailed;
    }
    if (options.command == "export")
        exitCode = Export(reader, options.query);
    else if (options.command == "info")
        exitCode = Info(reader);
    else
        exitCode = Check(reader, options.db);
    HistoryCloseReader(reader);
    return exitCode;
}
