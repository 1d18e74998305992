// The chart's time axis: ticks at round local times, the span the "Fit data"
// range shows, and the axis title naming the local zone.
#include "karvix_time_axis.h"

#include <QDateTime>

#include <algorithm>

#include "karvix_view.h"

namespace {

using karvix::kDayMs;
using karvix::kHourMs;
using karvix::kMinuteMs;
using karvix::kSecondMs;

// Tick steps, each a round number of local time.
constexpr qint64 kTickSteps[] = {
    kSecondMs,      2 * kSecondMs,  5 * kSecondMs,  10 * kSecondMs, 15 * kSecondMs, 30 * kSecondMs,
    kMinuteMs,      2 * kMinuteMs,  5 * kMinuteMs,  10 * kMinuteMs, 15 * kMinuteMs, 30 * kMinuteMs,
    kHourMs,        2 * kHourMs,    3 * kHourMs,    6 * kHourMs,    12 * kHourMs,   kDayMs,
    2 * kDayMs,     7 * kDayMs,     14 * kDayMs,    30 * kDayMs,    60 * kDayMs,
};
constexpr int kMostTickSteps = 8;  // intervals between ticks

// Floor and ceiling of a time to a step of local time.
qint64 FloorTo(qint64 t, qint64 step, qint64 offsetMs)
{
    qint64 local = t + offsetMs;
    qint64 down = local / step * step;
    if (down > local)
        down -= step;
    return down - offsetMs;
}

qint64 CeilTo(qint64 t, qint64 step, qint64 offsetMs)
{
    qint64 down = FloorTo(t, step, offsetMs);
    return down == t ? t : down + step;
}

}  // namespace

KarvixTimeTicks KarvixRoundTicks(qint64 fromMs, qint64 toMs, int utcOffsetSeconds)
{
    const qint64 offset = qint64{utcOffsetSeconds} * 1000;
    toMs = std::max(toMs, fromMs);
    KarvixTimeTicks ticks{};
    for (qint64 step : kTickSteps) {
        ticks.firstMs = CeilTo(fromMs, step, offset);
        ticks.stepMs = step;
        ticks.count = ticks.firstMs > toMs ? 0 : static_cast<int>((toMs - ticks.firstMs) / step) + 1;
        if (ticks.count <= kMostTickSteps + 1)
            break;
    }
    const qint64 span = toMs - fromMs;
    if (ticks.stepMs < kMinuteMs)
        ticks.format = QStringLiteral("HH:mm:ss");
    else if (ticks.stepMs < kDayMs)
        ticks.format = span <= kDayMs ? QStringLiteral("HH:mm") : QStringLiteral("dd.MM. HH:mm");
    else
        ticks.format = span <= 60 * kDayMs ? QStringLiteral("dd.MM.") : QStringLiteral("dd.MM.yyyy");
    return ticks;
}

void KarvixFitSpan(const std::vector<HistoryPoint>& points, qint64 nowMs, qint64* fromMs, qint64* toMs)
{
    qint64 first = nowMs - kHourMs, last = nowMs;
    bool any = false;
    for (const HistoryPoint& p : points)
        if (p.timeMs >= nowMs - kHourMs) {
            first = any ? std::min(first, qint64{p.timeMs}) : qint64{p.timeMs};
            last = std::max(last, qint64{p.timeMs});
            any = true;
        }
    *toMs = last;
    *fromMs = std::min(first, last - kMinuteMs);
}

QString KarvixLocalZoneTitle(qint64 atMs)
{
    QDateTime at = QDateTime::fromMSecsSinceEpoch(atMs);
    QString zone = QString::fromStdString(karvix::ZoneText(at.offsetFromUtc()));
    QString name = at.timeZoneAbbreviation();
    bool named = !name.isEmpty() && !name.startsWith(QStringLiteral("UTC")) && !name.startsWith(QLatin1Char('+')) &&
                 !name.startsWith(QLatin1Char('-'));
    return QStringLiteral("Local time (%1)").arg(named ? name + QStringLiteral(", ") + zone : zone);
}
