// The port numbering shared by every layer of the adapter stack.
#pragma once

// Number of port slots; valid PortNumbers are 0..MAX_PORTNUM-1.
constexpr int MAX_PORTNUM = 16;
