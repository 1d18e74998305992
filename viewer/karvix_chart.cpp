#include "karvix_chart.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QCategoryAxis>
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
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <map>

#include "history/history_text.h"
#include "karvixfrm.h"

namespace {

constexpr int kFollowMs = 5000;
constexpr int kDefaultWidth = 900;
constexpr int kDefaultHeight = 520;
using karvix::kDayMs;
using karvix::kHourMs;
using karvix::kMinuteMs;
using karvix::kSecondMs;

// The shortest span a zoom shows.
constexpr qint64 kLeastZoomMs = 10 * kSecondMs;
// One wheel notch zooms in by this factor (out by its inverse).
constexpr double kWheelZoom = 0.8;

struct RangeInfo {
    const char* name;
    qint64 spanMs;  // what it reads back from now
};
constexpr RangeInfo kRanges[KarvixChart::RANGE_COUNT] = {
    {"Fit data", kHourMs}, {"10 min", 10 * kMinuteMs}, {"1 h", kHourMs},      {"6 h", 6 * kHourMs},
    {"24 h", kDayMs},      {"7 d", 7 * kDayMs},         {"30 d", 30 * kDayMs}, {"1 y", 365 * kDayMs},
};

// The view that zooms the time axis with the wheel.
class WheelZoomView : public QChartView {
public:
    WheelZoomView(QChart* chart, KarvixChart* owner) : QChartView(chart, owner), Owner(owner) {}

protected:
    void wheelEvent(QWheelEvent* event) override
    {
        const int notches = event->angleDelta().y() / 120;
        if (notches == 0) {
            event->ignore();
            return;
        }
        const QPointF value = chart()->mapToValue(chart()->mapFromScene(mapToScene(event->position().toPoint())));
        Owner->zoomTime(std::pow(kWheelZoom, notches), static_cast<qint64>(value.x()));
        event->accept();
    }

private:
    KarvixChart* Owner;
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

// The name of a sensor: its label and PLACE number from the place table, or
// else the label the history holds (the history's number is the record's
// position in temp.pd, not the PLACE, so it is not shown), or its serial.
QString SensorName(const HistoryPoint& point, const karvix::TableLines& places)
{
    int place = 0;
    std::string tableLabel;
    if (karvix::PlaceOf(places, point.serial, &place, &tableLabel)) {
        QString label = QString::fromLocal8Bit(tableLabel.data(), static_cast<qsizetype>(tableLabel.size()));
        return label.isEmpty() ? QStringLiteral("place %1").arg(place)
                               : QStringLiteral("%1 (place %2)").arg(label).arg(place);
    }
    QString label = QString::fromLocal8Bit(point.label.data(), static_cast<qsizetype>(point.label.size())).trimmed();
    return label.isEmpty() ? QString::fromLatin1(point.serial.data(), static_cast<qsizetype>(point.serial.size()))
                           : label;
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
    ResetZoomButton = new QPushButton(QStringLiteral("Reset zoom"), this);
    ResetZoomButton->setObjectName(QStringLiteral("ResetZoomButton"));
    ResetZoomButton->setEnabled(false);
    connect(ResetZoomButton, &QPushButton::clicked, this, &KarvixChart::resetZoom);

    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("Status"));
}

void KarvixChart::createChart()
{
    Chart = new QChart();
    Chart->legend()->setAlignment(Qt::AlignBottom);
    ChartView = new WheelZoomView(Chart, this);
    ChartView->setObjectName(QStringLiteral("ChartView"));
    ChartView->setRenderHint(QPainter::Antialiasing);
    // A span dragged across the chart zooms to it; the right button zooms out.
    ChartView->setRubberBand(QChartView::HorizontalRubberBand);

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("Range"), this));
    controls->addWidget(RangeBox);
    controls->addWidget(AllSensorsBox);
    controls->addWidget(ResetZoomButton);
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
    Zoomed = false;
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
    // A zoom survives the redraws of following; the range's span otherwise.
    qint64 fromMs = 0, toMs = 0;
    if (Zoomed && TimeAxis) {
        fromMs = shownFromMs();
        toMs = shownToMs();
    } else {
        rangeSpan(nowMs, &fromMs, &toMs);
    }
    LastNow = nowMs;
    Chart->removeAllSeries();
    // removeAxis hands the axis back: delete it, or every redraw leaks two.
    for (QAbstractAxis* axis : Chart->axes()) {
        Chart->removeAxis(axis);
        if (axis == TimeAxis)
            TimeAxis = nullptr;
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

    // Time as milliseconds since 1970, labelled at round local times.
    auto* timeAxis = new QCategoryAxis;
    timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    timeAxis->setTitleText(KarvixLocalZoneTitle(toMs));
    TimeAxis = timeAxis;
    setTimeRange(fromMs, toMs);
    connect(timeAxis, &QCategoryAxis::rangeChanged, this, &KarvixChart::TimeAxis_RangeChanged);
    ChartView->setToolTip(timeAxis->titleText() +
                          QStringLiteral(". Wheel: zoom; drag across: zoom to that span; Reset zoom: back to the range."));
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
        QString name = SensorName(*points.back(), Places);
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
                               : (Points.empty() ? Serial : SensorName(Points.back(), Places) + QStringLiteral("  ") + Serial));
}

void KarvixChart::rangeSpan(qint64 nowMs, qint64* fromMs, qint64* toMs) const
{
    if (CurrentRange == RANGE_FIT) {
        KarvixFitSpan(Points, nowMs, fromMs, toMs);
        return;
    }
    *fromMs = nowMs - RangeSpanMs(CurrentRange);
    *toMs = nowMs;
}

qint64 KarvixChart::shownFromMs() const
{
    return TimeAxis ? std::llround(TimeAxis->min()) : 0;
}

qint64 KarvixChart::shownToMs() const
{
    return TimeAxis ? std::llround(TimeAxis->max()) : 0;
}

std::vector<qint64> KarvixChart::tickTimes() const
{
    std::vector<qint64> times;
    if (TimeAxis)
        for (const QString& label : TimeAxis->categoriesLabels())
            times.push_back(std::llround(TimeAxis->endValue(label)));
    return times;
}

void KarvixChart::setTimeRange(qint64 fromMs, qint64 toMs)
{
    SettingRange = true;
    TimeAxis->setRange(static_cast<double>(fromMs), static_cast<double>(std::max(toMs, fromMs + kSecondMs)));
    placeTicks();
    SettingRange = false;
}

void KarvixChart::placeTicks()
{
    const qint64 from = shownFromMs(), to = shownToMs();
    KarvixTimeTicks ticks = KarvixRoundTicks(from, to, QDateTime::fromMSecsSinceEpoch(from).offsetFromUtc());
    const bool guard = SettingRange;
    SettingRange = true;
    for (const QString& label : TimeAxis->categoriesLabels())
        TimeAxis->remove(label);
    TimeAxis->setStartValue(static_cast<double>(from));
    for (int i = 0; i < ticks.count; ++i) {
        const qint64 t = ticks.firstMs + i * ticks.stepMs;
        TimeAxis->append(QDateTime::fromMSecsSinceEpoch(t).toString(ticks.format), static_cast<double>(t));
    }
    TimeAxis->setRange(static_cast<double>(from), static_cast<double>(to));
    SettingRange = guard;
    TickStep = ticks.stepMs;
}

void KarvixChart::TimeAxis_RangeChanged()
{
    // A dragged span (QChart::zoomIn) or the right button's zoom out.
    if (SettingRange)
        return;
    Zoomed = true;
    ResetZoomButton->setEnabled(true);
    placeTicks();
}

void KarvixChart::zoomTime(double factor, qint64 centreMs)
{
    if (!TimeAxis || factor <= 0)
        return;
    const qint64 from = shownFromMs(), to = shownToMs();
    centreMs = std::clamp(centreMs, from, to);
    qint64 newFrom = centreMs - std::llround(static_cast<double>(centreMs - from) * factor);
    qint64 newTo = centreMs + std::llround(static_cast<double>(to - centreMs) * factor);
    if (newTo - newFrom < kLeastZoomMs) {
        newFrom = centreMs - kLeastZoomMs / 2;
        newTo = newFrom + kLeastZoomMs;
    }
    Zoomed = true;
    ResetZoomButton->setEnabled(true);
    setTimeRange(newFrom, newTo);
}

void KarvixChart::resetZoom()
{
    Zoomed = false;
    ResetZoomButton->setEnabled(false);
    Chart->zoomReset();
    draw(LastNow);
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
        chart->setPlaceTable(form->placeTable());
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
