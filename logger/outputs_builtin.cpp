// The outputs that a finished cycle feeds, in the order they run. Each one is
// switched on or off by temp.conf in its own open().
#include "logger/outputs.h"

extern const CycleOutputOps MetricsOutput;

const CycleOutputOps* const BuiltinOutputs[] = {
    &MetricsOutput,
};
const int BuiltinOutputCount = static_cast<int>(sizeof BuiltinOutputs / sizeof BuiltinOutputs[0]);
