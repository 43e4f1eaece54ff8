// Encode and Decode of 3-, 100- and 1436-byte bodies, beside memcpy of the
// same bytes and beside the plain algorithm (divisions in the permutation
// build, two 16-entry look-ups per byte), on every instruction-set path the
// processor offers. Compare within one run: Encode/1436 against
// Memcpy/1436 and PlainLoop/1436.
#include <benchmark/benchmark.h>

#include "message/Scrambler.h"
#include "message/ScramblerPaths.h"
#include "message/ScramblerReference.h"

#include <cstring>
#include <vector>

using namespace YNet2;

namespace {

std::vector<unsigned char> Body(std::size_t length) {
    std::vector<unsigned char> body(length);
    unsigned int x = 12345;
    for (unsigned char& b : body) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return body;
}

void BM_Memcpy(benchmark::State& state) {
    const std::size_t length = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> source = Body(length);
    std::vector<unsigned char> target(length);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(target.data(), source.data(), length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

void BM_PlainLoop(benchmark::State& state) {
    const DWORD length = static_cast<DWORD>(state.range(0));
    std::vector<unsigned char> body = Body(length);
    for (auto _ : state) {
        ScramblerReference::Encode(body.data(), length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

void BM_Encode(benchmark::State& state) {
    const DWORD length = static_cast<DWORD>(state.range(0));
    std::vector<unsigned char> body = Body(length);
    unsigned char unused = 0;
    for (auto _ : state) {
        Encode(body.data(), length, unused);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.SetLabel(ScramblerPathName(ScramblerSelectedPath()));
}

void BM_Decode(benchmark::State& state) {
    const DWORD length = static_cast<DWORD>(state.range(0));
    std::vector<unsigned char> body = Body(length);
    unsigned char unused = 0;
    for (auto _ : state) {
        Decode(body.data(), length, unused);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.SetLabel(ScramblerPathName(ScramblerSelectedPath()));
}

void BM_EncodeWith(benchmark::State& state, ScramblerPath path) {
    const DWORD length = static_cast<DWORD>(state.range(0));
    std::vector<unsigned char> body = Body(length);
    if (!ScramblerPathAvailable(path)) {
        state.SkipWithError("path not available on this processor");
        return;
    }
    for (auto _ : state) {
        EncodeWith(path, body.data(), length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

// Seeds beyond the table (bodies longer than a message allows) build the
// permutation on the spot; the plain builder divides by a variable.
void BM_BuildPermutation(benchmark::State& state) {
    unsigned char permutation[16];
    DWORD seed = 5000;
    for (auto _ : state) {
        BuildScramblerPermutation(seed++, permutation);
        benchmark::DoNotOptimize(permutation);
    }
}

void BM_BuildPermutationPlain(benchmark::State& state) {
    unsigned char permutation[16];
    DWORD seed = 5000;
    for (auto _ : state) {
        ScramblerReference::BuildPermutation(seed++, permutation);
        benchmark::DoNotOptimize(permutation);
    }
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK(BM_PlainLoop)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK(BM_Encode)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK(BM_Decode)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK_CAPTURE(BM_EncodeWith, portable, ScramblerPath::Portable)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK_CAPTURE(BM_EncodeWith, ssse3, ScramblerPath::Ssse3)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK_CAPTURE(BM_EncodeWith, avx2, ScramblerPath::Avx2)->Arg(3)->Arg(100)->Arg(1436);
BENCHMARK(BM_BuildPermutation);
BENCHMARK(BM_BuildPermutationPlain);

BENCHMARK_MAIN();
