// The checkpointer: a thread and connection of their own copy the WAL into
// the database, so that the writer's commits never wait for the copy and its
// fsync.
#include "history/history_writer_impl.h"

namespace {

// WAL pages after which the checkpointer copies them into the database.
constexpr int CheckpointPages = 1000;
constexpr int BackstopPages = 3 * CheckpointPages / 2;

// One passive checkpoint. The connection reads first: on one that has not
// read yet, SQLite does nothing and still answers SQLITE_OK (with -1 frames).
std::string Checkpoint(Checkpointer* checkpointer)
{
    if (!checkpointer->db) {
        if (sqlite3_open_v2(checkpointer->path.c_str(), &checkpointer->db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr)
            != SQLITE_OK) {
            std::string reason = "can't checkpoint: " + HistoryErrorText(checkpointer->db);
            sqlite3_close(checkpointer->db);
            checkpointer->db = nullptr;
            return reason;
        }
        int persist = 1;
        sqlite3_file_control(checkpointer->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        sqlite3_busy_timeout(checkpointer->db, HISTORY_BUSY_TIMEOUT_MS);
    }
    int frames = -1, copied = -1;
    int rc = sqlite3_exec(checkpointer->db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_wal_checkpoint_v2(checkpointer->db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY)
        return "can't checkpoint: " + HistoryErrorText(checkpointer->db);
    if (rc == SQLITE_OK && (frames < 0 || copied < 0))
        return "can't checkpoint: the write-ahead log was not read";
    return "";
}

void RunCheckpointer(Checkpointer* checkpointer)
{
    std::unique_lock<std::mutex> guard(checkpointer->lock);
    for (;;) {
        checkpointer->wake.wait(guard, [checkpointer] { return checkpointer->wanted || checkpointer->stopping; });
        if (checkpointer->stopping)
            return;
        checkpointer->wanted = false;
        checkpointer->busy = true;
        guard.unlock();
        std::string failure;
        {
            std::lock_guard<std::mutex> running(checkpointer->running);
            failure = Checkpoint(checkpointer);
        }
        guard.lock();
        checkpointer->failure = failure;
        checkpointer->busy = false;
        checkpointer->idle.notify_all();
    }
}

// After each commit: wakes the checkpointer once the WAL holds enough pages.
// When commits come faster than its checkpoints end (a backlog, a benchmark),
// the WAL can't start over; past twice as many pages the commit checkpoints
// itself, after any checkpoint the checkpointer is running.
int AfterCommit(void* context, sqlite3* db, const char*, int pages)
{
    auto* checkpointer = static_cast<Checkpointer*>(context);
    if (pages >= BackstopPages) {
        std::lock_guard<std::mutex> running(checkpointer->running);
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        int frames = -1, copied = -1;
        int rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
        if (rc != SQLITE_OK && rc != SQLITE_BUSY)
            checkpointer->failure = "can't checkpoint: " + HistoryErrorText(db);
        else if (rc == SQLITE_OK && (frames < 0 || copied < 0))
            checkpointer->failure = "can't checkpoint: the write-ahead log was not read";
        else
            checkpointer->failure.clear();
        return SQLITE_OK;
    }
    if (pages >= CheckpointPages) {
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        checkpointer->wanted = true;
        checkpointer->wake.notify_one();
    }
    return SQLITE_OK;
}

}  // namespace

void HistoryStartCheckpointer(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    checkpointer->path = writer->path;
    sqlite3_wal_hook(writer->db, AfterCommit, checkpointer);
    std::lock_guard<std::mutex> guard(checkpointer->lock);
    checkpointer->started = true;
    checkpointer->thread = std::thread(RunCheckpointer, checkpointer);
}

void HistoryStopCheckpointer(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    if (checkpointer->thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(checkpointer->lock);
            checkpointer->stopping = true;
            // Both: the thread waits on `wake`, HistoryWaitForCheckpoint on `idle`.
            checkpointer->wake.notify_all();
            checkpointer->idle.notify_all();
        }
        checkpointer->thread.join();
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        checkpointer->started = false;
    }
    sqlite3_close(checkpointer->db);
    checkpointer->db = nullptr;
}

int HistoryCheckpointHealth(HistoryWriter* writer, std::string* error)
{
    std::lock_guard<std::mutex> guard(writer->checkpointer.lock);
    if (writer->checkpointer.failure.empty())
        return 1;
    *error = writer->checkpointer.failure;
    return 0;
}

void HistoryWaitForCheckpoint(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    std::unique_lock<std::mutex> guard(checkpointer->lock);
    checkpointer->idle.wait(guard, [checkpointer] {
        return (!checkpointer->wanted && !checkpointer->busy) || checkpointer->stopping || !checkpointer->started;
    });
}
