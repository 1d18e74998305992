// Helpers of the history tests: scratch folders, a tmpfs, direct SQL.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with everything in it (unmounting a
// tmpfs mounted inside) when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Mounts a tmpfs of `kib` KiB at `name` (needs root); "" on success, else why not.
    std::string MountTmpfs(const std::string& name, int kib);

private:
    std::string path_;
    std::vector<std::string> mounts_;
};

// Writes a file of zeros until the file system is full; returns its size.
int64_t FillDisk(const std::string& path);

// Every row of `sql` on `db` (opened read-write, no create), each column as
// text ("NULL" for null), joined by "|". Fails the test on an SQL error.
std::vector<std::string> Rows(const std::string& db, const std::string& sql);
// Rows of a table, or -1 while the database or the table isn't there yet (quietly).
int64_t CountRows(const std::string& db, const std::string& table);
// The first column of the first row.
std::string Value(const std::string& db, const std::string& sql);

// A history file as version 1 of the schema wrote it (record positions as
// places, no failed counts, no writer state): sensor 10000000000001A1 at
// record 2 ("Cellar") with two good readings a minute apart from `t0` (a
// minute start), their minute and hour rows, and a sensor without a record.
void MakeVersion1History(const std::string& path, int64_t t0);
