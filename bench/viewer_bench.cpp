// Measurements of the viewer's window under the offscreen platform. Prints
// "key value" lines.
//
//   viewer_bench latency WRITES    record written -> row holds its text, and -> the
//       list's next paint; real 100 ms timer
//   viewer_bench refresh LINES REPS [uniform]    one refresh of a file of LINES
//       records; "uniform" first tells List1 that its rows are of one height
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "karvixfrm.h"

namespace {

constexpr int RecordText = 98;

// One capture-file record: the logger's line padded to 98 characters, CR LF.
std::string Record(long long stamp, int sensor, unsigned tag)
{
    char line[128];
    std::snprintf(line, sizeof line, "%lld.250,10%012X00,BE%08X00004B460C10,21.000,21.063 ", stamp,
                  0x100000 + sensor, tag);
    std::string record = line;
    record.resize(RecordText, ' ');
    return record + "\r\n";
}

bool WriteFile(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string CaptureFile(int records)
{
    std::string bytes;
    for (int i = 0; i < records; ++i)
        bytes += Record(1700000000 + i, i, static_cast<unsigned>(i));
    return bytes;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * (values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void PrintSpread(const char* name, const std::vector<double>& ms)
{
    std::printf("%s_p50_ms %.3f\n%s_p99_ms %.3f\n%s_max_ms %.3f\n", name, Percentile(ms, 0.5), name,
                Percentile(ms, 0.99), name, Percentile(ms, 1.0));
}

// Rewrites record 0 at random moments; the row of List1 that shows the new
// scratchpad text ends each measurement.
class LatencyRun : public QObject {
public:
    LatencyRun(const std::string& path, QListWidget* list, int writes)
        : path_(path), list_(list), writes_(writes), random_(12345)
    {
        auto check = [this] { Check(); };
        connect(list_->model(), &QAbstractItemModel::dataChanged, this, check);
        connect(list_->model(), &QAbstractItemModel::rowsInserted, this, check);
        list_->viewport()->installEventFilter(this);
        timeout_.setSingleShot(true);
        connect(&timeout_, &QTimer::timeout, this, [this] {
            ++missed_;
            waiting_ = false;
            ScheduleNext();
        });
    }

    void Start() { ScheduleNext(); }
    const std::vector<double>& latencies() const { return latencies_; }
    const std::vector<double>& painted() const { return painted_; }
    int missed() const { return missed_; }

protected:
    // The paint that follows the new text: the row is then on screen.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (paintPending_ && event->type() == QEvent::Paint) {
            paintPending_ = false;
            painted_.push_back(clock_.nsecsElapsed() / 1e6);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void ScheduleNext()
    {
        if (done_ >= writes_) {
            QTimer::singleShot(300, qApp, &QCoreApplication::quit);  // after the last paint
            return;
        }
        // Random moments against the 100 ms tick; writes at least 150 ms apart.
        std::uniform_int_distribution<int> gap(150, 400);
        QTimer::singleShot(gap(random_), this, [this] { Write(); });
    }

    void Write()
    {
        ++done_;
        paintPending_ = false;  // a paint that never came is not counted
        tag_ = 0x10000000u + static_cast<unsigned>(done_);
        char text[16];
        std::snprintf(text, sizeof text, "BE%08X", tag_);
        expected_ = QString::fromLatin1(text);
        std::string record = Record(1700000000 + done_, 0, tag_);
        int fd = open(path_.c_str(), O_WRONLY);
        bool ok = fd >= 0 && pwrite(fd, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size());
        if (fd >= 0)
            close(fd);
        if (!ok) {
            std::fprintf(stderr, "viewer_bench: can't write %s\n", path_.c_str());
            std::exit(2);
        }
        clock_.start();
        waiting_ = true;
        timeout_.start(2000);
        Check();
    }

    void Check()
    {
        if (!waiting_ || list_->count() == 0 || !list_->item(0)->text().contains(expected_))
            return;
        latencies_.push_back(clock_.nsecsElapsed() / 1e6);
        waiting_ = false;
        paintPending_ = true;
        timeout_.stop();
        ScheduleNext();
    }

    std::string path_;
    QListWidget* list_;
    int writes_;
    int done_ = 0;
    int missed_ = 0;
    unsigned tag_ = 0;
    bool waiting_ = false;
    bool paintPending_ = false;
    QString expected_;
    QElapsedTimer clock_;
    QTimer timeout_;
    std::mt19937 random_;
    std::vector<double> latencies_;
    std::vector<double> painted_;
};

int Latency(int writes)
{
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/temp.pd";
    if (!WriteFile(path, CaptureFile(41)))
        return 2;
    Karvixfrm window(QString::fromStdString(path));
    window.setTableDirectory(dir.path());
    window.Form_Load();
    auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
    if (!list)
        return 2;
    LatencyRun run(path, list, writes);
    QTimer::singleShot(500, &run, [&run] { run.Start(); });  // after the first refresh
    QApplication::exec();
    std::printf("writes %d\nshown %zu\nmissed %d\n", writes, run.latencies().size(), run.missed());
    PrintSpread("latency", run.latencies());
    std::printf("painted %zu\n", run.painted().size());
    PrintSpread("latency_painted", run.painted());
    return 0;
}

// Each refresh gets a new modification time, so every tick reads the file.
int Refresh(int records, int reps, bool uniform)
{
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/temp.pd";
    if (!WriteFile(path, CaptureFile(records)))
        return 2;
    Karvixfrm window(QString::fromStdString(path));
    window.setTableDirectory(dir.path());
    window.Form_Load();
    if (uniform)
        if (auto* list = window.findChild<QListWidget*>(QStringLiteral("List1")))
            list->setUniformItemSizes(true);
    QCoreApplication::processEvents();
    std::vector<double> tick;
    std::vector<double> painted;
    QElapsedTimer clock;
    for (int i = 0; i < reps; ++i) {
        timespec times[2] = {{1700000000 + i, 0}, {1700000000 + i, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        clock.start();
        window.TmrTimer_Timer();
        tick.push_back(clock.nsecsElapsed() / 1e6);
        QCoreApplication::processEvents();  // layout and paint of the new rows
        painted.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::printf("records %d\nreps %d\n", records, reps);
    PrintSpread("refresh", tick);
    PrintSpread("refresh_painted", painted);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("latency"))
        return Latency(std::max(1, args[2].toInt()));
    if (args.size() >= 4 && args[1] == QLatin1String("refresh"))
        return Refresh(std::max(1, args[2].toInt()), std::max(1, args[3].toInt()),
                       args.size() >= 5 && args[4] == QLatin1String("uniform"));
    std::fprintf(stderr, "usage: viewer_bench latency WRITES | refresh LINES REPS [uniform]\n");
    return 2;
}
