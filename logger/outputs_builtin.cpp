// The outputs that a finished cycle feeds, in the order they run. Each one is
// switched on or off by temp.conf in its own open().
#include "logger/outputs.h"

#ifdef TEMP_HAVE_HISTORY
extern const CycleOutputOps HistoryOutput;
#endif

const CycleOutputOps* const BuiltinOutputs[] = {
#ifdef TEMP_HAVE_HISTORY
    &HistoryOutput,
#endif
    nullptr,  // the end; the array may not be empty
};
const int BuiltinOutputCount = sizeof BuiltinOutputs / sizeof BuiltinOutputs[0] - 1;
