#include "message/ScramblerReference.h"

namespace YNet2::ScramblerReference {

void BuildPermutation(DWORD seed, unsigned char permutation[16]) {
    for (int k = 0; k < 16; ++k)
        permutation[k] = static_cast<unsigned char>(k);
    DWORD state = seed;
    for (DWORD pos = 1; pos <= 15; ++pos) {
        const DWORD n = pos + 1;
        const DWORD limit = n * (0xFFFFFFFFu / n);
        do {
            state = (state + 0x31415926u) * 0x53589u;
        } while (state >= limit);
        const DWORD j = state % n;
        const unsigned char swapped = permutation[pos];
        permutation[pos] = permutation[j];
        permutation[j] = swapped;
    }
}

namespace {

void Substitute(unsigned char* body, DWORD length, const unsigned char table[16]) {
    for (DWORD i = 1; i < length; ++i) {
        const unsigned char x = body[i];
        body[i] = static_cast<unsigned char>((table[x & 0x0F] << 4) | table[x >> 4]);
    }
}

} // namespace

void Encode(unsigned char* body, DWORD length) {
    if (length < 2)
        return;
    unsigned char permutation[16];
    BuildPermutation(length + body[0], permutation);
    Substitute(body, length, permutation);
}

void Decode(unsigned char* body, DWORD length) {
    if (length < 2)
        return;
    unsigned char permutation[16];
    BuildPermutation(length + body[0], permutation);
    unsigned char inverse[16];
    for (int k = 0; k < 16; ++k)
        inverse[permutation[k]] = static_cast<unsigned char>(k);
    Substitute(body, length, inverse);
}

} // namespace YNet2::ScramblerReference
