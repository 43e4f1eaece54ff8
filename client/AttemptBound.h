// Internal header. AttemptBound: the bound of TCPClient::SetConnectTimeout
// held over a whole attempt - a name's lookup, then a connect and a proxy
// handshake for each of its addresses - rather than over each step anew.
//
//   AttemptBound bound(client);           // the bound in force now, from now
//   target.Resolve(..., client.GetConnectTimeout(), ...);
//   for (each address) {
//       if (!bound.Narrow()) break;       // the client's bound: what is left
//       ... connect, handshake ...
//   }                                     // destruction gives the bound back
//
// With no bound (0) it changes nothing. Owner's thread, for the length of
// the call that made it; attempts nest (an inner one sees what the outer
// one left).
#pragma once

#include "client/TCPClient.h"
#include "platform/WinApi.h"

namespace YNet2 {

class AttemptBound {
public:
    explicit AttemptBound(TCPClient& client);
    ~AttemptBound();
    AttemptBound(const AttemptBound&) = delete;
    AttemptBound& operator=(const AttemptBound&) = delete;

    // Sets the client's bound to the milliseconds left; false when none
    // are left (the bound has run out).
    bool Narrow();

private:
    TCPClient& m_Client;
    DWORD m_Bound; // 0: none
    DWORD m_Start;
};

} // namespace YNet2
