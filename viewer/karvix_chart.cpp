#include "karvix_chart.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

#include "history/history_text.h"
#include "karvixfrm.h"

namespace {

constexpr int kFollowMs = 5000;
constexpr int kDefaultWidth = 900;
constexpr int kDefaultHeight = 520;
constexpr qint64 kMinuteMs = qint64{60} * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;

struct RangeInfo {
    const char* name;
    qint64 spanMs;
    const char* axisFormat;  // local time, with the date
};
constexpr RangeInfo kRanges[KarvixChart::RANGE_COUNT] = {
    {"1 h", kHourMs, "dd.MM. HH:mm"},
    {"24 h", kDayMs, "dd.MM. HH:mm"},
    {"7 d", 7 * kDayMs, "dd.MM. HH:mm"},
    {"30 d", 30 * kDayMs, "dd.MM.yyyy"},
    {"1 y", 365 * kDayMs, "dd.MM.yyyy"},
};

// Points further apart than this break the line: a logger that was stopped,
// or buckets without a good reading.
qint64 GapMs(HistoryTier tier)
{
    switch (tier) {
    case HISTORY_MINUTE: return kMinuteMs * 3 / 2;
    case HISTORY_HOUR: return kHourMs * 3 / 2;
    default: return 2 * kMinuteMs;
    }
}

QString SensorName(const HistoryPoint& point)
{
    QString label = QString::fromLocal8Bit(point.label.data(), static_cast<qsizetype>(point.label.size())).trimmed();
    QString serial = QString::fromLatin1(point.serial.data(), static_cast<qsizetype>(point.serial.size()));
    if (label.isEmpty())
        return serial;
    return point.place >= 0 ? QStringLiteral("%1 (%2)").arg(label).arg(point.place) : label;
}

// One sensor's points cut into runs without gaps.
std::vector<std::vector<const HistoryPoint*>> Segments(const std::vector<const HistoryPoint*>& points,
                                                      HistoryTier tier)
{
    std::vector<std::vector<const HistoryPoint*>> runs(1);
    const qint64 gap = GapMs(tier);
    for (const HistoryPoint* p : points) {
        bool good = p->count > 0;
        bool apart = !runs.back().empty() && p->timeMs - runs.back().back()->timeMs > gap;
        if ((!good || apart) && !runs.back().empty())
            runs.emplace_back();
        if (good)
            runs.back().push_back(p);
    }
    if (runs.back().empty())
        runs.pop_back();
    return runs;
}

}  // namespace

qint64 KarvixChart::RangeSpanMs(int range)
{
    return kRanges[std::clamp(range, 0, RANGE_COUNT - 1)].spanMs;
}

KarvixChart::KarvixChart(const QString& databasePath, const QString& serial, QWidget* parent)
    : QWidget(parent),
      DatabasePath(databasePath),
      Serial(serial),
      AllSensors(serial.isEmpty()),
      NowSource([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    setObjectName(QStringLiteral("KarvixChart"));
    // A window of its own; owned by the form, so it closes with it.
    setWindowFlag(Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("History of ") + (serial.isEmpty() ? QStringLiteral("all sensors") : serial));
    createControls();
    createChart();
    createTimer();
    resize(kDefaultWidth, kDefaultHeight);
}

KarvixChart::~KarvixChart()
{
    HistoryCloseReader(Reader);
}

void KarvixChart::createControls()
{
    RangeBox = new QComboBox(this);
    RangeBox->setObjectName(QStringLiteral("RangeBox"));
    for (const RangeInfo& r : kRanges)
        RangeBox->addItem(QString::fromUtf8(r.name));
    RangeBox->setCurrentIndex(CurrentRange);
    connect(RangeBox, &QComboBox::currentIndexChanged, this, &KarvixChart::RangeBox_Changed);

    AllSensorsBox = new QCheckBox(QStringLiteral("All sensors"), this);
    AllSensorsBox->setObjectName(QStringLiteral("AllSensorsBox"));
    AllSensorsBox->setChecked(AllSensors);
    AllSensorsBox->setEnabled(!Serial.isEmpty());
    connect(AllSensorsBox, &QCheckBox::toggled, this, &KarvixChart::AllSensors_Toggled);

    SavePngButton = new QPushButton(QStringLiteral("Save PNG…"), this);
    SavePngButton->setObjectName(QStringLiteral("SavePngButton"));
    connect(SavePngButton, &QPushButton::clicked, this, &KarvixChart::SavePng_Click);
    SaveCsvButton = new QPushButton(QStringLiteral("Save CSV…"), this);
    SaveCsvButton->setObjectName(QStringLiteral("SaveCsvButton"));
    connect(SaveCsvButton, &QPushButton::clicked, this, &KarvixChart::SaveCsv_Click);

    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("Status"));
}

void KarvixChart::createChart()
{
    Chart = new QChart();
    Chart->legend()->setAlignment(Qt::AlignBottom);
    ChartView = new QChartView(Chart, this);
    ChartView->setObjectName(QStringLiteral("ChartView"));
    ChartView->setRenderHint(QPainter::Antialiasing);

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("Range"), this));
    controls->addWidget(RangeBox);
    controls->addWidget(AllSensorsBox);
    controls->addStretch();
    controls->addWidget(SavePngButton);
    controls->addWidget(SaveCsvButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(ChartView, 1);
    layout->addWidget(Status);
}

void KarvixChart::createTimer()
{
    FollowTimer = new QTimer(this);
    FollowTimer->setObjectName(QStringLiteral("FollowTimer"));
    FollowTimer->setInterval(kFollowMs);
    connect(FollowTimer, &QTimer::timeout, this, &KarvixChart::FollowTimer_Timer);
    FollowTimer->start();
}

HistoryTier KarvixChart::tier() const
{
    HistoryTier fits = HistoryTierForSpan(RangeSpanMs(CurrentRange));
    // Every sensor's raw day would be half a million points: minutes do.
    if (AllSensors && fits == HISTORY_RAW && RangeSpanMs(CurrentRange) > kHourMs)
        return HISTORY_MINUTE;
    return fits;
}

QString KarvixChart::statusText() const
{
    return Status->text();
}

void KarvixChart::setRange(int range)
{
    RangeBox->setCurrentIndex(std::clamp(range, 0, RANGE_COUNT - 1));  // reloads through the signal
}

void KarvixChart::setAllSensors(bool all)
{
    if (Serial.isEmpty())
        all = true;
    AllSensorsBox->setChecked(all);
    AllSensors_Toggled(all);
}

void KarvixChart::RangeBox_Changed(int index)
{
    if (index < 0 || index == CurrentRange)
        return;
    CurrentRange = index;
    reload();
}

void KarvixChart::AllSensors_Toggled(bool checked)
{
    if (checked == AllSensors)
        return;
    AllSensors = checked;
    reload();
}

QString KarvixChart::filesStamp() const
{
    // Fresh QFileInfo objects: cached ones would miss the logger's writes.
    QString stamp;
    for (const char* suffix : {"", "-wal"}) {
        QFileInfo info(DatabasePath + QLatin1String(suffix));
        stamp += QString::number(info.lastModified().toMSecsSinceEpoch()) + QLatin1Char('/') +
                 QString::number(info.size()) + QLatin1Char(' ');
    }
    return stamp;
}

void KarvixChart::FollowTimer_Timer()
{
    // The files change every cycle, a rollup tier only when its bucket
    // closes: query again at most once a bucket.
    const qint64 least = tier() == HISTORY_RAW ? 0 : tier() == HISTORY_MINUTE ? kMinuteMs : kHourMs / 4;
    if (filesStamp() != LastStamp && SinceReload.elapsed() >= least)
        reload();
}

bool KarvixChart::reload()
{
    LastStamp = filesStamp();
    SinceReload.start();
    std::string error;
    if (!Reader) {
        Reader = HistoryOpenReader(DatabasePath.toStdString(), &error);
        if (!Reader) {
            Status->setText(QString::fromStdString(error));
            Points.clear();
            draw(NowSource());
            return false;
        }
    }
    const qint64 now = NowSource();
    HistoryQuery query;
    query.tier = tier();
    query.fromMs = now - RangeSpanMs(CurrentRange);
    query.toMs = now + 1;
    if (!AllSensors)
        query.serial = Serial.toStdString();
    if (!HistorySelect(Reader, query, &Points, &error)) {
        Status->setText(QString::fromStdString(error));
        // A reopened connection at the next change may do better.
        HistoryCloseReader(Reader);
        Reader = nullptr;
        return false;
    }
    Status->setText(QStringLiteral("%1 %2 rows from %3")
                        .arg(Points.size())
                        .arg(QLatin1String(HistoryTierName(query.tier)), DatabasePath));
    draw(now);
    return true;
}

void KarvixChart::draw(qint64 nowMs)
{
    Chart->removeAllSeries();
    // removeAxis hands the axis back: delete it, or every redraw leaks two.
    for (QAbstractAxis* axis : Chart->axes()) {
        Chart->removeAxis(axis);
        delete axis;
    }

    const HistoryTier shownTier = tier();
    // One band per sensor; overlaid for every sensor they would hide the lines.
    const bool band = shownTier != HISTORY_RAW && !AllSensors;
    // Points by sensor, in the order of the sensors' first points.
    std::vector<std::string> order;
    std::map<std::string, std::vector<const HistoryPoint*>> bySensor;
    for (const HistoryPoint& p : Points) {
        auto& list = bySensor[p.serial];
        if (list.empty())
            order.push_back(p.serial);
        list.push_back(&p);
    }

    auto* timeAxis = new QDateTimeAxis;
    timeAxis->setFormat(QString::fromLatin1(kRanges[CurrentRange].axisFormat));
    timeAxis->setTickCount(7);
    timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(nowMs - RangeSpanMs(CurrentRange)),
                       QDateTime::fromMSecsSinceEpoch(nowMs));
    auto* valueAxis = new QValueAxis;
    valueAxis->setTitleText(QStringLiteral("°C"));
    Chart->addAxis(timeAxis, Qt::AlignBottom);
    Chart->addAxis(valueAxis, Qt::AlignLeft);

    double low = 0, high = 0;
    bool any = false;
    auto attach = [&](QAbstractSeries* series, bool inLegend) {
        Chart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(valueAxis);
        if (!inLegend)
            for (QLegendMarker* marker : Chart->legend()->markers(series))
                marker->setVisible(false);
    };
    int colourIndex = 0;
    for (const std::string& serial : order) {
        const auto& points = bySensor[serial];
        QColor colour = QColor::fromHsv((colourIndex++ * 137) % 360, 200, 200);
        QString name = SensorName(*points.back());
        bool first = true;
        for (const auto& run : Segments(points, shownTier)) {
            QList<QPointF> line, lower, upper;
            line.reserve(static_cast<qsizetype>(run.size()));
            for (const HistoryPoint* p : run) {
                double x = static_cast<double>(p->timeMs);
                line.append(QPointF(x, p->mean));
                if (band) {
                    lower.append(QPointF(x, p->min));
                    upper.append(QPointF(x, p->max));
                }
                double pLow = band ? p->min : p->mean, pHigh = band ? p->max : p->mean;
                low = any ? std::min(low, pLow) : pLow;
                high = any ? std::max(high, pHigh) : pHigh;
                any = true;
            }
            if (band) {
                // The area does not own its edges: they are its children, so
                // they go when removeAllSeries() deletes the area.
                auto* area = new QAreaSeries;
                auto* lowerSeries = new QLineSeries(area);
                auto* upperSeries = new QLineSeries(area);
                lowerSeries->replace(lower);
                upperSeries->replace(upper);
                area->setUpperSeries(upperSeries);
                area->setLowerSeries(lowerSeries);
                QColor fill = colour;
                fill.setAlpha(60);
                area->setBrush(fill);
                area->setPen(Qt::NoPen);
                attach(area, false);
            }
            auto* series = new QLineSeries;
            if (first)  // one legend entry per sensor
                series->setName(name);
            series->setColor(colour);
            series->replace(line);
            attach(series, first);
            first = false;
        }
    }
    if (!any) {
        low = 0;
        high = 30;
    }
    double margin = std::max(0.5, (high - low) * 0.05);
    valueAxis->setRange(low - margin, high + margin);
    valueAxis->applyNiceNumbers();
    Chart->legend()->setVisible(AllSensors);
    Chart->setTitle(AllSensors ? QStringLiteral("All sensors")
                               : (Points.empty() ? Serial : SensorName(Points.back()) + QStringLiteral("  ") + Serial));
}

bool KarvixChart::savePng(const QString& path)
{
    return ChartView->grab().save(path, "PNG");
}

bool KarvixChart::saveCsv(const QString& path)
{
    std::string csv;
    HistoryCsvHeader(tier(), &csv);
    for (const HistoryPoint& p : Points)
        HistoryCsvRow(tier(), p, &csv);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    bool written = file.write(csv.data(), static_cast<qint64>(csv.size())) == static_cast<qint64>(csv.size());
    return file.flush() && written;
}

void KarvixChart::SavePng_Click()
{
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save chart"), QStringLiteral("history.png"),
                                                QStringLiteral("PNG images (*.png)"));
    if (!path.isEmpty() && !savePng(path))
        Status->setText(QStringLiteral("Could not write ") + path);
}

void KarvixChart::SaveCsv_Click()
{
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save shown data"), QStringLiteral("history.csv"),
                                                QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty() && !saveCsv(path))
        Status->setText(QStringLiteral("Could not write ") + path);
}

QString KarvixHistoryPath(const QString& dataFile)
{
    return QFileInfo(dataFile).absolutePath() + QStringLiteral("/temp-history.db");
}

QString KarvixSerialOfRow(const QString& rowText)
{
    qsizetype first = rowText.indexOf(QLatin1Char(','));
    qsizetype second = first < 0 ? -1 : rowText.indexOf(QLatin1Char(','), first + 1);
    if (second - first - 1 < 16)
        return QString();
    QString serial = rowText.mid(second - 16, 16).toUpper();
    for (QChar c : serial)
        if (!c.isDigit() && (c < QLatin1Char('A') || c > QLatin1Char('F')))
            return QString();
    return serial;
}

void KarvixAttachHistory(Karvixfrm* form)
{
    auto* list = form->findChild<QListWidget*>(QStringLiteral("List1"));
    if (!list)
        return;
    auto open = [form](QListWidgetItem* item) {
        QString serial = item ? KarvixSerialOfRow(item->text()) : QString();
        if (serial.isEmpty())
            return;
        auto* chart = new KarvixChart(KarvixHistoryPath(form->dbFile()), serial, form);
        chart->reload();
        chart->show();
    };
    QObject::connect(list, &QListWidget::itemDoubleClicked, form, open);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list, &QWidget::customContextMenuRequested, form, [list, open](const QPoint& at) {
        QListWidgetItem* item = list->itemAt(at);
        if (!item || KarvixSerialOfRow(item->text()).isEmpty())
            return;
        QMenu menu(list);
        QAction* history = menu.addAction(QStringLiteral("History…"));
        if (menu.exec(list->viewport()->mapToGlobal(at)) == history)
            open(item);
    });
}
