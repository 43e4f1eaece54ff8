// Internal header, not installed. Test hooks of TCPClient.
#pragma once

namespace YNet2 {

class TCPClient;

// Called by every thread that has just marked a client's socket in use,
// right before its blocking call on it (outside the client's lock), with
// marked true: a test holds a thread there to reach the moment between the
// mark and the call. The receive thread also calls it with marked false
// right before it marks the socket for each receive: a test holds it there
// to act between two receives. One hook for the process; null removes it.
// Costs an atomic load per call.
typedef void (*SocketUseHook)(const TCPClient* client, bool marked, void* context);
void SetSocketUseHook(SocketUseHook hook, void* context);

// The commit points of an owner call, where it checks that no ending call
// has come since it began.
enum class CommitPoint { LOOKUP, REGISTER, LIVE };

// Called by an owner call right before each of its commit points (outside
// the client's lock): the name lookup's start, the new socket's
// registration, going live. A test makes an ending call there to see it end
// the call at that very point. One hook for the process; null removes it.
typedef void (*CommitHook)(const TCPClient* client, CommitPoint point, void* context);
void SetCommitHook(CommitHook hook, void* context);

} // namespace YNet2
