// CountingWorker: the one-way benchmarks' handler. Sums and counts every
// message on the receive thread alone; the waiter hears once, at the
// target, with the receive thread's CPU seconds from its start.
#pragma once

#include <cstdint>

#include "client/MsgWorker.h"
#include "support/Contenders.h"
#include "support/Done.h"

namespace BenchNet {

class CountingWorker : public YNet2::MsgWorker {
public:
    explicit CountingWorker(long target) : YNet2::MsgWorker(nullptr, 0), m_Target(target) {}
    LONG HandleMessage(void* message, int length, void*, void*) override {
        m_Sum += SumBytes(static_cast<unsigned char*>(message), length);
        if (++m_Count == m_Target) {
            m_Cpu = BenchNet::ThreadCpuSeconds(); // the receive thread's, from its start
            m_Done.Set();
        }
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
    const long m_Target;
    long m_Count = 0;
    std::uint64_t m_Sum = 0;
    double m_Cpu = 0;
    Done m_Done;
};

} // namespace BenchNet
