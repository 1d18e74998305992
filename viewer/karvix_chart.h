// KarvixChart, the history window: the extended temperature of one sensor (or
// of every place) over the last hour, day, week, month or year, read
// read-only from temp-history.db beside the watched capture file. Each range
// reads the tier that fits; rollups also draw their min–max band; failed
// readings and missing buckets are gaps. A timer follows new readings.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

#include "history/history.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class Karvixfrm;
QT_BEGIN_NAMESPACE
class QChart;
class QChartView;
class QListWidgetItem;
QT_END_NAMESPACE

class KarvixChart : public QWidget {
    Q_OBJECT

public:
    enum Range { RANGE_1H, RANGE_24H, RANGE_7D, RANGE_30D, RANGE_1Y, RANGE_COUNT };
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
    QString filesStamp() const;

    QString DatabasePath;
    QString Serial;
    HistoryReader* Reader = nullptr;
    std::vector<HistoryPoint> Points;
    int CurrentRange = RANGE_24H;
    bool AllSensors = false;
    QString LastStamp;
    QElapsedTimer SinceReload;
    std::function<qint64()> NowSource;

    QComboBox* RangeBox = nullptr;
    QCheckBox* AllSensorsBox = nullptr;
    QPushButton* SavePngButton = nullptr;
    QPushButton* SaveCsvButton = nullptr;
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
