// Filled in by the console work.
#include "support/console.h"
