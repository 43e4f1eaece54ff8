// NetStream's reassembly beside a flat parser, on the same bytes.
//
// A run of equal messages arrives in 2880-byte pieces. NetStream receives
// each piece into pool blocks (asking for the room left in its block, or for
// what a pending message lacks), and hands every message out in place. The
// flat parser copies each piece behind the bytes it holds in one buffer,
// cuts the whole messages out in place and moves the rest to the front.
// Both sum every byte of every message, and each pass's sum is checked.
// The contenders take turns, their order alternating from one round to the
// next; the ratio (flat parser's time / NetStream's, > 1: NetStream is
// faster) is taken per round and reported as min / median / max.
//
// Usage: StreamBench [--rounds N] (default 10).
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

// One pass of the wire through a stream; false when it refused the bytes.
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
        while (YNetMsgHead* head = stream.Process_InData()) {
            const BYTE* message = reinterpret_cast<const BYTE*>(head);
            *sum += SumBytes(message, BenchNet::MessageSize(message));
            stream.BrushMsg();
        }
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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool Compare(int size, int rounds) {
    const Bytes wire = Wire(size);
    const std::uint64_t perPass = SumBytes(wire.data(), static_cast<int>(wire.size()));
    const int passes = 200; // 144 MB per contender and round
    NetStream stream;
    Bytes buffer(kPiece + 1440);
    std::vector<double> ratios, streamRates, flatRates;
    for (int round = 0; round < rounds; ++round) {
        double seconds[2];
        for (int turn = 0; turn < 2; ++turn) {
            const int who = (turn + round) % 2; // 0 NetStream, 1 flat parser
            std::uint64_t sum = 0;
            bool ok = true;
            Clock::time_point start = Clock::now();
            for (int pass = 0; pass < passes && ok; ++pass)
                ok = who == 0 ? StreamPass(stream, wire, &sum) : FlatPass(buffer, wire, &sum);
            seconds[who] = std::chrono::duration<double>(Clock::now() - start).count();
            if (!ok || sum != perPass * passes) {
                std::printf("stream %d: %s failed\n", size, who == 0 ? "NetStream" : "flat parser");
                return false;
            }
        }
        ratios.push_back(seconds[1] / seconds[0]);
        const double bytes = static_cast<double>(wire.size()) * passes;
        streamRates.push_back(bytes / seconds[0]);
        flatRates.push_back(bytes / seconds[1]);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("reassembly %d bytes, %d rounds of %zu MB per contender\n", size, rounds,
                wire.size() * passes / 1000000);
    std::printf("    NetStream      median %.2f GB/s\n", Median(streamRates) / 1e9);
    std::printf("    flat parser    median %.2f GB/s\n", Median(flatRates) / 1e9);
    std::printf("    %-34s min %.3f  median %.3f  max %.3f\n", "ratio NetStream / flat parser", ratios.front(),
                Median(ratios), ratios.back());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    bool ok = true;
    for (int size : {100, 1440})
        ok = Compare(size, rounds) && ok;
    return ok ? 0 : 1;
}
