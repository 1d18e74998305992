#include "web/web_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

const char* const WEB_POOL_FILE = "temp.pd";
const char* const WEB_LATEST_FILE = "tempu.csv";
const char* const WEB_PLACE_TABLE_FILE = "Direct Access table.txt";
const char* const WEB_EVENT_LOG_FILE = "USBerr.txt";
const char* const WEB_CONFIG_FILE = "temp.conf";

namespace {

// Reads a regular file read-only: all of it, or its last `limit` bytes.
// Empty for a missing or unreadable file (or a FIFO, a folder...).
std::string ReadTail(const std::string& path, int64_t limit)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return "";
    std::string bytes;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        int64_t start = st.st_size > limit ? st.st_size - limit : 0;
        bytes.resize(static_cast<size_t>(std::min<int64_t>(st.st_size, limit)));
        size_t got = 0;
        while (got < bytes.size()) {
            ssize_t n = pread(fd, &bytes[got], bytes.size() - got, start + static_cast<int64_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        // A tail starts mid-line: drop the piece before the first line end.
        if (start > 0) {
            size_t eol = bytes.find('\n');
            bytes.erase(0, eol == std::string::npos ? bytes.size() : eol + 1);
        }
    }
    close(fd);
    return bytes;
}

// The history file of a logger's folder, as its temp.conf names it; "" for none.
std::string HistoryPathOf(const std::string& folder)
{
    std::string file = WebHistoryFile(ReadTail(folder + "/" + WEB_CONFIG_FILE, WEB_FILE_LIMIT));
    if (file.empty() || file[0] == '/')
        return file;
    return folder + "/" + file;  // the logger's working directory
}

std::string Signature(const std::string& folder, const std::string& history)
{
    std::string sig = history + ";";
    for (const std::string& path : {folder + "/" + WEB_POOL_FILE, folder + "/" + WEB_LATEST_FILE,
                                    folder + "/" + WEB_PLACE_TABLE_FILE, folder + "/" + WEB_EVENT_LOG_FILE,
                                    folder + "/" + WEB_CONFIG_FILE, history, history + "-wal"}) {
        struct stat st {};
        if (!path.empty() && stat(path.c_str(), &st) == 0)
            sig += std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "."
                   + std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ino);
        sig += ';';
    }
    return sig;
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Local midnight before `nowMs`, in UTC ms.
int64_t LocalDayStart(int64_t nowMs)
{
    time_t now = static_cast<time_t>(nowMs / 1000);
    struct tm local {};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&local)) * 1000;
}

}  // namespace

std::vector<WebLoggerFolder> WebNameFolders(const std::vector<std::string>& paths)
{
    std::vector<WebLoggerFolder> folders;
    std::set<std::string> taken;
    for (const std::string& path : paths) {
        std::string trimmed = path;
        while (trimmed.size() > 1 && trimmed.back() == '/')
            trimmed.pop_back();
        std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
        for (char& c : name)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_'
                  || c == '-'))
                c = '_';
        if (name.size() > 48)
            name.resize(48);
        if (!WebValidLoggerId(name))
            name = "logger";
        std::string id = name;
        for (int n = 2; taken.count(id); ++n)
            id = name + "-" + std::to_string(n);
        taken.insert(id);
        folders.push_back({id, trimmed});
    }
    return folders;
}

WebSource::WebSource(std::vector<std::string> dirs, std::vector<std::string> roots, std::function<int64_t()> nowMs)
    : dirs_(std::move(dirs)), roots_(std::move(roots)), nowMs_(std::move(nowMs))
{
}

std::vector<WebLoggerFolder> WebSource::Scan() const
{
    std::vector<std::string> paths = dirs_;
    for (const std::string& root : roots_) {
        std::vector<std::string> found;
        if (DIR* dir = opendir(root.c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                std::string path = root + "/" + entry->d_name;
                if (IsFolder(path))
                    found.push_back(path);
            }
            closedir(dir);
        }
        std::sort(found.begin(), found.end());
        paths.insert(paths.end(), found.begin(), found.end());
    }
    return WebNameFolders(paths);
}

std::vector<std::shared_ptr<const WebLoggerState>> WebSource::Loggers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = nowMs_();
    if (!scanned_ || now - scannedAtMs_ >= WEB_RESCAN_MS || now < scannedAtMs_) {
        scanned_ = true;
        std::vector<WebLoggerFolder> folders = Scan();
        std::vector<std::shared_ptr<const WebLoggerState>> states(folders.size());
        for (size_t i = 0; i < folders.size(); ++i)
            for (size_t j = 0; j < folders_.size(); ++j)
                if (folders_[j].path == folders[i].path && folders_[j].id == folders[i].id)
                    states[i] = states_[j];
        folders_ = std::move(folders);
        states_ = std::move(states);
        scannedAtMs_ = now;
    }
    for (size_t i = 0; i < folders_.size(); ++i)
        states_[i] = Read(folders_[i], states_[i]);
    return states_;
}

std::shared_ptr<const WebLoggerState> WebSource::Logger(const std::string& id)
{
    for (const auto& state : Loggers())
        if (state->folder.id == id)
            return state;
    return nullptr;
}

HistoryReader* WebSource::OpenHistory(const WebLoggerState& logger, std::string* error) const
{
    const std::string& path = logger.historyPath;
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        *error = "logger " + logger.folder.id + " keeps no history ("
                 + (path.empty() ? "history = off in its temp.conf" : "no " + path) + ")";
        return nullptr;
    }
    return HistoryOpenReader(path, error);
}

std::vector<std::string> WebSource::Events(const WebLoggerState& logger, size_t count) const
{
    // An entry is one line of rarely over 300 bytes; the tail read is bounded.
    int64_t bytes = std::min<int64_t>(WEB_FILE_LIMIT, static_cast<int64_t>(count) * 512 + 4096);
    return WebLastLines(ReadTail(logger.folder.path + "/" + WEB_EVENT_LOG_FILE, bytes), count);
}

std::shared_ptr<const WebLoggerState> WebSource::Read(const WebLoggerFolder& folder,
                                                      const std::shared_ptr<const WebLoggerState>& before)
{
    std::string history = HistoryPathOf(folder.path);
    std::string signature = Signature(folder.path, history);
    int64_t now = nowMs_();
    int64_t dayStart = LocalDayStart(now);
    auto counted = std::find_if(failed_.begin(), failed_.end(), [&](const auto& f) { return f.first == folder.path; });
    if (counted == failed_.end()) {
        failed_.push_back({folder.path, FailedCount{}});
        counted = failed_.end() - 1;
    }
    // Unchanged files: the state stands (a new day still zeroes the count).
    if (before && before->signature == signature && counted->second.dayStartMs == dayStart)
        return before;

    auto state = std::make_shared<WebLoggerState>();
    state->folder = folder;
    state->signature = signature;
    state->historyPath = history;
    WebFolderData data;
    data.logger = folder.id;
    data.pool = WebParseMeasurements(ReadTail(folder.path + "/" + WEB_POOL_FILE, WEB_FILE_LIMIT));
    data.latest = WebParseMeasurements(ReadTail(folder.path + "/" + WEB_LATEST_FILE, WEB_FILE_LIMIT));
    data.places = WebParsePlaceTable(ReadTail(folder.path + "/" + WEB_PLACE_TABLE_FILE, WEB_FILE_LIMIT));
    state->events = Events(*state, WEB_EVENTS_KEPT);

    std::string error;
    struct stat st {};
    if (!history.empty() && stat(history.c_str(), &st) == 0) {
        if (HistoryReader* reader = HistoryOpenReader(history, &error)) {
            state->hasHistory = true;
            if (!HistoryListSensors(reader, &data.history, &error))
                state->historyProblem = error;
            // The cycle period from the latest half hour of one sensor's readings.
            if (!data.history.empty()) {
                const HistorySensor& first = data.history.front();
                HistoryQuery query;
                query.serial = first.serial;
                query.fromMs = first.lastTimeMs - 30 * 60000;
                std::vector<int64_t> times;
                HistorySelectEach(
                    reader, query,
                    [&](const HistoryPoint& p) {
                        times.push_back(p.timeMs);
                        return times.size() < 4000 ? 1 : 0;
                    },
                    &error);
                state->periodMs = WebCyclePeriod(times);
            }
            // Failed readings today: counted on from where the last read stopped.
            FailedCount& f = counted->second;
            if (f.dayStartMs != dayStart) {
                f = FailedCount{};
                f.dayStartMs = dayStart;
                f.countedToMs = dayStart;
            }
            HistoryQuery query;
            query.fromMs = f.countedToMs;
            int64_t newest = f.countedToMs;
            HistorySelectEach(
                reader, query,
                [&](const HistoryPoint& p) {
                    if (p.outcome != HISTORY_GOOD)
                        ++f.count;
                    newest = std::max(newest, p.timeMs + 1);
                    return 1;
                },
                &error);
            f.countedToMs = newest;
            state->failedToday = f.count;
            HistoryCloseReader(reader);
        } else {
            state->historyProblem = error;
        }
    }
    state->sensors = WebMergeSensors(data);
    state->lastCycleMs = WebLastCycleMs(state->sensors);
    return state;
}

int WebSelectThinned(HistoryReader* reader, HistoryTier tier, const std::string& serial, int64_t fromMs,
                     int64_t toMs, WebThinner* thinner, bool viaHours, std::string* error)
{
    auto add = [thinner](const HistoryValues& v) {
        thinner->Add(WebPoint{v.timeMs, v.min, v.mean, v.max, v.count, v.failed});
        return 1;
    };
    if (tier != HISTORY_MINUTE || !thinner->WholeHours() || !viaHours)
        return HistorySelectValues(reader, tier, serial, fromMs, toMs, add, error);
    int64_t hoursFrom = 0, hoursTo = 0;
    if (!HistoryRolledHours(reader, serial, &hoursFrom, &hoursTo, error))
        return 0;
    // The whole hours of the range that the hour rows hold; minutes before and after.
    int64_t firstWhole = WebHourStart(fromMs) == fromMs ? fromMs : WebHourStart(fromMs) + WEB_HOUR_MS;
    int64_t a = std::max(hoursFrom, firstWhole);
    int64_t b = std::min(hoursTo, WebHourStart(toMs));
    if (a >= b)
        return HistorySelectValues(reader, HISTORY_MINUTE, serial, fromMs, toMs, add, error);
    return HistorySelectValues(reader, HISTORY_MINUTE, serial, fromMs, a, add, error)
           && HistorySelectValues(reader, HISTORY_HOUR, serial, a, b, add, error)
           && HistorySelectValues(reader, HISTORY_MINUTE, serial, b, toMs, add, error);
}
