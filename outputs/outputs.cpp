// The outputs' worker: a queue of cycle reports and one thread that hands
// each report to every active output in turn.
#include "outputs/outputs.h"

#include <cstdarg>
#include <cstdio>
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

// About an hour of cycles at the fastest pace; past that the oldest go.
constexpr size_t QueueLimit = 1500;

struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::unique_ptr<CycleReport>> queue;
    bool busy = false;
    bool stopping = false;
    std::thread thread;
    const CycleOutputOps* active[8] = {};
    int activeCount = 0;
};

Worker* TheWorker = nullptr;

std::mutex EventsLock;
std::vector<std::string> Events;

void RunWorker(Worker* worker)
{
    std::unique_lock<std::mutex> guard(worker->lock);
    for (;;) {
        worker->wake.wait(guard, [worker] { return worker->stopping || !worker->queue.empty(); });
        if (worker->queue.empty()) {
            if (worker->stopping)
                break;
            continue;
        }
        std::unique_ptr<CycleReport> report = std::move(worker->queue.front());
        worker->queue.pop_front();
        worker->busy = true;
        guard.unlock();
        for (int i = 0; i < worker->activeCount; ++i)
            worker->active[i]->cycle(*report);
        guard.lock();
        worker->busy = false;
        if (worker->queue.empty())
            worker->idle.notify_all();
    }
    for (int i = 0; i < worker->activeCount; ++i)
        if (worker->active[i]->close)
            worker->active[i]->close();
}

}  // namespace

void OutputsOpen(const TempConfig& config)
{
    if (TheWorker)
        return;
    auto* worker = new Worker;
    for (int i = 0; i < BuiltinOutputCount && worker->activeCount < 8; ++i)
        if (BuiltinOutputs[i]->open(config))
            worker->active[worker->activeCount++] = BuiltinOutputs[i];
    if (worker->activeCount == 0) {
        delete worker;
        return;
    }
    TheWorker = worker;
    worker->thread = std::thread(RunWorker, worker);
}

void OutputsPublish(const CycleReport& report)
{
    if (!TheWorker)
        return;
    auto copy = std::make_unique<CycleReport>(report);
    std::lock_guard<std::mutex> guard(TheWorker->lock);
    if (TheWorker->queue.size() >= QueueLimit)
        TheWorker->queue.pop_front();
    TheWorker->queue.push_back(std::move(copy));
    TheWorker->wake.notify_one();
}

void OutputsFlush()
{
    if (!TheWorker)
        return;
    std::unique_lock<std::mutex> guard(TheWorker->lock);
    TheWorker->idle.wait(guard, [] { return TheWorker->queue.empty() && !TheWorker->busy; });
}

void OutputsClose()
{
    if (!TheWorker)
        return;
    {
        std::lock_guard<std::mutex> guard(TheWorker->lock);
        TheWorker->stopping = true;
        TheWorker->wake.notify_one();
    }
    TheWorker->thread.join();
    delete TheWorker;
    TheWorker = nullptr;
}

void OutputsLogEvent(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(EventsLock);
    if (Events.size() < 100)
        Events.emplace_back(text);
}

std::vector<std::string> OutputsTakeEvents()
{
    std::vector<std::string> waiting;
    std::lock_guard<std::mutex> guard(EventsLock);
    waiting.swap(Events);
    return waiting;
}
