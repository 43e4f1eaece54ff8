// PingWorker: the ping-pong benchmarks' handler. Start sends the first
// message; the handler sums each answer and sends the next copy through the
// kernel it came from, until the target; the waiter hears then.
#pragma once

#include <cstdint>
#include <cstring>

#include "client/MsgWorker.h"
#include "client/NetKernel.h"
#include "client/TCPClient.h"
#include "support/Contenders.h"
#include "support/Done.h"

namespace BenchNet {

class PingWorker : public YNet2::MsgWorker {
public:
    explicit PingWorker(const Bytes& plain) : YNet2::MsgWorker(nullptr, 0), m_Plain(plain), m_Out(plain.size()) {}

    // Sends the first message; the handler sends each next one.
    bool Start(YNet2::TCPClient& client, long target, std::uint64_t* sum) {
        m_Target = target;
        m_Count = 0;
        m_Sum = sum;
        m_Done.Reset();
        return Ping(&client);
    }
    bool Wait() { return m_Done.Wait(120); }

    LONG HandleMessage(void* message, int length, void*, void* kernel) override {
        *m_Sum += SumBytes(static_cast<unsigned char*>(message), length);
        if (++m_Count >= m_Target) {
            m_Done.Set();
            return 0;
        }
        return Ping(static_cast<YNet2::NetKernel*>(kernel)) ? 0 : 1;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

private:
    bool Ping(YNet2::NetKernel* kernel) {
        std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
        int size = static_cast<int>(m_Out.size());
        return kernel->SendMsg(nullptr, m_Out.data(), size) == size;
    }
    const Bytes m_Plain;
    Bytes m_Out;
    long m_Target = 0;
    long m_Count = 0;
    std::uint64_t* m_Sum = nullptr;
    Done m_Done;
};

} // namespace BenchNet
