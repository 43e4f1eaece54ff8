// The log services: Debug, YRet, _format_str and the replaceable sink.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/Log.h"
#include "platform/WinApi.h"

using namespace YNet2;

namespace {

// Records lines without a lock of its own: the log calls its sink under the
// log's lock, one line at a time. Two calls overlapping are counted.
class UnlockedCapture {
public:
    UnlockedCapture() { SetLogSink(&UnlockedCapture::Sink, this); }
    ~UnlockedCapture() { SetLogSink(nullptr, nullptr); }
    UnlockedCapture(const UnlockedCapture&) = delete;
    UnlockedCapture& operator=(const UnlockedCapture&) = delete;

    std::vector<std::string> lines;
    std::atomic<int> overlaps{0};

private:
    static void Sink(const char* line, void* context) {
        auto* self = static_cast<UnlockedCapture*>(context);
        if (self->m_Inside.fetch_add(1) != 0)
            self->overlaps.fetch_add(1);
        self->lines.emplace_back(line);
        self->m_Inside.fetch_sub(1);
    }

    std::atomic<int> m_Inside{0};
};

} // namespace

TEST(Log, YRetWritesTheLineAndReturnsTheCode) {
    UnlockedCapture capture;
    EXPECT_EQ(E_FAIL, YRet(E_FAIL, "TCPClient::Init() connect fail(0x%x)!", 10061));
    EXPECT_EQ(-1, YRet(-1, "plain"));
    EXPECT_EQ(10, YRet(10, "SocketInit()"));
    ASSERT_EQ(3u, capture.lines.size());
    EXPECT_EQ("TCPClient::Init() connect fail(0x274d)!", capture.lines[0]);
    EXPECT_EQ("plain", capture.lines[1]);
    EXPECT_EQ("SocketInit()", capture.lines[2]);
}

TEST(Log, DebugFormatsAsPrintfDoes) {
    UnlockedCapture capture;
    Debug("Yonder3::YSocket::RecvLen(%d) error!( 0x%x)", 10, 10054u);
    Debug("%u %s %d", 4294967295u, "text", -7);
    ASSERT_EQ(2u, capture.lines.size());
    EXPECT_EQ("Yonder3::YSocket::RecvLen(10) error!( 0x2746)", capture.lines[0]);
    EXPECT_EQ("4294967295 text -7", capture.lines[1]);
}

TEST(Log, LongLineArrivesWhole) {
    UnlockedCapture capture;
    // Around the size a line is first formatted into, and far beyond it.
    const std::vector<size_t> lengths = {510, 511, 512, 513, 5003};
    for (size_t length : lengths) {
        std::string text(length - 5, 'q');
        text += "end";
        Debug("[%s]", text.c_str());
    }
    ASSERT_EQ(lengths.size(), capture.lines.size());
    for (size_t i = 0; i < lengths.size(); ++i) {
        EXPECT_EQ(lengths[i], capture.lines[i].size());
        std::string expected(lengths[i], 'q');
        expected.front() = '[';
        expected.replace(lengths[i] - 4, 4, "end]");
        EXPECT_EQ(expected, capture.lines[i]);
    }
}

TEST(Log, GbkBytesPassThroughUntouched) {
    UnlockedCapture capture;
    // GBK text in the format itself and in an argument, bytes above 0x7F.
    Debug("\xBD\xD3\xCA\xD5\xCA\xFD\xBE\xDD %d %s", 3, "\xB4\xED\xCE\xF3");
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(std::string("\xBD\xD3\xCA\xD5\xCA\xFD\xBE\xDD 3 \xB4\xED\xCE\xF3"), capture.lines[0]);
}

TEST(Log, LinesStayWholeWhenManyThreadsWrite) {
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    UnlockedCapture capture;
    {
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    Debug("writer %d line %d %s", t, i, "................................................");
            });
        for (std::thread& writer : writers)
            writer.join();
    }
    EXPECT_EQ(0, capture.overlaps.load());
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), capture.lines.size());
    // Each writer's lines arrive whole and in its own order.
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : capture.lines) {
        int t = -1;
        int i = -1;
        char tail[64] = {};
        ASSERT_EQ(3, std::sscanf(line.c_str(), "writer %d line %d %63s", &t, &i, tail)) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(next[t], i) << line;
        EXPECT_EQ(std::string(48, '.'), tail) << line;
        next[t] = i + 1;
    }
}

TEST(Log, NullSinkRestoresTheDefault) {
    {
        UnlockedCapture capture;
        SetLogSink(nullptr, &capture); // context ignored with the default sink
        testing::internal::CaptureStderr();
        Debug("back on stderr %d", 42);
        std::string written = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(capture.lines.empty());
        EXPECT_EQ("[YNet2] back on stderr 42\n", written); // the default sink's prefix, one line
    }
}

TEST(Log, FormatStrWritesTerminatedText) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    _format_str(buffer, "%d.%d.%d.%d:%u", 127, 0, 0, 1, 8080u);
    EXPECT_STREQ("127.0.0.1:8080", buffer);
}
