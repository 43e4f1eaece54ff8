// Internal header. HttpConnect: one HTTP CONNECT exchange with a proxy - the
// request, and the reading of its reply up to the blank line that ends the
// header block, not a byte further (what follows is the server's).
//
//   CONNECT example.org:7000 HTTP/1.1\r\n
//   Host: example.org:7000\r\n
//   Proxy-Authorization: Basic dXNlcjpwdw==\r\n      (with credentials)
//   \r\n
//                          <- HTTP/1.1 200 Connection established\r\n
//                             Proxy-agent: ...\r\n
//                             \r\n
//                             (the tunnel: the server's bytes)
//
// The reply's status line must be "HTTP/1.x NNN[ reason]"; a status of 2xx
// grants the tunnel (HTTP/1.0 replies included), anything else refuses it.
// Lines end in CRLF or a bare LF. A status line longer than kMaxStatusLine
// or a header block longer than kMaxHeaderBlock is refused. Content-Length
// and Transfer-Encoding of a 2xx reply are ignored, as RFC 9110 asks.
//
// Plain value, no socket: the caller feeds it what it received (Take).
#pragma once

#include <cstddef>

#include "platform/WinApi.h"
#include "socket/YSocketTarget.h"

namespace YNet2 {

class HttpConnect {
public:
    static constexpr int kMaxStatusLine = 1024;
    static constexpr int kMaxHeaderBlock = 8192;
    // The longest request: a 255-byte name twice, 255-byte credentials.
    static constexpr int kMaxRequest = 2048;

    enum State {
        MORE,      // the header block goes on
        GRANTED,   // 2xx, the blank line taken
        REFUSED,   // a status other than 2xx
        MALFORMED, // not an HTTP reply, or too long
    };

    // credentialsSent: the request carried Proxy-Authorization (for the
    // words of a 407).
    explicit HttpConnect(bool credentialsSent);

    // The CONNECT request for target, with Basic credentials when user is
    // not null (password null: empty), into out (size bytes). Its length,
    // 0 when it does not fit.
    static int Request(const YSocketTarget& target, const char* user, const char* password, char* out, int size);

    // Takes the next bytes received: answers how many of them belong to the
    // reply (all of them while the state stays MORE; up to the blank line,
    // or up to where the reply was judged, otherwise). State tells the rest.
    int Take(const unsigned char* data, int length);

    State GetState() const { return m_State; }
    // The status code once the status line is read, else 0.
    int Status() const { return m_Status; }
    // REFUSED and MALFORMED in words, e.g. "status 503 Service Unavailable".
    const char* Why() const { return m_Why; }
    // REFUSED by the proxy for this target (not 407, the proxy's own demand
    // for credentials, nor the 401 that tinyproxy answers wrong ones with):
    // another address of the target may do.
    bool TargetRefused() const { return m_State == REFUSED && !IsAuthentication(); }

private:
    bool IsAuthentication() const { return m_Status == 407 || m_Status == 401; }
    // Judges the whole status line (without its line end).
    void ReadStatusLine();

    State m_State;
    bool m_CredentialsSent;
    int m_Taken;      // bytes of the reply so far
    int m_LineLength; // bytes of the current line, line end excluded
    int m_Status;
    char m_StatusLine[kMaxStatusLine + 1];
    char m_Why[160];
};

} // namespace YNet2
