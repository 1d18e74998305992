// UTF-8 checks for text that comes from files as plain bytes (the place
// table's labels) and goes to formats that need valid UTF-8.
#pragma once

#include <cstddef>
#include <string>

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none.
size_t Utf8Length(const std::string& text, size_t at);
