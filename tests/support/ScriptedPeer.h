// Internal header. ScriptedPeer: a loopback server whose every byte the test writes.
//
// For faults that a real server does not produce on demand: exact byte runs,
// heads split over several writes, a close in the middle of a body, a reset
// (an abortive close with linger 0). The test drives it step by step from
// its own thread; every wait is bounded and reports failure instead of
// asserting, so the test can ASSERT on the result. 127.0.0.1, ephemeral port.
#pragma once

#include <initializer_list>
#include <vector>

#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

namespace YNetTest {

class ScriptedPeer {
public:
    // Listens at once; Listening() tells whether that worked.
    ScriptedPeer();
    ~ScriptedPeer(); // closes the listener and every accepted connection
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Listening() const { return m_Listener != INVALID_SOCKET; }
    // The address clients connect to.
    YNet2::YSocketAddr Address() const;

    // Accepts the next connection, waiting at most milliseconds. It becomes
    // the current connection (the one before it stays open until Close,
    // Reset or destruction). False on time-out or failure.
    bool Accept(DWORD milliseconds = 5000);
    // True when a connection is waiting to be accepted within milliseconds.
    bool HasPendingConnection(DWORD milliseconds);

    // Writes the bytes to the current connection, all of them. TCP_NODELAY
    // is set, so separate writes leave separately.
    bool Send(const void* data, int length);
    bool Send(std::initializer_list<unsigned char> bytes);
    bool Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), static_cast<int>(bytes.size())); }

    // Reads exactly length bytes within milliseconds. False on time-out,
    // close or error; *out holds what arrived.
    bool Receive(int length, std::vector<unsigned char>* out, DWORD milliseconds = 5000);

    // How the client ended the current connection, waiting at most
    // milliseconds and discarding any bytes that still arrive: 0 for an
    // orderly close (end of stream), the error code for a reset or abort
    // (e.g. 10054), -1 when it did not end in time.
    int WaitForEnd(DWORD milliseconds = 5000);

    // Orderly close of the current connection.
    void Close();
    // Abortive close (linger 0): the client's next receive fails with 10054.
    void Reset();

private:
    SOCKET m_Listener;
    SOCKET m_Connection;
    std::vector<SOCKET> m_Earlier;
    YNet2::YSocketAddr m_Address;
};

// A whole message as it travels: head (size, main ID, assistant ID, request
// flag) and the body scrambled with Encode. body may be empty.
std::vector<unsigned char> WireMessage(BYTE mainID, BYTE assistantID, const std::vector<unsigned char>& body);
// The same message as the receiver hands it out: head and plain body.
std::vector<unsigned char> PlainMessage(BYTE mainID, BYTE assistantID, const std::vector<unsigned char>& body);

} // namespace YNetTest
