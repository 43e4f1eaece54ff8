#include "framework/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace YNet2 {
namespace {

void StderrSink(const char* line, void* /*context*/) {
    std::fprintf(stderr, "[YNet2] %s\n", line);
    std::fflush(stderr);
}

// The lock that keeps lines whole and the sink that receives them. Built on
// first use, so lines written during static initialisation are safe too.
struct LogState {
    CRITICAL_SECTION lock;
    LogSink sink = StderrSink;
    void* context = nullptr;
    void (*release)(void*) = nullptr; // of context, when it is replaced

    LogState() { InitializeCriticalSection(&lock); }
    // Never destroyed: a line may still be written during unload.
};

LogState& State() {
    static LogState* state = new LogState();
    return *state;
}

void WriteLine(const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof(small), format, args);
    char* line = small;
    if (length >= static_cast<int>(sizeof(small))) {
        line = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
        if (line != nullptr)
            std::vsnprintf(line, static_cast<std::size_t>(length) + 1, format, again);
        else
            line = small; // keep the truncated text rather than lose the line
    }
    va_end(again);
    if (length < 0)
        small[0] = '\0';

    LogState& state = State();
    EnterCriticalSection(&state.lock);
    state.sink(line, state.context);
    LeaveCriticalSection(&state.lock);

    if (line != small)
        std::free(line);
}

} // namespace

void SetLogSink(LogSink sink, void* context) {
    SetOwnedLogSink(sink, context, nullptr);
}

void SetOwnedLogSink(LogSink sink, void* context, void (*release)(void* context)) {
    LogState& state = State();
    EnterCriticalSection(&state.lock);
    void* replaced = state.context;
    void (*releaseReplaced)(void*) = state.release;
    state.sink = sink != nullptr ? sink : StderrSink;
    state.context = sink != nullptr ? context : nullptr;
    state.release = sink != nullptr ? release : nullptr;
    LeaveCriticalSection(&state.lock);
    // No line reaches it any more; a sink that replaced itself has copied
    // what it needs of it before it called here.
    if (releaseReplaced != nullptr)
        releaseReplaced(replaced);
}

void Debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
}

LONG YRet(LONG code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
    return code;
}

void _format_str(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsprintf(buffer, format, args);
    va_end(args);
}

} // namespace YNet2
