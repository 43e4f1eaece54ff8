#include "fuzz/support/SystemAddress.h"

#include <arpa/inet.h>

namespace SystemAddress {

bool IPv4(const char* text, unsigned char* out) {
    return inet_pton(AF_INET, text, out) == 1;
}

bool IPv6(const char* text, unsigned char* out) {
    return inet_pton(AF_INET6, text, out) == 1;
}

} // namespace SystemAddress
