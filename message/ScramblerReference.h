// Internal header. The body scrambler written plainly, one step per line of
// its definition: the yardstick the fast paths of Scrambler.cpp are tested
// and measured against. Not used by the library itself.
#pragma once

#include "platform/WinApi.h"

namespace YNet2::ScramblerReference {

// The nibble permutation for a seed: P := 0..15; then for pos = 1..15, with
// n = pos + 1 and limit = n * floor(0xFFFFFFFF / n), step the state
// (state + 0x31415926) * 0x53589 until it is below limit, and swap P[pos]
// with P[state % n].
void BuildPermutation(DWORD seed, unsigned char permutation[16]);

// As YNet2::Encode and YNet2::Decode, two 16-entry look-ups per byte.
void Encode(unsigned char* body, DWORD length);
void Decode(unsigned char* body, DWORD length);

} // namespace YNet2::ScramblerReference
