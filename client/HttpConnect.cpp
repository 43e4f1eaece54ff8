#include "client/HttpConnect.h"

#include <cstdio>
#include <cstring>

namespace YNet2 {

namespace {

// RFC 4648 base64 of length bytes into out; answers the characters written.
int Base64(const unsigned char* data, int length, char* out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int written = 0;
    for (int i = 0; i < length; i += 3) {
        unsigned value = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < length)
            value |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < length)
            value |= data[i + 2];
        out[written++] = kAlphabet[value >> 18 & 63];
        out[written++] = kAlphabet[value >> 12 & 63];
        out[written++] = i + 1 < length ? kAlphabet[value >> 6 & 63] : '=';
        out[written++] = i + 2 < length ? kAlphabet[value & 63] : '=';
    }
    return written;
}

} // namespace

HttpConnect::HttpConnect(bool credentialsSent)
    : m_State(MORE), m_CredentialsSent(credentialsSent), m_Taken(0), m_LineLength(0),
      m_Status(0), m_StatusLine{}, m_Why{} {}

int HttpConnect::Request(const YSocketTarget& target, const char* user, const char* password, char* out, int size) {
    char authority[YSocketTarget::kMaxName + 16];
    if (target.Authority(authority, sizeof authority) == 0)
        return 0;
    char credentials[2 * 255 + 2];
    char encoded[(sizeof credentials + 2) / 3 * 4 + 1] = "";
    if (user != nullptr) {
        int length = std::snprintf(credentials, sizeof credentials, "%s:%s", user, password != nullptr ? password : "");
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof credentials)
            return 0;
        encoded[Base64(reinterpret_cast<const unsigned char*>(credentials), length, encoded)] = '\0';
    }
    int length = std::snprintf(out, static_cast<std::size_t>(size), "CONNECT %s HTTP/1.1\r\nHost: %s\r\n%s%s%s\r\n",
                               authority, authority, user != nullptr ? "Proxy-Authorization: Basic " : "", encoded,
                               user != nullptr ? "\r\n" : "");
    return length > 0 && length < size ? length : 0;
}

int HttpConnect::Take(const unsigned char* data, int length) {
    for (int i = 0; i < length; ++i) {
        if (m_State != MORE)
            return i;
        if (++m_Taken > kMaxHeaderBlock) {
            m_State = MALFORMED;
            std::snprintf(m_Why, sizeof m_Why, "header block longer than %d bytes", kMaxHeaderBlock);
            return i + 1;
        }
        unsigned char c = data[i];
        if (m_Status == 0) {
            // The status line; a CR before its LF is not part of it.
            if (c == '\n') {
                if (m_LineLength > 0 && m_StatusLine[m_LineLength - 1] == '\r')
                    --m_LineLength;
                m_StatusLine[m_LineLength] = '\0';
                ReadStatusLine();
                m_LineLength = 0;
            } else if (m_LineLength == kMaxStatusLine) {
                m_State = MALFORMED;
                std::snprintf(m_Why, sizeof m_Why, "status line longer than %d bytes", kMaxStatusLine);
                return i + 1;
            } else {
                m_StatusLine[m_LineLength++] = static_cast<char>(c);
            }
            continue;
        }
        // A header line; the empty one ends the block.
        if (c == '\n') {
            if (m_LineLength == 0) {
                m_State = GRANTED;
                return i + 1;
            }
            m_LineLength = 0;
        } else if (c != '\r') {
            ++m_LineLength;
        }
    }
    return length;
}

void HttpConnect::ReadStatusLine() {
    // m_LineLength is the line's length: a NUL inside it ends no C string here.
    const char* line = m_StatusLine;
    bool shaped = std::strncmp(line, "HTTP/1.", 7) == 0 && line[7] >= '0' && line[7] <= '9' && line[8] == ' ' &&
                  line[9] >= '1' && line[9] <= '5' && line[10] >= '0' && line[10] <= '9' && line[11] >= '0' &&
                  line[11] <= '9' && (m_LineLength == 12 || (m_LineLength > 12 && line[12] == ' '));
    if (!shaped) {
        m_State = MALFORMED;
        std::snprintf(m_Why, sizeof m_Why, "not an HTTP reply");
        return;
    }
    m_Status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (m_Status / 100 == 2)
        return; // the headers follow, up to the blank line
    // The reason phrase as plain text, short.
    char reason[64] = "";
    int n = 0;
    for (const char* p = line[12] == ' ' ? line + 13 : line + 12; *p != '\0' && n + 1 < static_cast<int>(sizeof reason);
         ++p)
        reason[n++] = *p >= ' ' && *p < 0x7F ? *p : '?';
    reason[n] = '\0';
    m_State = REFUSED;
    const char* gap = reason[0] != '\0' ? " " : "";
    if (IsAuthentication())
        std::snprintf(m_Why, sizeof m_Why, "status %d%s%s: %s", m_Status, gap, reason,
                      m_CredentialsSent ? "the proxy refused the user name and password"
                                        : "the proxy needs a user name and password, none given");
    else
        std::snprintf(m_Why, sizeof m_Why, "status %d%s%s", m_Status, gap, reason);
}

} // namespace YNet2
