// The Direct Access table (the user's place list) and the Pool Database
// temp.pd (one 100-byte record per known sensor).
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include "logger/logger.h"

DirectAccessTableState DirectAccessTable = {{}, -1};

namespace {
const char* const PoolFileName = "temp.pd";
const char* const TmpFileName = "tempu.tmp";

// A cursor over the table text that reads like the scan "%16s%d%s".
struct TableScanner {
    const std::string& text;
    size_t at = 0;

    void SkipBlanks()
    {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
    }
    bool AtEnd()
    {
        SkipBlanks();
        return at >= text.size();
    }
    // Up to `limit` non-blank characters; the rest of a longer token stays.
    std::string Word(size_t limit)
    {
        SkipBlanks();
        size_t start = at;
        while (at < text.size() && at - start < limit && !std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        return text.substr(start, at - start);
    }
    // A signed decimal; false (nothing consumed) when none starts here.
    bool Number(int* value)
    {
        SkipBlanks();
        size_t pos = at;
        bool negative = false;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            negative = text[pos++] == '-';
        if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos])))
            return false;
        long long magnitude = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
            if (magnitude <= static_cast<long long>(INT_MAX) + 1)
                magnitude = magnitude * 10 + (text[pos] - '0');
            ++pos;
        }
        long long signed_value = negative ? -magnitude : magnitude;
        if (signed_value > INT_MAX)
            signed_value = INT_MAX;
        if (signed_value < INT_MIN)
            signed_value = INT_MIN;
        *value = static_cast<int>(signed_value);
        at = pos;
        return true;
    }
};

void CopyText(char* target, size_t capacity, const std::string& source)
{
    size_t length = source.size() < capacity - 1 ? source.size() : capacity - 1;
    std::memcpy(target, source.data(), length);
    target[length] = '\0';
}

// A file's whole content; false when it can't be read.
bool ReadWholeFile(const std::string& path, std::string* content)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    content->clear();
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content->append(buffer, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}
#ifdef _WIN32
// pread and pwrite: one transfer at the given offset through the file's
// handle, which leaves the descriptor's position alone.
ssize_t PositionedIo(int fd, void* data, size_t size, off_t offset, bool write)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD done = 0;
    BOOL ok = write ? WriteFile(handle, data, static_cast<DWORD>(size), &done, &at)
                    : ReadFile(handle, data, static_cast<DWORD>(size), &done, &at);
    if (!ok) {
        if (!write && GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        errno = write && GetLastError() == ERROR_DISK_FULL ? ENOSPC : EIO;
        return -1;
    }
    return static_cast<ssize_t>(done);
}
ssize_t pread(int fd, void* data, size_t size, off_t offset) { return PositionedIo(fd, data, size, offset, false); }
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    return PositionedIo(fd, const_cast<void*>(data), size, offset, true);
}
int ftruncate(int fd, off_t length) { return _chsize_s(fd, length) == 0 ? 0 : -1; }
#endif

// Writes one record at `offset`. A write the system cuts short (a full disk,
// a file-size limit) is undone: the bytes it replaced are put back and a file
// it grew is cut back to its old length, so the record is all old or all new.
// 1 when the whole record is written; 0 with errno set to the system's reason.
int WriteRecordAt(int pool, const std::string& record, off_t offset)
{
    // What the record replaces, to put back if the write is cut short.
    struct stat info;
    off_t oldLength = fstat(pool, &info) == 0 ? info.st_size : -1;
    std::string old(record.size(), '\0');
    ssize_t had = pread(pool, &old[0], old.size(), offset);
    old.resize(had > 0 ? static_cast<size_t>(had) : 0);

    ssize_t wrote = pwrite(pool, record.data(), record.size(), offset);
    if (wrote == static_cast<ssize_t>(record.size()))
        return 1;
    if (wrote <= 0) {
        if (wrote == 0)
            errno = EIO;
        return 0;
    }
    // Cut short: the rest, written again, either completes the record or
    // fails with the reason the short write did not give.
    size_t done = static_cast<size_t>(wrote);
    while (done < record.size()) {
        ssize_t more = pwrite(pool, record.data() + done, record.size() - done, offset + static_cast<off_t>(done));
        if (more <= 0) {
            if (more == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(more);
    }
    if (done == record.size())
        return 1;
    int reason = errno;
    size_t restore = done < old.size() ? done : old.size();
    bool undone = pwrite(pool, old.data(), restore, offset) == static_cast<ssize_t>(restore);
    if (oldLength >= 0 && offset + static_cast<off_t>(done) > oldLength)
        undone = ftruncate(pool, oldLength) == 0 && undone;
    if (!undone)
        LogFileFailure("restore a record of", PoolFileName);
    errno = reason;
    return 0;
}
}  // namespace

void ClearDirectAccessTable()
{
    std::memset(&DirectAccessTable, 0, sizeof DirectAccessTable);
    DirectAccessTable.lastIndex = -1;
}

int ParseDirectAccessTable(const std::string& text)
{
    ClearDirectAccessTable();
    TableScanner scan{text};
    // Fields a short read leaves unfilled keep the previous entry's values.
    TableEntry previous{};
    previous.place = 0;
    CopyText(previous.label, sizeof previous.label, " ");
    int n = 0;
    int ignored = 0;
    while (!scan.AtEnd()) {
        TableEntry entry = previous;
        CopyText(entry.serial, sizeof entry.serial, scan.Word(TABLE_SERIAL_CHARS));
        if (scan.Number(&entry.place) && !scan.AtEnd()) {
            std::string label = scan.Word(std::string::npos);
            CopyText(entry.label, sizeof entry.label, label);
        }
        if (n >= TABLE_CAPACITY) {
            ++ignored;
            continue;
        }
        std::printf("Serial %s Place %2d Device %s\n", entry.serial, entry.place, entry.label);
        DirectAccessTable.entries[n++] = entry;
        previous = entry;
    }
    DirectAccessTable.lastIndex = n - 1;
    return ignored;
}

std::vector<std::string> CheckDirectAccessTableLines(const std::string& text, const std::string& path)
{
    std::vector<std::string> problems;
    size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> fields;
        TableScanner scan{line};
        while (!scan.AtEnd())
            fields.push_back(scan.Word(std::string::npos));
        if (fields.empty())
            continue;
        // Printable for a message: control bytes become '?', long lines are cut.
        std::string shown = line.size() > 80 ? line.substr(0, 80) + "..." : line;
        while (!shown.empty() && (shown.back() == '\r' || shown.back() == ' ' || shown.back() == '\t'))
            shown.pop_back();
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = '?';
        std::string where = path + " line " + std::to_string(number) + " \"" + shown + "\": ";
        const std::string& serial = fields[0];
        if (serial.size() != TABLE_SERIAL_CHARS || serial.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            problems.push_back(where + "the serial must be 16 upper-case hex digits, family code first");
        if (fields.size() > 3)
            problems.push_back(where + std::to_string(fields.size()) +
                               " fields, expected SERIAL PLACE LABEL; a label is one word (Living_room, not "
                               "Living room), the rest is read as the next entry");
    }
    return problems;
}

void LoadDirectAccessTable(const std::string& path)
{
    std::string text;
    if (!ReadWholeFile(path, &text)) {
        // A table that can't be read (also a missing one) is an empty one.
        LogFileFailure("read", path);
        ClearDirectAccessTable();
        return;
    }
    int ignored = ParseDirectAccessTable(text);
    for (const std::string& problem : CheckDirectAccessTableLines(text, path))
        LogEvent("%s\n", problem.c_str());
    if (ignored > 0)
        LogEvent("%s holds more than %d entries: %d ignored\n", path.c_str(), TABLE_CAPACITY, ignored);
}

int FindTableEntry(const char* serialText)
{
    for (int j = 0; j <= DirectAccessTable.lastIndex; ++j)
        if (std::strncmp(DirectAccessTable.entries[j].serial, serialText, TABLE_SERIAL_CHARS) == 0)
            return j;
    return -1;
}

int AddTableEntry(const char* serialText)
{
    if (DirectAccessTable.lastIndex + 1 >= TABLE_CAPACITY)
        return -1;
    TableEntry& entry = DirectAccessTable.entries[++DirectAccessTable.lastIndex];
    std::memset(&entry, 0, sizeof entry);
    CopyText(entry.serial, sizeof entry.serial, serialText);
    return DirectAccessTable.lastIndex;
}

std::string MakePoolRecord(const std::string& line)
{
    std::string record = line;
    while (!record.empty() && (record.back() == '\n' || record.back() == '\r'))
        record.pop_back();
    record.resize(POOL_RECORD_TEXT, ' ');
    record += "\r\n";
    return record;
}

void CreatePoolDatabase()
{
    struct stat info;
    if (stat(PoolFileName, &info) == 0)
        return;
    std::printf("Creating new Pool Database\n");
    // Built beside and renamed into place: a crash can't leave a short database.
    const std::string building = std::string(PoolFileName) + ".new";
    FILE* file = std::fopen(building.c_str(), "wb");
    if (!file) {
        LogFileFailure("create", building);
        return;
    }
    std::string blank = MakePoolRecord(",,,,");
    bool ok = true;
    for (int r = 0; r < POOL_INITIAL_RECORDS; ++r)
        ok = ok && std::fwrite(blank.data(), 1, blank.size(), file) == blank.size();
    if (std::fclose(file) != 0 || !ok) {
        LogFileFailure("write", building);
        std::remove(building.c_str());
    } else if (std::rename(building.c_str(), PoolFileName) != 0) {
        LogFileFailure("create", PoolFileName);
        std::remove(building.c_str());
    }
}

int PoolDatabaseWritable(std::string* reason)
{
#ifdef _WIN32
    int pool = open(PoolFileName, O_RDWR | O_BINARY | O_NOINHERIT);
#else
    int pool = open(PoolFileName, O_RDWR | O_CLOEXEC);
#endif
    if (pool >= 0) {
        close(pool);
        return 1;
    }
    *reason = std::strerror(errno);
    if (errno == ENOENT) {
        // Its creation failed: the folder's own answer names the permission.
        const std::string trial = std::string(PoolFileName) + ".new";
        int file = open(trial.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (file < 0) {
            *reason = std::strerror(errno);
        } else {
            close(file);
            std::remove(trial.c_str());
            *reason = "it could not be created";
        }
    }
    return 0;
}

void UpdatePoolDatabase()
{
    std::string lines;
    if (!ReadWholeFile(TmpFileName, &lines)) {
        LogFileFailure("read", TmpFileName);
        return;
    }
    // Opened every cycle, also when no line has a record to replace, so a
    // missing Pool Database is reported each cycle.
#ifdef _WIN32
    // Binary: the records' CR LF go out as they are.
    int pool = open(PoolFileName, O_RDWR | O_BINARY | O_NOINHERIT);
#else
    int pool = open(PoolFileName, O_RDWR | O_CLOEXEC);
#endif
    if (pool < 0)
        LogFileFailure("open", PoolFileName);
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) {
            // A line without its line end was cut short (a failed write of
            // tempu.tmp); storing it would replace a good record with a torn one.
            LogEvent("Incomplete last line of %s not stored\n", TmpFileName);
            break;
        }
        end += 1;
        std::string line = lines.substr(start, end - start);
        start = end;

        std::string record = MakePoolRecord(line);
        // A measurement line holds the sensor's serial text after the stamp's
        // comma: at offset 15 with the ten digits of seconds of any time from
        // September 2001 on, nearer the start with a clock set back before it.
        size_t comma = record.find(',');
        std::string serial = record.substr(comma == std::string::npos ? 15 : comma + 1, TABLE_SERIAL_CHARS);
        int j = FindTableEntry(serial.c_str());
        if (j < 0) {
            std::printf("%s", serial.c_str());
            LogEvent(" Error - new device attached to system \n%s \n", record.substr(0, POOL_RECORD_TEXT).append("\n").c_str());
            continue;
        }
        if (pool < 0)
            continue;  // reported above
        // One positioned write per record: a crash can't leave a torn record.
        if (!WriteRecordAt(pool, record, static_cast<off_t>(POOL_RECORD_SIZE) * j))
            LogFileFailure("write", PoolFileName);
    }
    if (pool >= 0)
        close(pool);
}
