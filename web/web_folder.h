// temp-web's read side: which loggers' folders there are, and what each
// holds. Every file is opened read-only; the history with the history
// module's read-only reader, for one query at a time, so the logger's
// commits and checkpoints never wait for temp-web. Thread-safe: the server's
// worker threads share one WebSource.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/web_model.h"

struct WebLoggerFolder {
    std::string id;    // the folder's name ("1" for /var/lib/temp/1), made unique
    std::string path;
};

// The state of one logger as last read.
struct WebLoggerState {
    WebLoggerFolder folder;
    std::vector<WebSensor> sensors;
    int64_t lastCycleMs = 0;                  // 0: no reading yet
    int64_t periodMs = WEB_DEFAULT_PERIOD_MS;  // estimated from the history
    int failedToday = 0;                      // failed readings since local midnight (history)
    std::vector<std::string> events;          // the event log's last entries, oldest first
    std::string historyPath;                  // as temp.conf names it; "" where the history is off
    bool hasHistory = false;
    std::string historyProblem;               // why the history could not be read, if so
    std::string signature;                    // the files' sizes and times when read
};

// The files of a logger's folder, by their fixed names.
extern const char* const WEB_POOL_FILE;         // temp.pd
extern const char* const WEB_LATEST_FILE;       // tempu.csv
extern const char* const WEB_PLACE_TABLE_FILE;  // Direct Access table.txt
extern const char* const WEB_EVENT_LOG_FILE;    // USBerr.txt
extern const char* const WEB_CONFIG_FILE;       // temp.conf (the history file it names, by default
                                                // temp-history.db, relative to the folder)

// How many event-log entries a logger's state keeps.
constexpr size_t WEB_EVENTS_KEPT = 20;
// Files larger than this are read only up to it (the event log: its tail).
constexpr int64_t WEB_FILE_LIMIT = 1 << 20;

class WebSource {
public:
    // `dirs`: loggers' folders named on the command line. `roots`: folders
    // whose subfolders are loggers (the service's /var/lib/temp). `nowMs`
    // gives the wall clock (tests pass their own).
    WebSource(std::vector<std::string> dirs, std::vector<std::string> roots, std::function<int64_t()> nowMs);

    // Every logger, read again where its files changed; the folder list is
    // scanned again at most every WEB_RESCAN_MS, so a folder made later
    // appears. In path order.
    std::vector<std::shared_ptr<const WebLoggerState>> Loggers();
    // One logger by id, or null.
    std::shared_ptr<const WebLoggerState> Logger(const std::string& id);
    // Opens the history of a logger for one request (null with *error).
    HistoryReader* OpenHistory(const WebLoggerState& logger, std::string* error) const;

    // The last `count` entries of a logger's event log, oldest first.
    std::vector<std::string> Events(const WebLoggerState& logger, size_t count) const;

    int64_t Now() const { return nowMs_(); }

    static constexpr int64_t WEB_RESCAN_MS = 2000;

private:
    std::vector<WebLoggerFolder> Scan() const;
    std::shared_ptr<const WebLoggerState> Read(const WebLoggerFolder& folder,
                                               const std::shared_ptr<const WebLoggerState>& before);

    std::vector<std::string> dirs_, roots_;
    std::function<int64_t()> nowMs_;
    std::mutex mutex_;
    bool scanned_ = false;
    int64_t scannedAtMs_ = 0;
    std::vector<WebLoggerFolder> folders_;
    std::vector<std::shared_ptr<const WebLoggerState>> states_;  // parallel to folders_
    // Failed readings counted so far today, per folder path.
    struct FailedCount {
        int64_t dayStartMs = 0;
        int64_t countedToMs = 0;  // raw rows before this were counted
        int count = 0;
    };
    std::vector<std::pair<std::string, FailedCount>> failed_;
};

// One sensor's rows of `tier` in [from, to) into `thinner`. A minute series
// thinned to whole hours is read from the hour rows where those hold
// exactly the same (HistoryRolledHours), and from the minute rows only
// where they don't: a range's edge inside an hour, the hour still open,
// hours whose rows are pruned. With `viaHours` false every minute row is
// read. Read-only; 1, or 0 with *error.
int WebSelectThinned(HistoryReader* reader, HistoryTier tier, const std::string& serial, int64_t fromMs,
                     int64_t toMs, WebThinner* thinner, bool viaHours, std::string* error);

// Folder ids from paths: each path's last name, with characters outside
// [A-Za-z0-9._-] as '_', and "-2", "-3"... for names already taken.
std::vector<WebLoggerFolder> WebNameFolders(const std::vector<std::string>& paths);
