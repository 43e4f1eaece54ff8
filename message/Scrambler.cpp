#include "message/Scrambler.h"
#include "message/ScramblerPaths.h"

#include <array>
#include <cstddef>
#include <utility>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define YNET_SCRAMBLER_X86 1
#include <immintrin.h>
#else
#define YNET_SCRAMBLER_X86 0
#endif

namespace YNet2 {
namespace {

// ------------------------------------------------------------ permutation
//
// The seed drives a generator state through 15 steps, one per position
// 1..15, and position pos swaps with state % (pos + 1). A state at or
// above n * floor(0xFFFFFFFF / n) is thrown away and stepped again, so
// that every j is equally likely. With the positions unrolled, each n and
// each limit is a compile-time constant and the divisions become
// multiplications.

struct alignas(16) Permutation {
    unsigned char v[16];
};

constexpr DWORD kStepAdd = 0x31415926u;
constexpr DWORD kStepMul = 0x53589u;

template <DWORD Pos> constexpr void PlacePosition(DWORD& state, Permutation& p) {
    constexpr DWORD n = Pos + 1;
    constexpr DWORD limit = n * (0xFFFFFFFFu / n);
    do {
        state = (state + kStepAdd) * kStepMul;
    } while (state >= limit);
    const DWORD j = state % n;
    const unsigned char swapped = p.v[Pos];
    p.v[Pos] = p.v[j];
    p.v[j] = swapped;
}

template <DWORD... Pos> constexpr void PlaceAll(DWORD& state, Permutation& p, std::integer_sequence<DWORD, Pos...>) {
    (PlacePosition<Pos + 1>(state, p), ...);
}

constexpr Permutation BuildPermutation(DWORD seed) {
    Permutation p{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
    DWORD state = seed;
    PlaceAll(state, p, std::make_integer_sequence<DWORD, 15>{});
    return p;
}

constexpr Permutation Inverse(const Permutation& p) {
    Permutation q{};
    for (int k = 0; k < 16; ++k)
        q.v[p.v[k]] = static_cast<unsigned char>(k);
    return q;
}

typedef std::array<Permutation, kScramblerTabledSeeds> PermutationTable;

template <bool Inverted> constexpr PermutationTable BuildTable() {
    PermutationTable table{};
    for (DWORD seed = 0; seed < kScramblerTabledSeeds; ++seed)
        table[seed] = Inverted ? Inverse(BuildPermutation(seed)) : BuildPermutation(seed);
    return table;
}

// Every seed a legal message can have, for each direction (27 KB each,
// read-only): a call then costs one 16-byte load instead of 15 dependent
// generator steps, and Decode needs no inversion.
constexpr PermutationTable kPermutations = BuildTable<false>();
constexpr PermutationTable kInverses = BuildTable<true>();

static_assert(kPermutations[100].v[0] == 9 && kPermutations[100].v[15] == 7, "the body 61 62 63 has seed 100");
static_assert(kInverses[100].v[9] == 0 && kInverses[100].v[7] == 15, "the inverse undoes the permutation");

Permutation PermutationFor(DWORD seed) {
    if (seed < kScramblerTabledSeeds)
        return kPermutations[seed];
    return BuildPermutation(seed);
}

Permutation InverseFor(DWORD seed) {
    if (seed < kScramblerTabledSeeds)
        return kInverses[seed];
    return Inverse(BuildPermutation(seed));
}

// ------------------------------------------------------------ substitution
//
// Each path reads count bytes x from `from` and writes (t[x & 15] << 4) |
// t[x >> 4] to `to`: in place when the two are the same, otherwise a copy
// made in the same pass. The two ranges are either the same or disjoint.

typedef void (*SubstituteFn)(const unsigned char* from, unsigned char* to, std::size_t count, const Permutation& t);

void SubstitutePlain(const unsigned char* from, unsigned char* to, std::size_t count, const Permutation& t) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char x = from[i];
        to[i] = static_cast<unsigned char>((t.v[x & 0x0F] << 4) | t.v[x >> 4]);
    }
}

// Past this many bytes a whole-byte table (256 entries, built per call)
// costs less than two nibble look-ups per byte.
constexpr std::size_t kByteTableFrom = 256;

void SubstitutePortable(const unsigned char* from, unsigned char* to, std::size_t count, const Permutation& t) {
    if (count < kByteTableFrom) {
        SubstitutePlain(from, to, count, t);
        return;
    }
    unsigned char table[256];
    for (int high = 0; high < 16; ++high)
        for (int low = 0; low < 16; ++low)
            table[high * 16 + low] = static_cast<unsigned char>((t.v[low] << 4) | t.v[high]);
    for (std::size_t i = 0; i < count; ++i)
        to[i] = table[from[i]];
}

#if YNET_SCRAMBLER_X86

// The nibble substitution of 16 bytes: one shuffle picks t[low] << 4 per
// byte, the other t[high].
__attribute__((target("ssse3"), always_inline)) inline __m128i Substitute16(__m128i x, __m128i tHigh, __m128i tLow,
                                                                            __m128i mask) {
    const __m128i low = _mm_and_si128(x, mask);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(x, 4), mask);
    return _mm_or_si128(_mm_shuffle_epi8(tHigh, low), _mm_shuffle_epi8(tLow, high));
}

// Bodies of at least one vector end with one vector that overlaps the
// previous one: it is loaded before anything is stored, so the overlapping
// bytes are substituted once, from their original values, in place too.
__attribute__((target("ssse3"))) void SubstituteSsse3(const unsigned char* from, unsigned char* to, std::size_t count,
                                                      const Permutation& t) {
    if (count < 16) {
        SubstitutePlain(from, to, count, t);
        return;
    }
    const __m128i tLow = _mm_load_si128(reinterpret_cast<const __m128i*>(t.v));
    const __m128i tHigh = _mm_slli_epi16(tLow, 4); // entries < 16: nothing crosses into the next byte
    const __m128i mask = _mm_set1_epi8(0x0F);
    const std::size_t lastAt = count - 16;
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + lastAt));
    for (std::size_t at = 0; at < lastAt; at += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), Substitute16(x, tHigh, tLow, mask));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + lastAt), Substitute16(last, tHigh, tLow, mask));
}

__attribute__((target("avx2"), always_inline)) inline __m256i Substitute32(__m256i x, __m256i tHigh, __m256i tLow,
                                                                           __m256i mask) {
    const __m256i low = _mm256_and_si256(x, mask);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), mask);
    return _mm256_or_si256(_mm256_shuffle_epi8(tHigh, low), _mm256_shuffle_epi8(tLow, high));
}

__attribute__((target("avx2"))) void SubstituteAvx2(const unsigned char* from, unsigned char* to, std::size_t count,
                                                    const Permutation& t) {
    if (count < 32) {
        SubstituteSsse3(from, to, count, t);
        return;
    }
    // vpshufb looks up within each 128-bit lane: both lanes hold the table.
    const __m256i tLow = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.v)));
    const __m256i tHigh = _mm256_slli_epi16(tLow, 4);
    const __m256i mask = _mm256_set1_epi8(0x0F);
    const std::size_t lastAt = count - 32;
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + lastAt));
    for (std::size_t at = 0; at < lastAt; at += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + at), Substitute32(x, tHigh, tLow, mask));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + lastAt), Substitute32(last, tHigh, tLow, mask));
}

bool CpuHas(ScramblerPath path) {
    __builtin_cpu_init();
    switch (path) {
    case ScramblerPath::Portable:
        return true;
    case ScramblerPath::Ssse3:
        return __builtin_cpu_supports("ssse3");
    case ScramblerPath::Avx2:
        return __builtin_cpu_supports("avx2");
    }
    return false;
}

#else

bool CpuHas(ScramblerPath path) {
    return path == ScramblerPath::Portable;
}

#endif

SubstituteFn FunctionOf(ScramblerPath path) {
    switch (path) {
#if YNET_SCRAMBLER_X86
    case ScramblerPath::Avx2:
        return SubstituteAvx2;
    case ScramblerPath::Ssse3:
        return SubstituteSsse3;
#endif
    default:
        return SubstitutePortable;
    }
}

ScramblerPath ChoosePath() {
    if (CpuHas(ScramblerPath::Avx2))
        return ScramblerPath::Avx2;
    if (CpuHas(ScramblerPath::Ssse3))
        return ScramblerPath::Ssse3;
    return ScramblerPath::Portable;
}

void Scramble(SubstituteFn substitute, unsigned char* body, DWORD length) {
    if (length < 2)
        return;
    const Permutation p = PermutationFor(length + body[0]);
    substitute(body + 1, body + 1, length - 1, p);
}

// from and to are the same body (in place) or disjoint ones (a copy).
void Unscramble(SubstituteFn substitute, const unsigned char* from, unsigned char* to, DWORD length) {
    if (length == 0)
        return;
    to[0] = from[0];
    if (length < 2)
        return;
    const Permutation q = InverseFor(length + from[0]);
    substitute(from + 1, to + 1, length - 1, q);
}

} // namespace

ScramblerPath ScramblerSelectedPath() {
    static const ScramblerPath selected = ChoosePath();
    return selected;
}

namespace {

// Chosen once, on first use from any thread.
SubstituteFn Selected() {
    static const SubstituteFn selected = FunctionOf(ScramblerSelectedPath());
    return selected;
}

} // namespace

void Encode(unsigned char* body, DWORD length, unsigned char& /*unused*/) {
    Scramble(Selected(), body, length);
}

void Decode(unsigned char* body, DWORD length, unsigned char& /*unused*/) {
    Unscramble(Selected(), body, body, length);
}

void DecodeCopy(const unsigned char* from, unsigned char* to, DWORD length) {
    Unscramble(Selected(), from, to, length);
}

bool ScramblerPathAvailable(ScramblerPath path) {
    return CpuHas(path);
}

const char* ScramblerPathName(ScramblerPath path) {
    switch (path) {
    case ScramblerPath::Portable:
        return "portable";
    case ScramblerPath::Ssse3:
        return "ssse3";
    case ScramblerPath::Avx2:
        return "avx2";
    }
    return "?";
}

bool EncodeWith(ScramblerPath path, unsigned char* body, DWORD length) {
    if (!CpuHas(path))
        return false;
    Scramble(FunctionOf(path), body, length);
    return true;
}

bool DecodeWith(ScramblerPath path, unsigned char* body, DWORD length) {
    if (!CpuHas(path))
        return false;
    Unscramble(FunctionOf(path), body, body, length);
    return true;
}

bool DecodeCopyWith(ScramblerPath path, const unsigned char* from, unsigned char* to, DWORD length) {
    if (!CpuHas(path))
        return false;
    Unscramble(FunctionOf(path), from, to, length);
    return true;
}

void ScramblerPermutation(DWORD seed, unsigned char permutation[16]) {
    const Permutation p = PermutationFor(seed);
    for (int k = 0; k < 16; ++k)
        permutation[k] = p.v[k];
}

void BuildScramblerPermutation(DWORD seed, unsigned char permutation[16]) {
    const Permutation p = BuildPermutation(seed);
    for (int k = 0; k < 16; ++k)
        permutation[k] = p.v[k];
}

} // namespace YNet2
