// getaddrinfo and freeaddrinfo with Winsock's names, layout and codes.
#include <cstdlib>
#include <cstring>

#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"
#include "platform/posix/WinApiPosix.h"

using namespace YNetPosix;

namespace {

// The most addresses one answer carries; a name rarely has more than a few.
constexpr int kMaxAddresses = 32;

// One list entry and its address, in one allocation.
struct Entry {
    addrinfo info;
    sockaddr_in6 address; // room for either family
};

int Fail(int error) {
    WSASetLastError(error);
    return error;
}

// A decimal port of 0-65535, or null for none.
bool ParseService(const char* service, unsigned short* port) {
    *port = 0;
    if (service == nullptr)
        return true;
    unsigned long value = 0;
    const char* p = service;
    if (*p == '\0')
        return false;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > 65535)
            return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (value > 65535)
        return false;
    *port = htons(static_cast<unsigned short>(value));
    return true;
}

} // namespace

int WINAPI getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** result) {
    if (!WinSockStarted())
        return Fail(WSANOTINITIALISED);
    if (result == nullptr)
        return Fail(WSAEFAULT);
    *result = nullptr;
    int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
    int type = hints != nullptr ? hints->ai_socktype : 0;
    int flags = hints != nullptr ? hints->ai_flags : 0;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6)
        return Fail(EAI_FAMILY);
    if (type != 0 && type != SOCK_STREAM)
        return Fail(EAI_SOCKTYPE);
    if ((flags & ~(AI_NUMERICHOST | AI_PASSIVE | AI_ADDRCONFIG)) != 0)
        return Fail(EAI_BADFLAGS);
    if (node == nullptr)
        return Fail(EAI_NONAME);
    unsigned short port = 0;
    if (!ParseService(service, &port))
        return Fail(EAI_SERVICE);

    Sys::ResolvedAddress found[kMaxAddresses];
    int count = 0;
    int error = Sys::Resolve(node, family, (flags & AI_NUMERICHOST) != 0, found, kMaxAddresses, &count);
    if (error != 0)
        return Fail(Sys::ResolveErrorToWsa(error));
    if (count == 0)
        return Fail(WSAHOST_NOT_FOUND);

    addrinfo** tail = result;
    for (int i = 0; i < count; ++i) {
        auto* entry = static_cast<Entry*>(std::calloc(1, sizeof(Entry)));
        if (entry == nullptr) {
            freeaddrinfo(*result);
            *result = nullptr;
            return Fail(EAI_MEMORY);
        }
        std::memcpy(&entry->address, found[i].bytes, static_cast<size_t>(found[i].length));
        entry->address.sin6_port = port; // at the same offset in both families
        entry->info.ai_family = found[i].length == static_cast<int>(sizeof(sockaddr_in6)) ? AF_INET6 : AF_INET;
        entry->info.ai_socktype = SOCK_STREAM;
        entry->info.ai_protocol = IPPROTO_TCP;
        entry->info.ai_addrlen = static_cast<std::size_t>(found[i].length);
        entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
        *tail = &entry->info;
        tail = &entry->info.ai_next;
    }
    return 0;
}

void WINAPI freeaddrinfo(struct addrinfo* list) {
    while (list != nullptr) {
        addrinfo* next = list->ai_next;
        std::free(list); // the entry starts with its addrinfo
        list = next;
    }
}
