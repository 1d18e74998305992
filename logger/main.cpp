// temp: the console temperature logger.
#include "logger/logger.h"

int main(int argc, char** argv) { return RunLogger(argc, argv); }
