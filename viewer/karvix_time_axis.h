// The history chart's time axis, apart from its widgets: lengths of time, the
// round local times its ticks stand at, and the zone it names.
#pragma once

#include <QString>

#include <vector>

#include "history/history.h"

namespace karvix {
constexpr qint64 kSecondMs = 1000;
constexpr qint64 kMinuteMs = 60 * kSecondMs;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;
}  // namespace karvix

// Ticks at round local times within [fromMs, toMs]: the first one, the step
// and how many (at most 9). Steps from 1 s to 60 d, aligned to the local time
// of `utcOffsetSeconds`; `format` suits the step and the span.
struct KarvixTimeTicks {
    qint64 firstMs;
    qint64 stepMs;
    int count;
    QString format;
};
KarvixTimeTicks KarvixRoundTicks(qint64 fromMs, qint64 toMs, int utcOffsetSeconds);
// The span RANGE_FIT shows: from the first point of the last hour (the hour
// itself when there is none) to now, at least a minute.
void KarvixFitSpan(const std::vector<HistoryPoint>& points, qint64 nowMs, qint64* fromMs, qint64* toMs);
// "Local time (CET, UTC+01:00)" at `atMs`.
QString KarvixLocalZoneTitle(qint64 atMs);
