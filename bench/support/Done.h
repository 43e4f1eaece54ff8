// Done: a signal the benchmark thread waits on, set from a receive thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace BenchNet {

class Done {
public:
    void Set() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Set = true;
        m_Changed.notify_all();
    }
    // False when seconds pass first.
    bool Wait(int seconds) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Changed.wait_for(hold, std::chrono::seconds(seconds), [&] { return m_Set; });
    }
    void Reset() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Set = false;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Set = false;
};

} // namespace BenchNet
