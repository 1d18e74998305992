// The history output of a build without SQLite: its keys are judged as
// anywhere else, and it never opens.
#include "outputs/history_settings.h"

namespace {

int OpenNoHistory(const TempConfig&) { return 0; }
void NoCycle(const CycleReport&) {}

}  // namespace

extern const CycleOutputOps HistoryOutput = {"history", OpenNoHistory, NoCycle, nullptr, HistoryKeys, HistorySetting};
