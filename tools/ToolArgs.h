// Internal header. Reading the command-line arguments of the tools.
#pragma once

#include "platform/WinApi.h"

namespace YNet2Tools {

// Reads text as a decimal number of at most limit into value. False, and
// value untouched, for a missing argument, a sign, any character that is
// not a digit, or a number above limit.
bool ParseNumber(const char* text, DWORD limit, DWORD& value);

} // namespace YNet2Tools
