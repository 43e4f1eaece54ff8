// The wire as the library's contenders see it: loopback addresses, plain
// messages, and the library's unscrambling in the form the competitors in
// Contenders.h take it (a function on a body), so that every contender does
// the same work per message.
#pragma once

#include <cstring>

#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/Contenders.h"

namespace BenchNet {

inline void DecodeBody(unsigned char* body, unsigned length) {
    unsigned char unused = 0;
    YNet2::Decode(body, length, unused);
}

inline void EncodeBody(unsigned char* body, unsigned length) {
    unsigned char unused = 0;
    YNet2::Encode(body, length, unused);
}

inline YNet2::YSocketAddr Loopback(int port) {
    YNet2::YSocketAddr address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<WORD>(port));
    const unsigned char ip[4] = {127, 0, 0, 1};
    std::memcpy(&address.sin_addr, ip, sizeof ip);
    return address;
}

// A message of size bytes with a head and a body in a fixed pattern, not
// scrambled.
inline Bytes PlainMessage(int size) {
    Bytes message(static_cast<std::size_t>(size));
    reinterpret_cast<YNet2::YNetMsgHead*>(message.data())->SetHead(static_cast<WORD>(size), 3, 1, true, false, false);
    for (int i = 4; i < size; ++i)
        message[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 13 + 1);
    return message;
}

} // namespace BenchNet
