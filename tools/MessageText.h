// Internal header. Text forms of a message for the command-line tools.
#pragma once

#include <string>

#include "platform/WinApi.h"

namespace YNet2Tools {

// One line describing a whole message (head, then the unscrambled body):
//   main=1 assist=2 flags=request size=7 body="abc"
// Body bytes outside printable ASCII appear as \xNN, a quote or backslash
// escaped; with hex the body is written as hexadecimal bytes instead:
//   main=1 assist=2 flags=request size=7 hex=61 62 63
// length is the number of bytes at message (at least 4); a size field that
// differs from it is shown as it is.
std::string DescribeMessage(const BYTE* message, int length, bool hex);

// "a.b.c.d:port" of an IPv4 address and port in network byte order.
std::string DescribeAddress(ULONG address, WORD port);

} // namespace YNet2Tools
