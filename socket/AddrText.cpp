#include "socket/AddrText.h"

#include "framework/Log.h"

#include <cstring>

namespace YNet2 {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the number under the cursor (0 when there is no digit, cursor not
// moved), leaves the cursor on the first character after it.
DWORD ReadNumber(const char*& cursor) {
    DWORD value = 0;
    while (IsDigit(*cursor)) {
        value = value * 10u + static_cast<DWORD>(*cursor - '0');
        ++cursor;
    }
    return value;
}

// Skips the one separator character after a number, never the terminator.
void SkipSeparator(const char*& cursor) {
    if (*cursor != '\0')
        ++cursor;
}

// Reads count numbers, each but the last followed by a separator.
void ReadNumbers(const char* text, DWORD* numbers, int count) {
    const char* cursor = text;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            SkipSeparator(cursor);
        numbers[i] = ReadNumber(cursor);
    }
}

// Copies the formatted text into the caller's buffer, bounded by length.
void CopyBounded(char* buffer, int length, const char* text) {
    if (buffer == nullptr || length <= 0)
        return;
    std::size_t count = std::strlen(text);
    if (count > static_cast<std::size_t>(length) - 1)
        count = static_cast<std::size_t>(length) - 1;
    std::memcpy(buffer, text, count);
    buffer[count] = '\0';
}

} // namespace

ULONG Str2IP(const char* text) {
    if (text == nullptr || !IsDigit(*text))
        return 0;
    DWORD n[4];
    ReadNumbers(text, n, 4);
    return static_cast<ULONG>(((n[0] & 0xFF) << 24) | ((n[1] & 0xFF) << 16) | ((n[2] & 0xFF) << 8) | (n[3] & 0xFF));
}

void IP2Str(char* const buffer, int length, ULONG address) {
    // The longest text, "255.255.255.255", fits the local buffer, so the
    // unbounded formatter is safe there; the caller's buffer gets a bounded copy.
    char text[kIPTextSize + 16];
    _format_str(text, "%u.%u.%u.%u", static_cast<unsigned>(address & 0xFF),
                static_cast<unsigned>((address >> 8) & 0xFF), static_cast<unsigned>((address >> 16) & 0xFF),
                static_cast<unsigned>((address >> 24) & 0xFF));
    CopyBounded(buffer, length, text);
}

void Str2Addr(YSocketAddr& addr, const char* text) {
    if (text == nullptr || !IsDigit(*text))
        return;
    DWORD n[5];
    ReadNumbers(text, n, 5);
    unsigned char* const bytes = reinterpret_cast<unsigned char*>(&addr.sin_addr);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(n[i] & 0xFF);
    addr.sin_port = static_cast<unsigned short>(n[4] & 0xFFFF); // host order, by contract
}

void Addr2Str(char* const buffer, int length, const YSocketAddr& addr) {
    const unsigned char* const bytes = reinterpret_cast<const unsigned char*>(&addr.sin_addr);
    char text[kAddrTextSize + 16];
    _format_str(text, "%u.%u.%u.%u:%u", static_cast<unsigned>(bytes[0]), static_cast<unsigned>(bytes[1]),
                static_cast<unsigned>(bytes[2]), static_cast<unsigned>(bytes[3]), static_cast<unsigned>(addr.sin_port));
    CopyBounded(buffer, length, text);
}

bool IsLocalIP(ULONG first, ULONG second) {
    return ((first ^ second) & 0x00FFFFFFu) == 0;
}

} // namespace YNet2
