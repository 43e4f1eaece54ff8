// NetStream's reassembly beside a flat parser, on the same bytes.
//
// A run of equal messages arrives in 2880-byte pieces. NetStream receives
// each piece into pool blocks (asking for the room left in its block, or for
// what a pending message lacks), and hands every message out in place: one
// at a time (Process_InData, BrushMsg), or by runs (Process_Run, BrushRun).
// The flat parser copies each piece behind the bytes it holds in one buffer,
// cuts the whole messages out in place and moves the rest to the front.
// All sum every byte of every message, and each pass's sum is checked.
// The contenders take turns, their order rotating and reversing from one
// round to the next; the ratios (flat parser's time / NetStream's, > 1:
// NetStream is faster) are taken per round and reported as min / median /
// max.
//
// Usage: StreamBench [--rounds N] [SIZE ...] (default: 10 rounds, sizes 100
// and 1440).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "message/YNetMsgHead.h"
#include "stream/NetStream.h"
#include "support/Contenders.h"
#include "support/Rounds.h"

using namespace YNet2;
using BenchNet::SumBytes;

namespace {

using Clock = std::chrono::steady_clock;
typedef std::vector<BYTE> Bytes;

constexpr std::size_t kPiece = 2880;
constexpr std::size_t kWireBytes = kPiece * 256; // 720 KiB per pass

Bytes Wire(int messageSize) {
    Bytes wire;
    Bytes message(static_cast<std::size_t>(messageSize));
    for (std::size_t i = 4; i < message.size(); ++i)
        message[i] = static_cast<BYTE>(i * 13);
    reinterpret_cast<YNetMsgHead*>(message.data())->SetHead(static_cast<WORD>(messageSize), 3, 1, false, false, false);
    while (wire.size() + message.size() <= kWireBytes)
        wire.insert(wire.end(), message.begin(), message.end());
    return wire;
}

// The consuming side, one message at a time.
void ConsumeEach(NetStream& stream, std::uint64_t* sum) {
    while (YNetMsgHead* head = stream.Process_InData()) {
        const BYTE* message = reinterpret_cast<const BYTE*>(head);
        *sum += SumBytes(message, BenchNet::MessageSize(message));
        stream.BrushMsg();
    }
}

// The consuming side, by runs.
void ConsumeRuns(NetStream& stream, std::uint64_t* sum) {
    NetMsgRun run;
    while (stream.Process_Run(run)) {
        while (YNetMsgHead* head = run.Next()) {
            const BYTE* message = reinterpret_cast<const BYTE*>(head);
            *sum += SumBytes(message, BenchNet::MessageSize(message));
        }
    }
}

// One pass of the wire through a stream; false when it refused the bytes.
template <void (*Consume)(NetStream&, std::uint64_t*)>
bool StreamPass(NetStream& stream, const Bytes& wire, std::uint64_t* sum) {
    _block* block = nullptr;
    ULONG remaining = 0;
    for (std::size_t piece = 0; piece < wire.size(); piece += kPiece) {
        const std::size_t pieceEnd = std::min(piece + kPiece, wire.size());
        for (std::size_t at = piece; at < pieceEnd;) {
            ULONG want = remaining;
            if (want == 0)
                want = block != nullptr && block->m_Len < _block::Size ? _block::Size - block->m_Len : _block::Size;
            block = stream.Request(block, want);
            if (block == nullptr)
                return false;
            const ULONG n = static_cast<ULONG>(std::min<std::size_t>(want, pieceEnd - at));
            std::memcpy(block->m_Bytes + block->m_Len, wire.data() + at, n); // the receive
            at += n;
            if (stream.Analyse_InData(n, block, remaining) < 0)
                return false;
        }
        Consume(stream, sum);
    }
    stream.EndConnect();
    const bool ended = stream.Process_InData() != nullptr;
    stream.Release();
    stream.Clear();
    return ended;
}

// One pass through the flat parser.
bool FlatPass(Bytes& buffer, const Bytes& wire, std::uint64_t* sum) {
    std::size_t kept = 0;
    for (std::size_t piece = 0; piece < wire.size(); piece += kPiece) {
        const std::size_t n = std::min(kPiece, wire.size() - piece);
        std::memcpy(buffer.data() + kept, wire.data() + piece, n); // the receive
        const std::size_t end = kept + n;
        std::size_t at = 0;
        while (end - at >= 4) {
            const int size = BenchNet::MessageSize(buffer.data() + at);
            if (size < 4 || size > 1440)
                return false;
            if (end - at < static_cast<std::size_t>(size))
                break;
            *sum += SumBytes(buffer.data() + at, size);
            at += static_cast<std::size_t>(size);
        }
        kept = end - at;
        std::memmove(buffer.data(), buffer.data() + at, kept);
    }
    return kept == 0;
}

bool Compare(int size, int rounds) {
    const Bytes wire = Wire(size);
    const std::uint64_t perPass = SumBytes(wire.data(), static_cast<int>(wire.size()));
    const int passes = 2000; // 1.4 GB per contender and round
    NetStream stream;
    Bytes buffer(kPiece + 1440);
    const char* names[] = {"NetStream, one at a time", "NetStream, runs", "flat parser"};
    std::vector<double> each, runs, rates[3];
    for (int round = 0; round < rounds; ++round) {
        double seconds[3];
        for (int who : BenchNet::OrderOfRound(round, 3)) {
            std::uint64_t sum = 0;
            bool ok = true;
            Clock::time_point start = Clock::now();
            for (int pass = 0; pass < passes && ok; ++pass) {
                if (who == 0)
                    ok = StreamPass<ConsumeEach>(stream, wire, &sum);
                else if (who == 1)
                    ok = StreamPass<ConsumeRuns>(stream, wire, &sum);
                else
                    ok = FlatPass(buffer, wire, &sum);
            }
            seconds[who] = std::chrono::duration<double>(Clock::now() - start).count();
            if (!ok || sum != perPass * passes) {
                std::printf("stream %d: %s failed\n", size, names[who]);
                return false;
            }
            rates[who].push_back(static_cast<double>(wire.size()) * passes / seconds[who]);
        }
        each.push_back(seconds[2] / seconds[0]);
        runs.push_back(seconds[2] / seconds[1]);
    }
    std::printf("reassembly %d bytes, %d rounds of %zu MB per contender\n", size, rounds,
                wire.size() * passes / 1000000);
    for (int who = 0; who < 3; ++who)
        std::printf("    %-26s median %.2f GB/s\n", names[who], BenchNet::Median(rates[who]) / 1e9);
    BenchNet::PrintSpread("ratio one at a time / flat parser", BenchNet::SpreadOf(each));
    BenchNet::PrintSpread("ratio runs / flat parser", BenchNet::SpreadOf(runs));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    bool ok = true;
    for (const std::string& part : BenchNet::PartsToRun(argc, argv, &rounds, {"100", "1440"})) {
        const int size = std::atoi(part.c_str());
        if (size < 4 || size > 1440) {
            std::printf("usage: StreamBench [--rounds N] [SIZE ...], sizes 4 to 1440\n");
            return 2;
        }
        ok = Compare(size, rounds) && ok;
    }
    return ok ? 0 : 1;
}
