// KarvixChart on a generated history: the tier each range reads, the range it
// opens on, round ticks in local time, zooming, gaps for failed readings and
// missing buckets, the all-sensors overlay, following new readings, saving,
// and opening as a user without write access to the folder. Runs with
// TZ=Europe/Berlin, an hour off UTC.
#include <QAreaSeries>
#include <QCategoryAxis>
#include <QChartView>
#include <QPushButton>
#include <QWheelEvent>
#include <QChart>
#include <QCoreApplication>
#include <QFile>
#include <QLineSeries>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/history_testdb.h"
#include "karvix_chart.h"
#include "karvixfrm.h"

namespace {

constexpr qint64 kNow = 1796000000000;
constexpr qint64 kMinute = 60000;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;
const char kA[] = "10000000200000A1";
const char kB[] = "10000000300000B2";
const char kAsNobody[] = "--chart-as-nobody";

// A every 30 s over the last 2 h with a CRC failure 30 min ago, B every 30 s;
// A's minutes over 10 days without the one 3 days ago; A's hours over 400 days.
bool BuildHistory(const QString& path)
{
    HistoryTestDb* db = HistoryTestDbCreate(path.toStdString());
    if (!db)
        return false;
    bool ok = true;
    for (qint64 t = kNow - 2 * kHour; t <= kNow; t += 30000) {
        bool failed = t == kNow - 30 * kMinute;
        ok &= HistoryTestDbAddRaw(db, kA, 1, "Cellar", t, failed ? HISTORY_CRC : HISTORY_GOOD,
                                  failed ? HISTORY_TESTDB_NULL : 12, failed ? HISTORY_TESTDB_NULL : 12.5) != 0;
        ok &= HistoryTestDbAddRaw(db, kB, 2, "Attic", t + 500, HISTORY_GOOD, 25, 25.25) != 0;
    }
    for (qint64 t = kNow - 10 * kDay; t < kNow; t += kMinute)
        if (t != kNow - 3 * kDay)
            ok &= HistoryTestDbAddRollup(db, HISTORY_MINUTE, kA, 1, "Cellar", t, 11, 12, 13, 2) != 0;
    for (qint64 t = kNow - 400 * kDay; t < kNow; t += kHour)
        ok &= HistoryTestDbAddRollup(db, HISTORY_HOUR, kA, 1, "Cellar", t, 10, 12, 14, 120) != 0;
    return HistoryTestDbClose(db, true) && ok;
}

template <typename T>
QList<T*> SeriesOf(QChart* chart)
{
    QList<T*> found;
    for (QAbstractSeries* s : chart->series())
        if (auto* typed = qobject_cast<T*>(s))
            found.append(typed);
    return found;
}

// Line series drawn for the temperature (the band's edges are not in the chart).
QList<QLineSeries*> Lines(QChart* chart)
{
    QList<QLineSeries*> lines;
    for (QLineSeries* s : SeriesOf<QLineSeries>(chart))
        if (s->type() == QAbstractSeries::SeriesTypeLine)
            lines.append(s);
    return lines;
}

}  // namespace

class ChartTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rangeReadsItsTier_data();
    void rangeReadsItsTier();
    void opensOnTheRangeThatFits_data();
    void opensOnTheRangeThatFits();
    void ticksAtRoundLocalTimes_data();
    void ticksAtRoundLocalTimes();
    void zoomsAndResets();
    void failuresAndMissingBucketsAreGaps_data();
    void failuresAndMissingBucketsAreGaps();
    void allSensorsOverlayEveryPlace();
    void followsNewReadings();
    void savesPngAndCsv();
    void missingDatabaseIsReported();
    void serialOfRow_data();
    void serialOfRow();
    void doubleClickOpensTheChart();
    void opensAsUserWithoutWriteAccess();

private:
    KarvixChart* Make(const QString& serial, int range);
    QTemporaryDir Dir;
    QString Db;
};

void ChartTest::initTestCase()
{
    QVERIFY(Dir.isValid());
    Db = Dir.path() + QStringLiteral("/temp-history.db");
    QVERIFY(BuildHistory(Db));
}

KarvixChart* ChartTest::Make(const QString& serial, int range)
{
    auto* chart = new KarvixChart(Db, serial);
    chart->setNowSource([] { return kNow; });
    chart->setRange(range);
    chart->reload();
    return chart;
}

void ChartTest::rangeReadsItsTier_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("tier");
    QTest::addColumn<qint64>("step");  // between A's points
    QTest::addColumn<int>("points");
    QTest::addColumn<bool>("all");
    QTest::newRow("fit") << int(KarvixChart::RANGE_FIT) << int(HISTORY_RAW) << qint64(30000) << 121 << false;
    QTest::newRow("10 min") << int(KarvixChart::RANGE_10M) << int(HISTORY_RAW) << qint64(30000) << 21 << false;
    QTest::newRow("1 h") << int(KarvixChart::RANGE_1H) << int(HISTORY_RAW) << qint64(30000) << 121 << false;
    QTest::newRow("6 h") << int(KarvixChart::RANGE_6H) << int(HISTORY_RAW) << qint64(30000) << 241 << false;
    QTest::newRow("24 h") << int(KarvixChart::RANGE_24H) << int(HISTORY_RAW) << qint64(30000) << 241 << false;
    QTest::newRow("7 d") << int(KarvixChart::RANGE_7D) << int(HISTORY_MINUTE) << kMinute << 7 * 1440 - 1 << false;
    QTest::newRow("30 d") << int(KarvixChart::RANGE_30D) << int(HISTORY_MINUTE) << kMinute << 10 * 1440 - 1 << false;
    QTest::newRow("1 y") << int(KarvixChart::RANGE_1Y) << int(HISTORY_HOUR) << kHour << 365 * 24 << false;
    // Every sensor: raw only for the hour, minutes for the day (A's only: B has none).
    QTest::newRow("all, 1 h") << int(KarvixChart::RANGE_1H) << int(HISTORY_RAW) << qint64(500) << 241 << true;
    QTest::newRow("all, 6 h") << int(KarvixChart::RANGE_6H) << int(HISTORY_MINUTE) << kMinute << 360 << true;
    QTest::newRow("all, 24 h") << int(KarvixChart::RANGE_24H) << int(HISTORY_MINUTE) << kMinute << 1440 << true;
}

void ChartTest::rangeReadsItsTier()
{
    QFETCH(int, range);
    QFETCH(int, tier);
    QFETCH(qint64, step);
    QFETCH(int, points);
    QFETCH(bool, all);
    std::unique_ptr<KarvixChart> chart(Make(all ? QString() : QString::fromLatin1(kA), range));
    QCOMPARE(int(chart->tier()), tier);
    const auto& shown = chart->shownPoints();
    QCOMPARE(int(shown.size()), points);
    QCOMPARE(shown[1].timeMs - shown[0].timeMs, step);
    // Rollups of one sensor draw the band, raw readings and overlays don't.
    QCOMPARE(SeriesOf<QAreaSeries>(chart->chart()).isEmpty(), tier == HISTORY_RAW || all);
}

void ChartTest::opensOnTheRangeThatFits_data()
{
    // A's readings: `count` of them `step` apart, the last `age` before now.
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<qint64>("age");
    QTest::addColumn<qint64>("from");  // the axis' expected start, before now
    QTest::newRow("50 s of history") << 6 << qint64(10000) << qint64(0) << qint64(60000);
    QTest::newRow("20 min of history") << 41 << qint64(30000) << qint64(0) << 20 * kMinute;
    QTest::newRow("3 h of history: the last hour") << 361 << qint64(30000) << qint64(0) << kHour;
    QTest::newRow("one reading") << 1 << qint64(0) << qint64(0) << kMinute;
    QTest::newRow("nothing in the last hour") << 10 << qint64(30000) << 2 * kHour << kHour;
}

void ChartTest::opensOnTheRangeThatFits()
{
    QFETCH(int, count);
    QFETCH(qint64, step);
    QFETCH(qint64, age);
    QFETCH(qint64, from);
    QTemporaryDir dir;
    const QString db = dir.path() + QStringLiteral("/temp-history.db");
    HistoryTestDb* test = HistoryTestDbCreate(db.toStdString());
    QVERIFY(test);
    for (int i = 0; i < count; ++i)
        QVERIFY(HistoryTestDbAddRaw(test, kA, 1, "Cellar", kNow - age - (count - 1 - i) * step, HISTORY_GOOD, 20,
                                    20.5 + i) != 0);
    QVERIFY(HistoryTestDbClose(test, true));
    KarvixChart chart(db, QString::fromLatin1(kA));
    chart.setAttribute(Qt::WA_DeleteOnClose, false);
    chart.setNowSource([] { return kNow; });
    QCOMPARE(chart.range(), int(KarvixChart::RANGE_FIT));
    QVERIFY(chart.reload());
    QCOMPARE(chart.shownFromMs(), kNow - from);
    QCOMPARE(chart.shownToMs(), kNow);
    for (const HistoryPoint& p : chart.shownPoints())
        QVERIFY(p.timeMs >= chart.shownFromMs() && p.timeMs <= chart.shownToMs());
}

void ChartTest::ticksAtRoundLocalTimes_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<qint64>("step");
    QTest::newRow("fit, the last hour") << int(KarvixChart::RANGE_FIT) << 10 * kMinute;
    QTest::newRow("10 min") << int(KarvixChart::RANGE_10M) << 2 * kMinute;
    QTest::newRow("6 h") << int(KarvixChart::RANGE_6H) << kHour;
    QTest::newRow("24 h") << int(KarvixChart::RANGE_24H) << 3 * kHour;
    QTest::newRow("7 d") << int(KarvixChart::RANGE_7D) << kDay;
    QTest::newRow("1 y") << int(KarvixChart::RANGE_1Y) << 60 * kDay;
}

void ChartTest::ticksAtRoundLocalTimes()
{
    QFETCH(int, range);
    QFETCH(qint64, step);
    std::unique_ptr<KarvixChart> chart(Make(QString::fromLatin1(kA), range));
    QCOMPARE(chart->tickStepMs(), step);
    const std::vector<qint64> ticks = chart->tickTimes();
    QVERIFY2(ticks.size() >= 3 && ticks.size() <= 9, qPrintable(QString::number(ticks.size())));
    // kNow lies in winter: local time is UTC+1.
    const qint64 offset = kHour;
    for (size_t i = 0; i < ticks.size(); ++i) {
        QVERIFY(ticks[i] >= chart->shownFromMs() && ticks[i] <= chart->shownToMs());
        QCOMPARE((ticks[i] + offset) % std::min(step, kDay), qint64(0));
        if (i > 0)
            QCOMPARE(ticks[i] - ticks[i - 1], step);
    }
    // No round time is left out at either end.
    QVERIFY(ticks.front() - step < chart->shownFromMs());
    QVERIFY(ticks.back() + step > chart->shownToMs());
    auto* axis = qobject_cast<QCategoryAxis*>(chart->chart()->axes(Qt::Horizontal).value(0));
    QVERIFY(axis);
    QCOMPARE(axis->titleText(), QStringLiteral("Local time (CET, UTC+01:00)"));
    const QString first = QDateTime::fromMSecsSinceEpoch(ticks.front()).toString(QStringLiteral("HH:mm"));
    QVERIFY2(axis->categoriesLabels().first().contains(step < kDay ? first : QStringLiteral(".")),
             qPrintable(axis->categoriesLabels().first()));
}

void ChartTest::zoomsAndResets()
{
    std::unique_ptr<KarvixChart> chart(Make(QString::fromLatin1(kA), KarvixChart::RANGE_24H));
    chart->resize(900, 520);
    chart->show();
    auto* view = chart->findChild<QChartView*>(QStringLiteral("ChartView"));
    QCOMPARE(view->rubberBand(), QChartView::RubberBands(QChartView::HorizontalRubberBand));
    QVERIFY(!chart->zoomed());

    // One wheel notch in at the middle of the plot: a fifth less time, about the cursor.
    const QRectF plot = chart->chart()->plotArea();
    const QPoint middle = view->mapFromScene(chart->chart()->mapToScene(plot.center()));
    const qint64 centre = (chart->shownFromMs() + chart->shownToMs()) / 2;
    QWheelEvent wheel(middle, view->viewport()->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
    QVERIFY(chart->zoomed());
    QVERIFY(qAbs((chart->shownToMs() - chart->shownFromMs()) - qint64(0.8 * kDay)) < kMinute);
    QVERIFY(qAbs((chart->shownFromMs() + chart->shownToMs()) / 2 - centre) < 10 * kMinute);

    // A span dragged across the plot: the axis shows that span, its ticks still round.
    const qint64 before = chart->shownToMs() - chart->shownFromMs();
    chart->chart()->zoomIn(QRectF(plot.left() + plot.width() / 4, plot.top(), plot.width() / 4, plot.height()));
    QVERIFY(qAbs((chart->shownToMs() - chart->shownFromMs()) - before / 4) < kMinute);
    for (qint64 tick : chart->tickTimes())
        QCOMPARE((tick + kHour) % chart->tickStepMs(), qint64(0));

    // Following keeps the zoom; the reset brings back the whole range.
    const qint64 zoomedFrom = chart->shownFromMs();
    QVERIFY(chart->reload());
    QCOMPARE(chart->shownFromMs(), zoomedFrom);
    chart->findChild<QPushButton*>(QStringLiteral("ResetZoomButton"))->click();
    QVERIFY(!chart->zoomed());
    QCOMPARE(chart->shownFromMs(), kNow - kDay);
    QCOMPARE(chart->shownToMs(), kNow);
}

void ChartTest::failuresAndMissingBucketsAreGaps_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("segments");
    QTest::newRow("raw: the CRC failure") << int(KarvixChart::RANGE_1H) << 2;
    QTest::newRow("minutes: the missing minute") << int(KarvixChart::RANGE_7D) << 2;
    QTest::newRow("hours: none missing") << int(KarvixChart::RANGE_1Y) << 1;
}

void ChartTest::failuresAndMissingBucketsAreGaps()
{
    QFETCH(int, range);
    QFETCH(int, segments);
    std::unique_ptr<KarvixChart> chart(Make(QString::fromLatin1(kA), range));
    QList<QLineSeries*> lines = Lines(chart->chart());
    QCOMPARE(lines.size(), segments);
    for (QLineSeries* line : lines)
        for (const QPointF& p : line->points())
            QVERIFY2(p.y() > 9.0, "a failed reading was drawn as a value");
    if (chart->tier() != HISTORY_RAW)
        QCOMPARE(SeriesOf<QAreaSeries>(chart->chart()).size(), segments);
}

void ChartTest::allSensorsOverlayEveryPlace()
{
    std::unique_ptr<KarvixChart> chart(Make(QString::fromLatin1(kA), KarvixChart::RANGE_1H));
    // The PLACE number comes from the place table (the history's number is
    // the record's position); a sensor the table lacks keeps its label.
    chart->setPlaceTable(karvix::TableFromBytes("10000000200000A1 7 Cellar\r\n"));
    chart->setAllSensors(true);
    QStringList names;
    for (QLineSeries* line : Lines(chart->chart()))
        if (!line->name().isEmpty())
            names.append(line->name());
    QCOMPARE(names, QStringList({QStringLiteral("Cellar (place 7)"), QStringLiteral("Attic")}));
    QCOMPARE(Lines(chart->chart()).size(), 3);  // A's two runs and B's one
    chart->setRange(KarvixChart::RANGE_24H);
    QCOMPARE(int(chart->tier()), int(HISTORY_MINUTE));
    QVERIFY(SeriesOf<QAreaSeries>(chart->chart()).isEmpty());
}

void ChartTest::followsNewReadings()
{
    QTemporaryDir dir;
    QString db = dir.path() + QStringLiteral("/temp-history.db");
    std::string error;
    HistoryWriter* writer = HistoryOpenWriter(db.toStdString(), HistoryRetention{}, &error);
    QVERIFY2(writer, error.c_str());
    auto append = [&](qint64 t) {
        std::vector<HistoryReading> cycle = {{t, kA, 1, "Cellar", HISTORY_GOOD, true, 20, 20.5}};
        return HistoryAppend(writer, cycle, &error);
    };
    QVERIFY(append(kNow - 60000));
    KarvixChart chart(db, QString::fromLatin1(kA));
    chart.setAttribute(Qt::WA_DeleteOnClose, false);
    chart.setNowSource([] { return kNow; });
    QVERIFY(chart.reload());
    QCOMPARE(int(chart.shownPoints().size()), 1);
    chart.FollowTimer_Timer();  // nothing changed
    QCOMPARE(int(chart.shownPoints().size()), 1);
    QVERIFY(append(kNow - 30000));
    chart.FollowTimer_Timer();
    QCOMPARE(int(chart.shownPoints().size()), 2);
    HistoryCloseWriter(writer);
}

void ChartTest::savesPngAndCsv()
{
    std::unique_ptr<KarvixChart> chart(Make(QString::fromLatin1(kA), KarvixChart::RANGE_1H));
    QString png = Dir.path() + QStringLiteral("/chart.png");
    QString csv = Dir.path() + QStringLiteral("/chart.csv");
    QVERIFY(chart->savePng(png));
    QVERIFY(chart->saveCsv(csv));
    QFile pngFile(png);
    QVERIFY(pngFile.open(QIODevice::ReadOnly));
    QCOMPARE(pngFile.read(4), QByteArray("\x89PNG"));
    QFile csvFile(csv);
    QVERIFY(csvFile.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = csvFile.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("time,serial,place,label,outcome,whole,extended"));
    QCOMPARE(lines.size(), 121 + 2);  // header, rows, the empty piece after the last line end
    QVERIFY(lines.contains(QByteArray("2026-11-30T00:23:20.000Z,10000000200000A1,1,Cellar,crc,,")));
}

void ChartTest::missingDatabaseIsReported()
{
    KarvixChart chart(Dir.path() + QStringLiteral("/none.db"), QString::fromLatin1(kA));
    chart.setAttribute(Qt::WA_DeleteOnClose, false);
    QVERIFY(!chart.reload());
    QVERIFY2(chart.statusText().startsWith(QStringLiteral("No history database at ")), qPrintable(chart.statusText()));
    QVERIFY(Lines(chart.chart()).isEmpty());
}

void ChartTest::serialOfRow_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("serial");
    QTest::newRow("record") << "10:13:20,10000000200000a1,BE2A00004B460C10,21.000,21.063 - Cellar"
                            << "10000000200000A1";
    QTest::newRow("blank row") << "" << "";
    QTest::newRow("short field") << "10:13:20,1000,BE" << "";
    QTest::newRow("not hex") << "10:13:20,10000000200000ZZ,BE" << "";
}

void ChartTest::serialOfRow()
{
    QFETCH(QString, row);
    QFETCH(QString, serial);
    QCOMPARE(KarvixSerialOfRow(row), serial);
}

void ChartTest::doubleClickOpensTheChart()
{
    QTemporaryDir dir;
    QFile::copy(Db, dir.path() + QStringLiteral("/temp-history.db"));
    QFile data(dir.path() + QStringLiteral("/temp.pd"));
    QVERIFY(data.open(QIODevice::WriteOnly));
    data.write(QByteArray("1796000000.250,10000000200000A1,BE2A00004B460C10,21.000,21.063 ").leftJustified(98, ' ') +
               "\r\n");
    data.close();
    Karvixfrm form(data.fileName());
    form.setTableDirectory(dir.path());
    form.Form_Load();
    KarvixAttachHistory(&form);
    auto* list = form.findChild<QListWidget*>(QStringLiteral("List1"));
    QTRY_VERIFY(list->count() > 0 && !list->item(0)->text().isEmpty());
    emit list->itemDoubleClicked(list->item(0));
    KarvixChart* chart = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = qobject_cast<KarvixChart*>(w))
            chart = c;
    QVERIFY(chart);
    QCOMPARE(chart->windowTitle(), QStringLiteral("History of 10000000200000A1"));
    QVERIFY(chart->statusText().endsWith(dir.path() + QStringLiteral("/temp-history.db")));
    chart->close();
}

// The child (started by the test below as `nobody`) opens the chart on the
// database and exits 0 when it shows A's readings.
static int ChartAsNobody(int argc, char** argv)
{
    QApplication app(argc, argv);
    KarvixChart chart(QString::fromLocal8Bit(argv[2]), QString::fromLatin1(kA));
    chart.setAttribute(Qt::WA_DeleteOnClose, false);
    chart.setNowSource([] { return kNow; });
    chart.setRange(KarvixChart::RANGE_1H);
    bool ok = chart.reload() && chart.shownPoints().size() == 121;
    if (!ok)
        fprintf(stderr, "%s\n", qPrintable(chart.statusText()));
    return ok ? 0 : 1;
}

void ChartTest::opensAsUserWithoutWriteAccess()
{
    if (geteuid() != 0)
        QSKIP("SKIPPED: changing to user nobody needs root (CI runs the tests as root)");
    // A folder of root's that nobody may read but not write, the program
    // copied into it so that nobody can run it.
    QTemporaryDir dir(QStringLiteral("/tmp/karvix-chart-nobody-XXXXXX"));
    QString db = dir.path() + QStringLiteral("/temp-history.db");
    QVERIFY(BuildHistory(db));
    QString program = dir.path() + QStringLiteral("/chart_test");
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
    QVERIFY(chmod(dir.path().toLocal8Bit().constData(), 0755) == 0);
    for (const char* name : {"/temp-history.db", "/temp-history.db-wal", "/temp-history.db-shm", "/chart_test"})
        QVERIFY(chmod((dir.path() + QLatin1String(name)).toLocal8Bit().constData(), 0755) == 0);
    QByteArray programPath = program.toLocal8Bit(), dbPath = db.toLocal8Bit();
    pid_t pid = fork();
    if (pid == 0) {
        struct passwd* nobody = getpwnam("nobody");
        if (!nobody || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(3);
        setenv("XDG_RUNTIME_DIR", "/tmp", 1);
        // Qt keeps its font database to the end of the process, which the
        // leak check of a sanitizer build would report as this child's failure.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        execl(programPath.constData(), programPath.constData(), kAsNobody, dbPath.constData(), nullptr);
        _exit(4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(access(dir.path().toLocal8Bit().constData(), W_OK) == 0);  // root still may; nobody may not
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], kAsNobody) == 0)
        return ChartAsNobody(argc, argv);
    QApplication app(argc, argv);
    ChartTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "chart_test.moc"
