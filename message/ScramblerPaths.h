// Internal header. The scrambler's instruction-set paths and its permutation
// source, reachable one by one so that the tests can hold every path the
// processor offers against the plain algorithm, and the benchmark can time
// each of them.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

enum class ScramblerPath {
    Portable, // plain C++, any processor
    Ssse3,    // 16 bytes per step with byte shuffles
    Avx2,     // 32 bytes per step
};

// Whether this build and this processor can run the path.
bool ScramblerPathAvailable(ScramblerPath path);
// The path Encode and Decode use: the widest available one.
ScramblerPath ScramblerSelectedPath();
const char* ScramblerPathName(ScramblerPath path);

// As Encode / Decode, through the given path. False, with the body
// untouched, when the path is not available.
bool EncodeWith(ScramblerPath path, unsigned char* body, DWORD length);
bool DecodeWith(ScramblerPath path, unsigned char* body, DWORD length);
bool DecodeCopyWith(ScramblerPath path, const unsigned char* from, unsigned char* to, DWORD length);

// Decode of the body at `from`, written to `to` in the same pass (`from` is
// left as it is): as copying the length bytes and then Decode on the copy,
// with one pass over them. The two ranges must not overlap.
void DecodeCopy(const unsigned char* from, unsigned char* to, DWORD length);

// The permutation Encode uses for a seed: from the table built at compile
// time for the seeds of legal messages, else built on the spot.
void ScramblerPermutation(DWORD seed, unsigned char permutation[16]);
// The permutation built on the spot, whatever the seed (the table's source,
// and the only source for seeds beyond it).
void BuildScramblerPermutation(DWORD seed, unsigned char permutation[16]);

// Seeds below this come from the table: a body of at most 1436 bytes
// (a 1440-byte message) whose first byte is at most 255.
constexpr DWORD kScramblerTabledSeeds = 1436 + 255 + 1;

} // namespace YNet2
