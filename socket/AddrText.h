// Public header.
/// @file
/// Conversions between IPv4 addresses and dotted text, and a same-network
/// test.
///
/// BYTE ORDERS DIFFER BETWEEN THESE FUNCTIONS, on purpose: callers rely on
/// each one exactly as it is, so read the note of each before combining them.
///
///       Str2IP     text -> value with the FIRST dotted number in the MOST
///                  significant byte ("1.2.3.4" -> 0x01020304).
///       IP2Str     value -> text printing the LEAST significant byte first: it
///                  takes the value in memory order, the four address bytes as
///                  the system stores them read as one host-order word, which is
///                  what YSocket::GetLocalIP returns. On a little-endian host
///                  IP2Str(buffer, 16, Str2IP("1.2.3.4")) writes "4.3.2.1".
///       IsLocalIP  compares bits 0-23 of two memory-order values: on a
///                  little-endian host, the first three dotted numbers.
///       Str2Addr   text "a.b.c.d:port" -> sin_addr bytes a, b, c, d (network
///                  order, ready for the socket calls) but sin_port in HOST order:
///                  convert it with htons before connecting. sin_family and
///                  sin_zero are left as they were.
///       Addr2Str   the record -> "a.b.c.d:port", port read in host order, so it
///                  gives back what Str2Addr wrote.
///
/// Reading text: a number is a run of decimal digits, taken modulo 2^32 and
/// then cut to its field (modulo 256 for an address byte, 65536 for the
/// port); a missing number reads as 0. Exactly one character after each
/// number but the last is skipped whatever it is ('.', ':' or anything
/// else), so "10-0-0-1" reads as 10.0.0.1. Text that does not start with a
/// digit gives 0 (Str2IP) or leaves the record unchanged (Str2Addr). The
/// readers never look past the text's terminating NUL, so shorter text
/// ("1.2", "1.", "") is safe and reads its missing numbers as 0.
///
/// Writing text: at most length - 1 characters and a NUL; nothing at all when
/// length is 0 or less or buffer is null. The full texts take 16 bytes
/// ("255.255.255.255") and 22 bytes ("255.255.255.255:65535"); a shorter
/// buffer receives the text cut short.
///
/// All five work only on their arguments and may be called on any thread.
#pragma once

#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

namespace YNet2 {

/// Buffer sizes that always hold the whole text: an address, and an
/// address with its port.
///@{
constexpr int kIPTextSize = 16;
constexpr int kAddrTextSize = 22;
///@}

/// Dotted text to an address value, the first number in the most
/// significant byte (byte orders: the table of socket/AddrText.h).
YNET_API ULONG Str2IP(const char* text);
/// An address in memory order to dotted text, the least significant byte
/// first, in at most length bytes of buffer.
YNET_API void IP2Str(char* const buffer, int length, ULONG address);
/// "a.b.c.d:port" into addr: the address in network order, the port in
/// host order.
YNET_API void Str2Addr(YSocketAddr& addr, const char* text);
/// addr to "a.b.c.d:port", the port read in host order, in at most length
/// bytes of buffer.
YNET_API void Addr2Str(char* const buffer, int length, const YSocketAddr& addr);
/// Whether two addresses in memory order agree in bits 0-23.
YNET_API bool IsLocalIP(ULONG first, ULONG second);

} // namespace YNet2
