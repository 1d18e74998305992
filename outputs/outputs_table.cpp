// The outputs that a finished cycle feeds, in the order they run. Each one is
// switched on or off by temp.conf in its own open().
#include "outputs/outputs.h"

#ifdef TEMP_HAVE_HISTORY
extern const CycleOutputOps HistoryOutput;
#endif
extern const CycleOutputOps MetricsOutput;

const CycleOutputOps* const BuiltinOutputs[] = {
#ifdef TEMP_HAVE_HISTORY
    &HistoryOutput,
#endif
    &MetricsOutput,
};
const int BuiltinOutputCount = static_cast<int>(sizeof BuiltinOutputs / sizeof BuiltinOutputs[0]);
