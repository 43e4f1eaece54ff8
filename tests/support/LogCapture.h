// Internal header. Collects the log lines written while a LogCapture lives.
//
// It installs itself as the log's sink and removes the sink when destroyed,
// so only one may live at a time. Lines may arrive from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace YNetTest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines so far, in the order they were written.
    std::vector<std::string> Lines();

private:
    static void Sink(const char* line, void* context);
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

} // namespace YNetTest
