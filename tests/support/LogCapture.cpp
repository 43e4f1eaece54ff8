#include "support/LogCapture.h"

#include "framework/Log.h"

namespace YNetTest {

LogCapture::LogCapture() {
    YNet2::SetLogSink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
    YNet2::SetLogSink(nullptr, nullptr);
}

std::vector<std::string> LogCapture::Lines() {
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_Lines;
}

void LogCapture::Sink(const char* line, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> hold(self->m_Mutex);
    self->m_Lines.emplace_back(line);
}

} // namespace YNetTest
