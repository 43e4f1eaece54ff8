// Receive stream and block pool costs.
//
// Reassembly: a run of equal messages arrives in 2880-byte pieces. The
// stream receives each piece into pool blocks (asking for the room left in
// its block, or for what a pending message lacks), finds the boundaries and
// hands every message out in place; the naive parser appends each piece to
// one growing buffer and copies every message into a buffer of its own.
// Both read every message's size and last byte. Counters: messages/s
// (items) and bytes/s.
//
// Pool: one block taken from the shared pool and given back, beside
// malloc/free of a block's 32-bit size (2896 bytes).
#include <benchmark/benchmark.h>

#include "message/YNetMsgHead.h"
#include "stream/LockHolder.h"
#include "stream/NetStream.h"
#include "stream/SharedBlockPool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace YNet2;

namespace {

constexpr std::size_t kPiece = 2880;
constexpr std::size_t kWireBytes = kPiece * 256; // 720 KiB per pass

std::vector<BYTE> Wire(int messageSize) {
    std::vector<BYTE> wire;
    std::vector<BYTE> message(static_cast<std::size_t>(messageSize));
    for (std::size_t i = 4; i < message.size(); ++i)
        message[i] = static_cast<BYTE>(i * 13);
    reinterpret_cast<YNetMsgHead*>(message.data())->SetHead(static_cast<WORD>(messageSize), 3, 1, false, false, false);
    while (wire.size() + message.size() <= kWireBytes)
        wire.insert(wire.end(), message.begin(), message.end());
    return wire;
}

// What a consumer does with a message: reads its size and its last byte.
inline std::size_t Use(const BYTE* message) {
    const std::size_t size = static_cast<std::size_t>(reinterpret_cast<const YNetMsgHead*>(message)->GetSize());
    return size + message[size - 1];
}

void StreamReassembly(benchmark::State& state) {
    const std::vector<BYTE> wire = Wire(static_cast<int>(state.range(0)));
    NetStream stream;
    std::size_t messages = 0, sink = 0;
    for (auto _ : state) {
        _block* block = nullptr;
        ULONG remaining = 0;
        for (std::size_t piece = 0; piece < wire.size(); piece += kPiece) {
            const std::size_t pieceEnd = std::min(piece + kPiece, wire.size());
            for (std::size_t at = piece; at < pieceEnd;) {
                ULONG want = remaining;
                if (want == 0)
                    want = block != nullptr && block->m_Len < _block::Size ? _block::Size - block->m_Len : _block::Size;
                block = stream.Request(block, want);
                const ULONG n = static_cast<ULONG>(std::min<std::size_t>(want, pieceEnd - at));
                std::memcpy(block->m_Bytes + block->m_Len, wire.data() + at, n); // the receive
                at += n;
                if (stream.Analyse_InData(n, block, remaining) < 0)
                    state.SkipWithError("refused");
            }
            while (YNetMsgHead* head = stream.Process_InData()) {
                sink += Use(reinterpret_cast<const BYTE*>(head));
                ++messages;
                stream.BrushMsg();
            }
        }
        stream.EndConnect();
        if (stream.Process_InData() == nullptr)
            state.SkipWithError("no end head");
        stream.Release();
        stream.Clear();
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}

void NaiveReassembly(benchmark::State& state) {
    const std::vector<BYTE> wire = Wire(static_cast<int>(state.range(0)));
    std::vector<BYTE> buffer;
    std::size_t messages = 0, sink = 0;
    for (auto _ : state) {
        buffer.clear();
        for (std::size_t piece = 0; piece < wire.size(); piece += kPiece) {
            const std::size_t pieceEnd = std::min(piece + kPiece, wire.size());
            buffer.insert(buffer.end(), wire.begin() + static_cast<std::ptrdiff_t>(piece),
                          wire.begin() + static_cast<std::ptrdiff_t>(pieceEnd)); // the receive
            std::size_t at = 0;
            while (buffer.size() - at >= 4) {
                const std::size_t size =
                    static_cast<std::size_t>(reinterpret_cast<const YNetMsgHead*>(buffer.data() + at)->GetSize());
                if (size < 4 || size > 1440 || size > buffer.size() - at)
                    break;
                std::vector<BYTE> message(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                                          buffer.begin() + static_cast<std::ptrdiff_t>(at + size));
                sink += Use(message.data());
                ++messages;
                at += size;
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}

void PoolTakeAndGiveBack(benchmark::State& state) {
    _buff& pool = SharedBlockPool();
    for (auto _ : state) {
        _block* block = pool.Add();
        benchmark::DoNotOptimize(block);
        LockHolder hold(&pool.m_Lock);
        pool.Remove(block);
    }
}

void MallocFree2896(benchmark::State& state) {
    for (auto _ : state) {
        void* block = std::malloc(2896);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}

} // namespace

BENCHMARK(StreamReassembly)->Arg(100)->Arg(1440);
BENCHMARK(NaiveReassembly)->Arg(100)->Arg(1440);
BENCHMARK(PoolTakeAndGiveBack);
BENCHMARK(MallocFree2896);

BENCHMARK_MAIN();
