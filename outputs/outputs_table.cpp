// The outputs that a finished cycle feeds, in the order they run; their keys
// are listed in this order too when temp.conf has an unknown one. Each one is
// switched on or off by temp.conf in its own open(). The build leaves an
// optional output out by compiling its stand-in (history_off.cpp,
// mqtt_off.cpp) in its place.
#include "outputs/outputs.h"

extern const CycleOutputOps HistoryOutput;
extern const CycleOutputOps MetricsOutput;
extern const CycleOutputOps MqttOutput;

const CycleOutputOps* const BuiltinOutputs[] = {
    &HistoryOutput,
    &MetricsOutput,
    &MqttOutput,
};
const int BuiltinOutputCount = static_cast<int>(sizeof BuiltinOutputs / sizeof BuiltinOutputs[0]);
