// temp-probe: checks an adapter and lists what is on its bus.
#include "probe/probe.h"

int main(int argc, char** argv) { return RunProbe(argc, argv); }
