#include "socket/YSocketTarget.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "framework/Log.h"
#include "socket/LookupAbandon.h"
#include "socket/LookupSlots.h"

namespace YNet2 {

namespace {

constexpr BYTE kSocks5 = 5;
constexpr BYTE kSocks4 = 4;
constexpr BYTE kCommandConnect = 1;

// a.b.c.d, four decimal numbers of 0-255 without leading zeros, and nothing else.
bool ParseIPv4(const char* text, BYTE* out) {
    for (int part = 0; part < 4; ++part) {
        if (*text < '0' || *text > '9')
            return false;
        if (text[0] == '0' && text[1] >= '0' && text[1] <= '9')
            return false; // a leading zero: octal to some readers
        unsigned value = 0;
        for (int digits = 0; *text >= '0' && *text <= '9'; ++digits, ++text) {
            value = value * 10 + static_cast<unsigned>(*text - '0');
            if (digits == 3 || value > 255)
                return false;
        }
        out[part] = static_cast<BYTE>(value);
        if (*text != (part < 3 ? '.' : '\0'))
            return false;
        ++text;
    }
    return true;
}

// The last label of a host (the one before a final dot, if the host ends
// in one) is a number: decimal digits, or 0x and hex digits. Such a host is
// an IPv4 address to every resolver, each in its own way.
bool EndsInNumber(const char* host) {
    std::size_t end = std::strlen(host);
    if (end > 0 && host[end - 1] == '.')
        --end;
    std::size_t begin = end;
    while (begin > 0 && host[begin - 1] != '.')
        --begin;
    if (begin == end)
        return false;
    const char* label = host + begin;
    std::size_t length = end - begin;
    bool hex = length >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X');
    for (std::size_t i = hex ? 2 : 0; i < length; ++i) {
        char c = label[i];
        bool digit = c >= '0' && c <= '9';
        if (!digit && !(hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))))
            return false;
    }
    return true;
}

bool HasBadByte(const char* host) {
    for (const char* p = host; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c == 0x7F)
            return true;
    }
    return false;
}

// text into out (size bytes, zero-terminated), every byte that is not
// printable ASCII shown as '?': log lines stay one line of plain text.
void Printable(const char* text, char* out, std::size_t size) {
    std::size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[i] = c < ' ' || c >= 0x7F ? '?' : text[i];
    }
    out[i] = '\0';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// RFC 4291's text form: up to eight groups of 1-4 hex digits, one "::" for
// a run of zero groups, the last 32 bits optionally dotted. No zone.
bool ParseIPv6(const char* text, BYTE* out) {
    unsigned short groups[8] = {};
    int count = 0;
    int gap = -1; // the group index where "::" stands
    const char* p = text;
    if (p[0] == ':' && p[1] == ':') {
        gap = 0;
        p += 2;
    } else if (*p == ':') {
        return false;
    }
    while (*p != '\0') {
        if (count == 8)
            return false;
        // The last 32 bits as a dotted IPv4 address.
        if (std::strchr(p, '.') != nullptr && std::strchr(p, ':') == nullptr) {
            BYTE v4[4];
            if (count > 6 || !ParseIPv4(p, v4))
                return false;
            groups[count++] = static_cast<unsigned short>(v4[0] << 8 | v4[1]);
            groups[count++] = static_cast<unsigned short>(v4[2] << 8 | v4[3]);
            break;
        }
        unsigned value = 0;
        int digits = 0;
        for (int d; (d = HexDigit(*p)) >= 0; ++p, ++digits)
            value = value * 16 + static_cast<unsigned>(d);
        if (digits == 0 || digits > 4)
            return false;
        groups[count++] = static_cast<unsigned short>(value);
        if (*p == '\0')
            break;
        if (*p != ':')
            return false;
        ++p;
        if (*p == ':') {
            if (gap >= 0)
                return false;
            gap = count;
            ++p;
        } else if (*p == '\0') {
            return false; // a trailing single colon
        }
    }
    if (gap < 0 ? count != 8 : count == 8)
        return false;
    unsigned short full[8] = {};
    int tail = gap < 0 ? 0 : count - gap;
    for (int i = 0; i < count; ++i)
        full[gap >= 0 && i >= gap ? 8 - tail + (i - gap) : i] = groups[i];
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<BYTE>(full[i] >> 8);
        out[2 * i + 1] = static_cast<BYTE>(full[i]);
    }
    return true;
}

std::atomic<ResolverHook> g_ResolverHook{nullptr};
// Room a test's resolver hook may fill: more than is kept, as a name with
// many addresses has.
constexpr int kHookCapacity = 4 * YSocketTarget::kMaxAddresses;
std::atomic<int> g_Outliving{0}; // lookups whose callers gave up on them

// One lookup of a name's IPv4 addresses. With a bound (or an abandon) it
// runs on a thread of its own and is shared with the caller; the last of
// the two to let go frees it, so a lookup that outlives its caller
// finishes harmlessly.
struct Lookup {
    enum : LONG { RUNNING, DONE, OUTLIVING };
    LONG references;
    LONG state;
    HANDLE done; // set once the result is in
    char name[YSocketTarget::kMaxName + 1];
    BYTE port[2];
    int error;
    int count;
    YSocketAddr found[YSocketTarget::kMaxAddresses];

    void Run() {
        count = 0;
        if (ResolverHook hook = g_ResolverHook.load()) {
            ULONG addresses[kHookCapacity];
            int answered = 0;
            error = hook(name, addresses, kHookCapacity, &answered);
            for (int i = 0; i < answered && i < kHookCapacity; ++i)
                Keep(&addresses[i]);
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        error = getaddrinfo(name, nullptr, &hints, &list);
        if (error != 0)
            return;
        for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
            if (item->ai_family == AF_INET && item->ai_addrlen >= sizeof(YSocketAddr))
                Keep(&reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr);
        }
        freeaddrinfo(list);
        if (count == 0)
            error = WSAHOST_NOT_FOUND; // a name with IPv6 addresses only
    }
    // One IPv4 address found (network byte order), with the target's port:
    // the first kMaxAddresses are kept, a name may have more.
    void Keep(const void* address) {
        if (count >= YSocketTarget::kMaxAddresses)
            return;
        YSocketAddr& kept = found[count++];
        kept = YSocketAddr{};
        kept.sin_family = AF_INET;
        std::memcpy(&kept.sin_addr, address, 4);
        std::memcpy(&kept.sin_port, port, 2);
    }
    // The caller gives up on a lookup under way: false when it has just
    // finished (its result is there after all).
    bool GiveUp() {
        ++g_Outliving;
        if (InterlockedCompareExchange(&state, OUTLIVING, RUNNING) == RUNNING)
            return true;
        --g_Outliving;
        return false;
    }
    void Release() {
        if (InterlockedDecrement(&references) == 0) {
            if (done != nullptr)
                CloseHandle(done);
            delete this;
        }
    }
};

DWORD WINAPI LookupMain(LPVOID context) {
    auto* lookup = static_cast<Lookup*>(context);
    lookup->Run();
    if (InterlockedExchange(&lookup->state, Lookup::DONE) == Lookup::OUTLIVING)
        --g_Outliving;
    LookupSlots::Slots().Give(); // before the answer: a caller that looks up again at once finds it free
    SetEvent(lookup->done);
    lookup->Release();
    return 0;
}

// How a lookup on a thread of its own ended for its caller.
enum Waited { ANSWERED, ABANDONED, TIMED_OUT, NO_SLOT };

// Runs lookup on a thread of its own, which holds one of the lookup slots:
// the caller waits for a slot, then for the answer, both within boundMs (0:
// none) and until abandoned. ANSWERED: the result is in lookup (it ran on
// this thread when no thread could be started). Otherwise the lookup's
// thread, if one started, finishes by itself.
Waited RunOnThread(Lookup* lookup, DWORD boundMs, LookupAbandon* abandon) {
    const DWORD start = GetTickCount();
    lookup->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (lookup->done == nullptr) {
        lookup->Run(); // no event to spare: unbounded, on this thread
        return ANSWERED;
    }
    bool abandoned = abandon != nullptr && !abandon->Enter(lookup->done);
    const bool slot = !abandoned && LookupSlots::Slots().Take(lookup->done, start, boundMs);
    if (slot) {
        // Set when the slot was handed over; an abandon before the reset
        // is seen by Enter, one after it sets the event again.
        ResetEvent(lookup->done);
        abandoned = abandon != nullptr && !abandon->Enter(lookup->done);
    }
    HANDLE thread = nullptr;
    if (slot && !abandoned) {
        lookup->references = 2;
        thread = CreateThread(nullptr, 0, LookupMain, lookup, 0, nullptr);
        if (thread == nullptr)
            lookup->references = 1;
    }
    if (thread != nullptr) {
        CloseHandle(thread);
        WaitForSingleObject(lookup->done, RemainingMs(start, boundMs));
    } else if (slot) {
        LookupSlots::Slots().Give();
    }
    if (abandon != nullptr && abandon->Leave())
        abandoned = true;
    if (thread == nullptr) {
        if (abandoned)
            return ABANDONED;
        if (!slot) // the bound ran out while every slot was held
            return g_Outliving.load() >= kMaxOutlivingLookups ? NO_SLOT : TIMED_OUT;
        lookup->Run(); // no thread to spare: unbounded, on this one
        return ANSWERED;
    }
    bool done = InterlockedCompareExchange(&lookup->state, Lookup::DONE, Lookup::DONE) == Lookup::DONE;
    if (!abandoned && done)
        return ANSWERED;
    bool outliving = lookup->GiveUp(); // false: it finished meanwhile
    return abandoned ? ABANDONED : outliving ? TIMED_OUT : ANSWERED;
}

const char* ResolveText(int error) {
    switch (error) {
    case WSAHOST_NOT_FOUND:
        return "host not found";
    case WSATRY_AGAIN:
        return "no answer from the name server, try again";
    case WSAETIMEDOUT:
        return "name resolution timed out";
    case WSANO_DATA:
        return "no address for the name";
    default:
        return "name resolution failed";
    }
}

} // namespace

YSocketTarget::YSocketTarget() : m_Kind(NONE), m_Problem(FINE), m_Address{}, m_Port{}, m_NameLength(0), m_Host{} {}

YSocketTarget::YSocketTarget(const YSocketAddr& address)
    : m_Kind(IPV4), m_Problem(FINE), m_Address{}, m_Port{}, m_NameLength(0), m_Host{} {
    std::memcpy(m_Address, &address.sin_addr, 4);
    std::memcpy(m_Port, &address.sin_port, 2);
    std::snprintf(m_Host, sizeof m_Host, "%u.%u.%u.%u", m_Address[0], m_Address[1], m_Address[2], m_Address[3]);
    if (GetPort() == 0)
        m_Problem = NO_PORT;
}

YSocketTarget::YSocketTarget(const char* host, unsigned short port) : YSocketTarget() {
    Classify(host, host == nullptr ? 0 : std::strlen(host), port);
}

YSocketTarget::YSocketTarget(const char* host, std::size_t length, unsigned short port) : YSocketTarget() {
    Classify(host, host == nullptr ? 0 : length, port);
}

void YSocketTarget::Classify(const char* host, std::size_t length, unsigned short port) {
    m_Kind = NAME;
    m_Port[0] = static_cast<BYTE>(port >> 8);
    m_Port[1] = static_cast<BYTE>(port);
    if (length == 0) {
        m_Problem = EMPTY;
        return;
    }
    // Kept for log lines even when refused: cut to what fits.
    std::size_t kept = length > static_cast<std::size_t>(kMaxName) ? kMaxName : length;
    std::memcpy(m_Host, host, kept);
    m_Host[kept] = '\0';
    m_NameLength = static_cast<BYTE>(kept);
    if (length > static_cast<std::size_t>(kMaxName))
        m_Problem = TOO_LONG;
    else if (std::memchr(host, '\0', length) != nullptr)
        m_Problem = HAS_NUL;
    else if (port == 0)
        m_Problem = NO_PORT;
    if (m_Problem != FINE)
        return;
    if (ParseIPv4(m_Host, m_Address)) {
        m_Kind = IPV4;
    } else if (HasBadByte(m_Host)) {
        m_Problem = BAD_BYTE; // it would break an HTTP request line, or worse
    } else if (std::strchr(m_Host, ':') == nullptr) {
        if (EndsInNumber(m_Host))
            m_Problem = AMBIGUOUS_IPV4; // a resolver's own reading of it differs from one to the next
    } else {
        // No name holds a colon: an IPv6 literal, perhaps in brackets.
        char literal[kMaxName + 1];
        std::size_t from = m_Host[0] == '[' ? 1 : 0;
        std::size_t to = kept;
        if (from == 1 && m_Host[kept - 1] == ']')
            --to;
        else if (from == 1)
            to = 0; // an opening bracket without its closing one
        std::size_t n = to > from ? to - from : 0;
        std::memcpy(literal, m_Host + from, n);
        literal[n] = '\0';
        m_Kind = IPV6;
        if (n == 0 || !ParseIPv6(literal, m_Address))
            m_Problem = BAD_IPV6;
    }
}

unsigned short YSocketTarget::GetPort() const {
    return static_cast<unsigned short>(m_Port[0] << 8 | m_Port[1]);
}

YSocketTarget YSocketTarget::Parse(const char* text, std::size_t length) {
    YSocketTarget target;
    target.m_Kind = NAME;
    if (text == nullptr || length == 0) {
        target.m_Problem = NOT_HOST_PORT;
        return target;
    }
    // Kept for the words of a refusal.
    std::size_t kept = length > static_cast<std::size_t>(kMaxName) ? kMaxName : length;
    std::memcpy(target.m_Host, text, kept);
    target.m_Host[kept] = '\0';
    if (std::memchr(text, '\0', length) != nullptr) {
        target.m_Problem = TEXT_NUL;
        return target;
    }
    // The port follows the last colon; a bracketed host ends at its ']'.
    std::size_t colon = length;
    while (colon > 0 && text[colon - 1] != ':')
        --colon;
    if (colon == 0) {
        target.m_Problem = NOT_HOST_PORT;
        return target;
    }
    --colon;
    std::size_t hostLength = colon;
    if (text[0] == '[' ? text[hostLength - 1] != ']' || hostLength < 3
                       : std::memchr(text, ':', hostLength) != nullptr) {
        target.m_Problem = text[0] == '[' ? NOT_HOST_PORT : NEEDS_BRACKETS;
        return target;
    }
    unsigned long port = 0;
    std::size_t digits = length - colon - 1;
    for (std::size_t i = colon + 1; i < length && port <= 65535; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            port = 65536;
            break;
        }
        port = port * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (digits == 0 || port > 65535) {
        target.m_Problem = NOT_HOST_PORT;
        return target;
    }
    YSocketTarget parsed(text, hostLength, static_cast<unsigned short>(port));
    if (parsed.m_Kind == NAME && parsed.m_Problem == FINE && text[0] == '[')
        parsed.m_Problem = BAD_IPV6; // brackets hold an IPv6 literal, nothing else
    return parsed;
}

bool YSocketTarget::Refused(char* why, std::size_t size) const {
    char host[kMaxName + 1];
    Printable(m_Host, host, sizeof host);
    switch (m_Problem) {
    case FINE:
        if (m_Kind != NONE)
            return false;
        std::snprintf(why, size, "no target given");
        break;
    case EMPTY:
        std::snprintf(why, size, "empty host name");
        break;
    case TOO_LONG:
        std::snprintf(why, size, "host name longer than %d bytes", kMaxName);
        break;
    case HAS_NUL:
        std::snprintf(why, size, "host name holds a NUL byte");
        break;
    case BAD_IPV6:
        std::snprintf(why, size, "%s is not an IPv6 address", host);
        break;
    case NO_PORT:
        std::snprintf(why, size, "%s: port 0", host);
        break;
    case BAD_BYTE:
        std::snprintf(why, size, "host name %s holds a space or a control byte", host);
        break;
    case AMBIGUOUS_IPV4:
        std::snprintf(why, size, "%s: an IPv4 address is written a.b.c.d (0-255, no leading zeros)", host);
        break;
    case NOT_HOST_PORT:
        std::snprintf(why, size, "%s is not HOST:PORT (a name, a.b.c.d or [IPv6], port 1-65535)", host);
        break;
    case NEEDS_BRACKETS:
        std::snprintf(why, size, "%s: an IPv6 address goes in brackets, [ADDRESS]:PORT", host);
        break;
    case TEXT_NUL:
        std::snprintf(why, size, "the target text holds a NUL byte");
        break;
    }
    return true;
}

LONG YSocketTarget::Check(const char* op) const {
    char why[2 * kMaxName];
    if (!Refused(why, sizeof why))
        return 0;
    return YRet(E_FAIL, "%s() %s!", op, why);
}

int YSocketTarget::Authority(char* out, std::size_t size) const {
    // A literal given with its brackets keeps them; one given without gets them.
    bool bracket = m_Kind == IPV6 && m_Host[0] != '[';
    int length = std::snprintf(out, size, "%s%s%s:%u", bracket ? "[" : "", m_Host, bracket ? "]" : "", GetPort());
    return length > 0 && static_cast<std::size_t>(length) < size ? length : 0;
}

int YSocketTarget::Socks5Request(unsigned char* out) const {
    int length = 0;
    out[length++] = kSocks5;
    out[length++] = kCommandConnect;
    out[length++] = 0;
    out[length++] = static_cast<unsigned char>(m_Kind);
    if (m_Kind == NAME) {
        out[length++] = m_NameLength;
        std::memcpy(out + length, m_Host, m_NameLength);
        length += m_NameLength;
    } else {
        int size = m_Kind == IPV6 ? 16 : 4;
        std::memcpy(out + length, m_Address, static_cast<std::size_t>(size));
        length += size;
    }
    out[length++] = m_Port[0];
    out[length++] = m_Port[1];
    return length;
}

int YSocketTarget::Socks4Request(unsigned char* out) const {
    if (m_Kind == IPV6)
        return 0;
    int length = 0;
    out[length++] = kSocks4;
    out[length++] = kCommandConnect;
    out[length++] = m_Port[0];
    out[length++] = m_Port[1];
    if (m_Kind == NAME) {
        const unsigned char socks4a[4] = {0, 0, 0, 1}; // "the proxy resolves the name that follows"
        std::memcpy(out + length, socks4a, 4);
    } else {
        std::memcpy(out + length, m_Address, 4);
    }
    length += 4;
    out[length++] = 0; // the empty user id
    if (m_Kind == NAME) {
        std::memcpy(out + length, m_Host, m_NameLength);
        length += m_NameLength;
        out[length++] = 0;
    }
    return length;
}

LONG YSocketTarget::Resolve(YSocketAddr* out, int max, int* count, DWORD boundMs, const char* op,
                            LookupAbandon* abandon) const {
    *count = 0;
    if (m_Kind == IPV6)
        return YRet(E_FAIL, "%s() IPv6 target %s: a direct connection is IPv4 (reach it through a SOCKS5 proxy)!", op,
                    m_Host);
    if (m_Kind == IPV4) {
        if (max < 1)
            return E_FAIL;
        out[0] = YSocketAddr{};
        out[0].sin_family = AF_INET;
        std::memcpy(&out[0].sin_addr, m_Address, 4);
        std::memcpy(&out[0].sin_port, m_Port, 2);
        *count = 1;
        return 0;
    }
    auto* lookup = new Lookup{};
    lookup->references = 1;
    std::memcpy(lookup->name, m_Host, sizeof lookup->name);
    std::memcpy(lookup->port, m_Port, 2);
    Waited waited = ANSWERED;
    if (boundMs == 0 && abandon == nullptr)
        lookup->Run(); // unbounded: on this thread, holding no slot
    else
        waited = RunOnThread(lookup, boundMs, abandon);
    if (waited != ANSWERED) {
        lookup->Release(); // a thread still running frees it when it is done
        if (waited == ABANDONED)
            return YRet(E_FAIL, "%s() %s: name lookup abandoned, the call was ended!", op, m_Host);
        if (waited == NO_SLOT)
            return YRet(E_FAIL, "%s() %s: %d name lookups that outlived their callers still run, none more is started!",
                        op, m_Host, kMaxOutlivingLookups);
        return YRet(E_FAIL, "%s() %s: %s (0x%x)!", op, m_Host, ResolveText(WSAETIMEDOUT), WSAETIMEDOUT);
    }
    LONG result = 0;
    if (lookup->error != 0) {
        result = YRet(E_FAIL, "%s() %s: %s (0x%x)!", op, m_Host, ResolveText(lookup->error), lookup->error);
    } else {
        *count = lookup->count < max ? lookup->count : max;
        std::memcpy(out, lookup->found, sizeof(YSocketAddr) * static_cast<std::size_t>(*count));
    }
    lookup->Release();
    return result;
}

void SetResolverHook(ResolverHook hook) {
    g_ResolverHook.store(hook);
}

} // namespace YNet2
