#include "tools/ToolArgs.h"

#include <cerrno>
#include <cstdlib>

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

} // namespace YNet2Tools
