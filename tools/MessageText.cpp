#include "tools/MessageText.h"

#include <cstdio>
#include <cstring>

#include "message/YNetMsgHead.h"

namespace YNet2Tools {

std::string DescribeMessage(const BYTE* message, int length, bool hex) {
    YNet2::YNetMsgHead head;
    static_assert(sizeof(head) == 4, "the head is its 4-byte wire image");
    std::memcpy(&head, message, sizeof(head));

    // Built in a fixed buffer: GCC 12 at -O2 warns falsely (-Wrestrict) on
    // appending literals to a std::string here.
    char flags[32] = "-";
    const char* names[] = {head.IsRequestMsg() ? "request" : nullptr, head.IsRespondMsg() ? "respond" : nullptr,
                           head.IsOrdinal() ? "ordinal" : nullptr};
    std::size_t used = 0; // the three names fit: 23 bytes at most
    for (const char* name : names) {
        if (name != nullptr)
            used += std::snprintf(flags + used, sizeof(flags) - used, used == 0 ? "%s" : ",%s", name);
    }

    char text[96];
    std::snprintf(text, sizeof(text), "main=%u assist=%u flags=%s size=%d", head.GetMainID(), head.GetAssistantID(),
                  flags, head.GetSize());
    std::string line = text;
    line += hex ? " hex=" : " body=\"";
    for (int i = 4; i < length; ++i) {
        const BYTE b = message[i];
        if (hex) {
            std::snprintf(text, sizeof(text), i == 4 ? "%02x" : " %02x", b);
            line += text;
        } else if (b == '"' || b == '\\') {
            line += '\\';
            line += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            line += static_cast<char>(b);
        } else {
            std::snprintf(text, sizeof(text), "\\x%02x", b);
            line += text;
        }
    }
    if (!hex)
        line += '"';
    return line;
}

std::string DescribeAddress(ULONG address, WORD port) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&address); // network order: first number first
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", bytes[0], bytes[1], bytes[2], bytes[3], ntohs(port));
    return text;
}

} // namespace YNet2Tools
