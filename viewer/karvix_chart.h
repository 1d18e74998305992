// KarvixChart, the history window: the extended temperature of one sensor (or
// of every place) since the first reading of the last hour (the range it
// opens on) or over the last 10 minutes, hour, 6 hours, day, week, month or
// year, read read-only from temp-history.db beside the watched capture file.
// Each range reads the tier that fits; rollups also draw their min–max band;
// failed readings and missing buckets are gaps. The time axis has its ticks
// at round local times and zooms with the wheel or a dragged span. A timer
// follows new readings.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

#include "history/history.h"
#include "karvix_records.h"
#include "karvix_time_axis.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class Karvixfrm;
QT_BEGIN_NAMESPACE
class QChart;
class QChartView;
class QCategoryAxis;
class QListWidgetItem;
QT_END_NAMESPACE

class KarvixChart : public QWidget {
    Q_OBJECT

public:
    // RANGE_FIT: the last hour, cut to start at its first reading.
    enum Range { RANGE_FIT, RANGE_10M, RANGE_1H, RANGE_6H, RANGE_24H, RANGE_7D, RANGE_30D, RANGE_1Y, RANGE_COUNT };
    // The range's tier (HistoryTierForSpan); every sensor at once reads
    // minutes instead of raw readings beyond an hour.
    static qint64 RangeSpanMs(int range);

    // `serial` empty: every sensor.
    KarvixChart(const QString& databasePath, const QString& serial, QWidget* parent = nullptr);
    ~KarvixChart() override;

    // Reads the range again and redraws; false (with the reason in the
    // status line) when the database can't be read.
    bool reload();
    void setRange(int range);
    void setAllSensors(bool all);
    // Source of the current time (tests fix it); reload() to apply.
    void setNowSource(std::function<qint64()> source) { NowSource = std::move(source); }
    // The place table that names the sensors (PLACE number and label).
    void setPlaceTable(const karvix::TableLines& table) { Places = table; }

    // Zooms the time axis by `factor` (below 1: in) about `centreMs`, as the
    // wheel does; a dragged span zooms to that span. Either keeps the zoom
    // through following until resetZoom().
    void zoomTime(double factor, qint64 centreMs);
    void resetZoom();
    bool zoomed() const { return Zoomed; }
    // The time axis' ends and its ticks.
    qint64 shownFromMs() const;
    qint64 shownToMs() const;
    qint64 tickStepMs() const { return TickStep; }
    std::vector<qint64> tickTimes() const;

    int range() const { return CurrentRange; }
    HistoryTier tier() const;
    QChart* chart() const { return Chart; }
    QString statusText() const;
    const std::vector<HistoryPoint>& shownPoints() const { return Points; }

    bool savePng(const QString& path);
    bool saveCsv(const QString& path);

    // One 5 s tick: reloads when the database or its -wal file changed (for
    // the rollup tiers at most once a minute, or a quarter hour for hours).
    void FollowTimer_Timer();

private:
    void createControls();
    void createChart();
    void createTimer();
    void RangeBox_Changed(int index);
    void AllSensors_Toggled(bool checked);
    void SavePng_Click();
    void SaveCsv_Click();
    void draw(qint64 nowMs);
    void setTimeRange(qint64 fromMs, qint64 toMs);
    void placeTicks();
    void TimeAxis_RangeChanged();
    // The time span a range shows before any zoom.
    void rangeSpan(qint64 nowMs, qint64* fromMs, qint64* toMs) const;
    QString filesStamp() const;

    QString DatabasePath;
    QString Serial;
    HistoryReader* Reader = nullptr;
    std::vector<HistoryPoint> Points;
    int CurrentRange = RANGE_FIT;
    karvix::TableLines Places;
    qint64 LastNow = 0;
    bool Zoomed = false;
    bool SettingRange = false;
    qint64 TickStep = 0;
    bool AllSensors = false;
    QString LastStamp;
    QElapsedTimer SinceReload;
    std::function<qint64()> NowSource;

    QComboBox* RangeBox = nullptr;
    QCheckBox* AllSensorsBox = nullptr;
    QPushButton* SavePngButton = nullptr;
    QPushButton* SaveCsvButton = nullptr;
    QPushButton* ResetZoomButton = nullptr;
    QCategoryAxis* TimeAxis = nullptr;
    QChartView* ChartView = nullptr;
    QChart* Chart = nullptr;
    QLabel* Status = nullptr;
    QTimer* FollowTimer = nullptr;
};

// temp-history.db in the folder of the watched capture file.
QString KarvixHistoryPath(const QString& dataFile);
// The serial of a List1 row: the 16 characters before its second ",",
// upper-cased; empty when the row has none.
QString KarvixSerialOfRow(const QString& rowText);
// Double-click on a row of the form's List1, or its context menu "History…",
// opens a KarvixChart for that row's sensor.
void KarvixAttachHistory(Karvixfrm* form);
