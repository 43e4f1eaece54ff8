// The system's own reading of address literals (inet_pton), apart from the
// library's: the fuzz harnesses check the library's parser against it. In
// a file of its own, away from platform/WinApi.h, whose names the system's
// headers would clash with.
#pragma once

namespace SystemAddress {

// inet_pton(AF_INET, text): true and the 4 bytes when it takes the text.
bool IPv4(const char* text, unsigned char* out);
// inet_pton(AF_INET6, text): true and the 16 bytes when it takes the text.
bool IPv6(const char* text, unsigned char* out);

} // namespace SystemAddress
