#include "tools/ToolArgs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace YNet2Tools {

bool ParseNumber(const char* text, DWORD limit, DWORD& value) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    // A number too long for unsigned long reads as its largest value, which
    // is a legal DWORD where long is 32-bit: refuse it by errno instead.
    if (*end != '\0' || errno == ERANGE || parsed > limit)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseSeconds(const char* text, DWORD limitMs, DWORD& milliseconds) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    unsigned long long value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<unsigned long long>(*p - '0');
        if (value > limitMs)
            return false;
    }
    value *= 1000;
    if (*p == '.') {
        unsigned long long scale = 100;
        for (++p; *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10)
            value += static_cast<unsigned long long>(*p - '0') * scale;
        if (p[-1] == '.')
            return false; // "2." is no number
    }
    if (*p != '\0' || value > limitMs)
        return false;
    milliseconds = static_cast<DWORD>(value);
    return true;
}

} // namespace YNet2Tools
