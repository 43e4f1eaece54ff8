#include "tools/ToolArgs.h"

#include <cstdlib>

namespace YNet2Tools {

bool ParseNumber(const char* text, DWORD limit, DWORD& value) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (*end != '\0' || parsed > limit)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

} // namespace YNet2Tools
