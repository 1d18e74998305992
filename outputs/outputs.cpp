// The outputs' workers: each active output has its own queue of cycle reports
// and its own thread, so an output that hangs (a file on a dead mount, a
// publish that never returns) only ever delays itself.
#include "outputs/outputs.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

const char* ReadingOutcomeName(ReadingOutcome outcome)
{
    static constexpr const char* names[READING_OUTCOME_COUNT] = {
        "good", "no_presence", "crc", "conversion_incomplete", "count_per_c_zero", "power_on_value",
    };
    auto index = static_cast<unsigned>(outcome);
    return index < READING_OUTCOME_COUNT ? names[index] : "unknown";
}

namespace {

// One output, its queue and the thread that feeds it.
struct Lane {
    const CycleOutputOps* ops = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::shared_ptr<const CycleReport>> queue;
    bool busy = false;
    bool stopping = false;
    uint64_t dropped = 0;       // reports lost to the queue's bound since the output opened
    bool dropping = false;      // a run of drops has been logged and not yet its end
    uint64_t droppedBefore = 0; // `dropped` when that run began
    bool ended = false;         // the output is closed and the thread about to return
    std::thread thread;
};

struct Workers {
    std::vector<std::unique_ptr<Lane>> lanes;
    size_t queueLimit = OUTPUT_QUEUE_LIMIT;
};

// Lanes left behind by a close, kept for the life of the process: their
// threads may still touch them (and a leak checker sees them as reachable).
std::vector<Lane*>* LeftBehind = new std::vector<Lane*>;

Workers* TheWorkers = nullptr;

std::mutex EventsLock;
std::vector<std::string> Events;
uint64_t EventsDropped = 0;  // entries past the bound since the last take

// Set while OutputsClose runs: the monotonic millisecond its bound ends.
std::atomic<bool> Closing{false};
std::atomic<int64_t> CloseDeadlineMs{0};

int64_t MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void RunLane(Lane* lane)
{
    std::unique_lock<std::mutex> guard(lane->lock);
    for (;;) {
        lane->wake.wait(guard, [lane] { return lane->stopping || !lane->queue.empty(); });
        if (lane->queue.empty())
            break;  // stopping, and everything handled
        std::shared_ptr<const CycleReport> report = std::move(lane->queue.front());
        lane->queue.pop_front();
        lane->busy = true;
        guard.unlock();
        lane->ops->cycle(*report);
        report.reset();
        guard.lock();
        lane->busy = false;
        if (lane->queue.empty())
            lane->idle.notify_all();
    }
    guard.unlock();
    if (lane->ops->close)
        lane->ops->close();
    guard.lock();
    lane->ended = true;
    lane->idle.notify_all();
}

// The end of a run of drops, logged once with how many reports it cost.
void EndDrops(Lane* lane)
{
    OutputsLogEvent("Output %s caught up, %llu cycle reports were dropped\n", lane->ops->name,
                    static_cast<unsigned long long>(lane->dropped - lane->droppedBefore));
    lane->dropping = false;
}

}  // namespace

void OutputsOpenTable(const TempConfig& config, const CycleOutputOps* const* table, int count, size_t queueLimit)
{
    if (TheWorkers)
        return;
    Closing = false;
    auto* workers = new Workers;
    workers->queueLimit = queueLimit > 0 ? queueLimit : 1;
    for (int i = 0; i < count; ++i) {
        if (!table[i]->open(config))
            continue;
        auto lane = std::make_unique<Lane>();
        lane->ops = table[i];
        workers->lanes.push_back(std::move(lane));
    }
    if (workers->lanes.empty()) {
        delete workers;
        return;
    }
    for (auto& lane : workers->lanes)
        lane->thread = std::thread(RunLane, lane.get());
    TheWorkers = workers;
}

void OutputsOpen(const TempConfig& config)
{
    OutputsOpenTable(config, BuiltinOutputs, BuiltinOutputCount, OUTPUT_QUEUE_LIMIT);
}

void OutputsPublish(const CycleReport& report)
{
    if (!TheWorkers)
        return;
    auto shared = std::make_shared<const CycleReport>(report);
    const size_t limit = TheWorkers->queueLimit;
    for (auto& lane : TheWorkers->lanes) {
        std::lock_guard<std::mutex> guard(lane->lock);
        if (lane->queue.size() >= limit) {
            lane->queue.pop_front();
            if (!lane->dropping) {
                OutputsLogEvent("Output %s is behind: its oldest cycle reports are dropped\n", lane->ops->name);
                lane->dropping = true;
                lane->droppedBefore = lane->dropped;
            }
            ++lane->dropped;
        } else if (lane->dropping && lane->queue.size() <= limit / 2) {
            // Room for half the bound again: the output keeps pace.
            EndDrops(lane.get());
        }
        lane->queue.push_back(shared);
        lane->wake.notify_one();
    }
}

void OutputsFlush()
{
    if (!TheWorkers)
        return;
    for (auto& lane : TheWorkers->lanes) {
        std::unique_lock<std::mutex> guard(lane->lock);
        Lane* l = lane.get();
        lane->idle.wait(guard, [l] { return l->queue.empty() && !l->busy; });
    }
}

uint64_t OutputsDropped(const char* name)
{
    if (!TheWorkers)
        return 0;
    for (auto& lane : TheWorkers->lanes) {
        if (std::string(lane->ops->name) == name) {
            std::lock_guard<std::mutex> guard(lane->lock);
            return lane->dropped;
        }
    }
    return 0;
}

int OutputsClose()
{
    if (!TheWorkers)
        return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(OUTPUT_CLOSE_MS);
    CloseDeadlineMs = MonotonicMs() + OUTPUT_CLOSE_MS;
    Closing = true;
    for (auto& lane : TheWorkers->lanes) {
        std::lock_guard<std::mutex> guard(lane->lock);
        lane->stopping = true;
        lane->wake.notify_one();
    }
    int leftBehind = 0;
    // The first of the table (the history) is waited for last.
    for (auto it = TheWorkers->lanes.rbegin(); it != TheWorkers->lanes.rend(); ++it) {
        Lane* lane = it->get();
        std::unique_lock<std::mutex> guard(lane->lock);
        if (lane->idle.wait_until(guard, deadline, [lane] { return lane->ended; })) {
            guard.unlock();
            lane->thread.join();
            if (lane->dropping)
                EndDrops(lane);
            continue;
        }
        // Hung: its thread and state stay as they are (leaked on purpose),
        // so nothing it may still touch is destroyed under it.
        size_t held = lane->queue.size() + (lane->busy ? 1 : 0);
        OutputsLogEvent("Output %s did not stop within %d s and was left behind with %llu cycle reports not handled\n",
                        lane->ops->name, OUTPUT_CLOSE_MS / 1000, static_cast<unsigned long long>(held));
        guard.unlock();
        lane->thread.detach();
        LeftBehind->push_back(it->release());
        ++leftBehind;
    }
    delete TheWorkers;
    TheWorkers = nullptr;
    // An output left behind still sees the close (it must not start to wait now).
    if (!leftBehind)
        Closing = false;
    return leftBehind;
}

int OutputsClosing(int64_t* leftMs)
{
    if (!Closing)
        return 0;
    if (leftMs)
        *leftMs = std::max<int64_t>(0, CloseDeadlineMs - MonotonicMs());
    return 1;
}

void OutputsLogEvent(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(EventsLock);
    if (Events.size() < OUTPUT_EVENT_LIMIT)
        Events.emplace_back(text);
    else
        ++EventsDropped;
}

std::vector<std::string> OutputsTakeEvents()
{
    std::vector<std::string> waiting;
    std::lock_guard<std::mutex> guard(EventsLock);
    waiting.swap(Events);
    if (EventsDropped) {
        waiting.push_back("Outputs logged too much at once: " + std::to_string(EventsDropped)
                          + " further entries were dropped\n");
        EventsDropped = 0;
    }
    return waiting;
}
