// Builds against the installed headers and library only.
#include <YNet2.h>

#include <cstdio>
#include <cstring>

int main() {
    if (YNet2::SocketInit() != 0)
        return 1;
    unsigned char message[7] = {0, 0, 0, 0, 0x61, 0x62, 0x63};
    YNet2::YNetMsgHead* head = reinterpret_cast<YNet2::YNetMsgHead*>(message);
    head->SetHead(7, 1, 2, true, false, false);
    unsigned char scratch = 0;
    YNet2::Encode(message + 4, 3, scratch);
    const unsigned char wire[7] = {0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B};
    bool same = std::memcmp(message, wire, sizeof(wire)) == 0;
    YNet2::SocketRelease();
    std::printf("package consumer: %s\n", same ? "wire bytes as expected" : "WRONG wire bytes");
    return same ? 0 : 1;
}
