// The outputs that a finished cycle feeds, in the order they run. Each one is
// switched on or off by temp.conf in its own open().
#include "logger/outputs.h"

const CycleOutputOps* const BuiltinOutputs[] = {
    nullptr,  // placeholder: the array may not be empty
};
const int BuiltinOutputCount = 0;
