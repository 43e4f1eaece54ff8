// Internal header. Small helpers for tests that need real loopback peers or
// window messages. Every helper works on 127.0.0.1 with ephemeral ports,
// bounds every wait, and reports failure instead of asserting, so a test
// can ASSERT on its result. Uses the Windows API names only (runs on both
// platforms).
#pragma once

#include "platform/WinApi.h"

namespace YNetTest {

// The IPv4 address 127.0.0.1:port (port in host order).
sockaddr_in LoopbackAddress(unsigned short port);

// A TCP socket listening on 127.0.0.1 with an ephemeral port; *port gets
// the port in host order. INVALID_SOCKET on failure.
SOCKET ListenOnLoopback(unsigned short* port);

// A connected TCP pair over loopback: *client connected, *server accepted.
// The listener used for it is closed again. False (and nothing left open)
// on failure.
bool MakeConnectedPair(SOCKET* client, SOCKET* server);

// Closes a socket that is not INVALID_SOCKET and sets it to INVALID_SOCKET.
void CloseIfOpen(SOCKET* s);

// Waits up to `milliseconds` for readability of s (select). True when ready.
bool WaitReadable(SOCKET s, DWORD milliseconds);

// Waits up to `milliseconds` for a posted message numbered `message` to
// `window` (null: any window of this thread, or none) on the calling
// thread's queue, and takes it out into *out; messages of other numbers
// stay queued (message 0 takes any message, as a 0..0 filter does). Messages sent to this thread meanwhile are handled.
// True when one came in time.
bool WaitForMessage(HWND window, UINT message, DWORD milliseconds, MSG* out);

} // namespace YNetTest
