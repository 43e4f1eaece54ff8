// Public header.
/// @file
/// Encode and Decode: the body scrambler of the wire format.
///
/// Every message body (the bytes after the 4-byte head) travels scrambled:
/// the sender calls Encode on the body just before sending, the receiver
/// calls Decode on the same byte range, with the same length, once the whole
/// message is in. A peer that does not apply them cannot read or write this
/// library's messages.
///
/// The scrambling takes no key. Both sides derive the same 16-entry nibble
/// permutation P from the seed (length + body[0]) mod 2^32; the first body
/// byte is left as it is, and each further byte x becomes
/// `(P[x & 0x0F] << 4) | P[x >> 4]` (Decode applies the inverse permutation
/// the same way). Bodies of 0 or 1 byte are left unchanged.
///
/// Both work in place on the caller's bytes only, allocate nothing and may be
/// called from any number of threads at once on different buffers. The
/// instruction set (AVX2, SSSE3 or portable code) is chosen once, at first
/// use, from what the processor offers; the output is the same on each.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

/// Scrambles (Encode) or unscrambles (Decode) the length bytes at body in
/// place, as this file describes. The third argument is part of the
/// exported signature only: it is neither read nor written.
///@{
YNET_API void Encode(unsigned char* body, DWORD length, unsigned char& unused);
YNET_API void Decode(unsigned char* body, DWORD length, unsigned char& unused);
///@}

} // namespace YNet2
