// Public header.
/// @file
/// The log services every part of the library writes through.
///
/// A log line is an 8-bit string without a trailing newline; a few are GBK
/// text, handed over byte for byte. Lines reach the sink one whole line at a
/// time, even when many threads write at once (the sink is called under a
/// lock). The default sink writes each line to stderr.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

/// A sink of log lines: called with each line and the context given to
/// SetLogSink, one line at a time.
typedef void (*LogSink)(const char* line, void* context);

/// Installs the sink that receives every line from now on; a null sink
/// restores the default (stderr). Any thread may call it, a sink too (the
/// lock is the one lines are written under, and a thread may take it again):
/// the line being written then is the last the replaced sink gets.
YNET_API void SetLogSink(LogSink sink, void* context);

/// As SetLogSink, and the log owns context: once a later SetLogSink or
/// SetOwnedLogSink has replaced the sink, release(context) is called (after
/// the swap, outside the lock, on the replacing thread), so that whoever
/// installs a sink never frees a context that another's sink still uses.
/// A sink that may replace itself reads what it needs of its context first.
YNET_API void SetOwnedLogSink(LogSink sink, void* context, void (*release)(void* context));

/// Writes one log line, formatted as printf formats it.
YNET_API void Debug(const char* format, ...) YNET_PRINTF(1, 2);

/// Writes one log line and returns code unchanged, so a failing operation
/// can end with `return YRet(E_FAIL, "...")`.
YNET_API LONG YRet(LONG code, const char* format, ...) YNET_PRINTF(2, 3);

/// sprintf: formats into buffer, NUL-terminated. No size is passed; the
/// caller's buffer must hold the text.
YNET_API void _format_str(char* buffer, const char* format, ...) YNET_PRINTF(2, 3);

} // namespace YNet2
