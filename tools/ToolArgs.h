// Internal header. Reading the command-line arguments of the tools.
#pragma once

#include "platform/WinApi.h"

namespace YNet2Tools {

// Reads text as a decimal number of at most limit into value. False, and
// value untouched, for a missing argument, a sign, any character that is
// not a digit, or a number above limit.
bool ParseNumber(const char* text, DWORD limit, DWORD& value);

// Reads text as a number of seconds with at most three decimals ("2",
// "0.5", "2.25") of at most limitMs milliseconds into milliseconds. False,
// and milliseconds untouched, for anything else.
bool ParseSeconds(const char* text, DWORD limitMs, DWORD& milliseconds);

} // namespace YNet2Tools
