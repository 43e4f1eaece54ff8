// Public header (a member of TCPClient; not meant for use on its own).
// ClientSocket: the socket of one client connection and the calls made on it.
/// @file
/// @brief ClientSocket: the socket of one client connection and the calls made on it (a member of TCPClient; not meant
/// for use on its own).
///
/// Who calls: the owner's thread (Hold, Replace, Close, the incoming socket
/// of a Reconnect), any sender, and the receive thread, the one reader. Every
/// operation takes the object's own lock for a few steps; no blocking call is
/// ever made under it. A caller may hold its own lock while it calls in, never
/// the reverse.
///
/// Invariants (checked by assertions in debug builds):
///   1. A handle given out in use (BeginUse, AddIncoming) stays open until its
///      last user has left (EndUse): a close while it is in use marks it
///      retired and wakes its calls, and the last user closes it. So no call
///      ever reaches a handle value that was closed and may name another
///      socket since.
///   2. Every handle the object took is, at any time, exactly one of: held
///      (the connection's), incoming (a Reconnect's new socket, not yet
///      connected), retired (closed while in use), or closed; the object
///      closes each exactly once. Taking a new socket to hold retires the one
///      held before: nothing is overwritten.
///   3. Generation() changes whenever another socket is held, and is 0 while
///      none is: the reader compares it to see that its socket was replaced.
///   4. Only the reader makes Read uses, one at a time. A reader runs from
///      StartReading (before its thread is created) to ReaderEnded (its
///      thread's last step); StopReading while it runs closes the socket held
///      and refuses it every handle from then on: what an ending call does
///      never depends on where the receive thread is (inside a receive or
///      between messages). With no reader running, Read uses are not refused.
///   5. An ending call (CloseIncoming) reaches every incoming socket: a
///      Reconnect blocked in its connect or handshake wakes and fails.
#pragma once

#include <atomic>

#include "platform/WinApi.h"

namespace YNet2 {

/// The socket of one client connection and the calls made on it: who calls
/// and the invariants are in the description of ClientSocket.h.
class ClientSocket {
public:
    /// What a call uses the handle for: a send must be woken by a full
    /// shutdown; the reader is told apart from everyone else.
    enum class Use { Read, Send, Other };

    ClientSocket();
    /// Closes the held handle and the retired ones: every user has left.
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    /// The handle held now; INVALID_SOCKET when none.
    SOCKET Held() const;
    /// Without the lock: the generation of the held socket, 0 when none.
    DWORD Generation() const { return m_Live.load(std::memory_order_acquire); }

    /// Holds handle (INVALID_SOCKET: none). A handle held before is closed,
    /// gracefully, or retired while in use.
    void Hold(SOCKET handle);
    /// Holds handle as the copy operations do: the handle held before is
    /// shared with another client, so it is left as it is.
    void Share(SOCKET handle);
    /// Closes the held handle (abortive: the peer gets a reset and unsent
    /// data is dropped); none is held afterwards.
    void Close(bool abortive);
    /// The reader's close after a reset: shuts handle down and closes it
    /// when it is still the one held.
    void CloseIfHeld(SOCKET handle);

    /// The handle held now, marked in use, and its generation; INVALID_SOCKET
    /// when there is none (or the reader has been stopped, for Use::Read).
    SOCKET BeginUse(Use use, DWORD* generation = nullptr);
    /// Ends a use of handle. False when the handle was closed during the call:
    /// the call's result is meaningless and the handle must not be used again.
    bool EndUse(SOCKET handle, Use use);
    /// True when handle, still in use, was closed (it is retired).
    bool Retired(SOCKET handle);

    /// A Reconnect's new socket: registered in use by its connecting caller,
    /// so that an ending call reaches it. False when there is no room.
    bool AddIncoming(SOCKET handle);
    /// The connect (and handshake) succeeded: the incoming socket becomes the
    /// held one, the socket held before is retired, and this waits a bounded
    /// time for that socket's users to leave. False when an ending call
    /// closed the incoming socket meanwhile (it is closed: nothing to do).
    bool PromoteIncoming(SOCKET handle);
    /// The connect failed: the incoming socket is closed.
    void DropIncoming(SOCKET handle);
    /// Ending calls: every incoming socket is closed (woken while in use).
    void CloseIncoming();

    /// A receive thread is about to be created.
    void StartReading();
    /// The receive thread is asked to end: see invariant 4.
    void StopReading();
    /// The receive thread cuts the connection: it takes no socket from now
    /// on (the socket held is left to the cut).
    void ReaderCut();
    /// A receive thread runs and has been neither stopped nor cut.
    bool Reading() const;
    /// The receive thread has left its loop (or was not created): a socket
    /// held from now on is read by nobody, and StopReading leaves it alone.
    void ReaderEnded();
    /// While waiting for the receive thread: cancels again the pending I/O of
    /// every retired handle (on Windows a call marked in use that entered the
    /// system only after the close escapes the first cancel).
    void Recancel();

private:
    struct Entry {
        SOCKET handle;
        LONG users;
        LONG senders;
        bool reading;  ///< the reader is one of the users
        bool retired;  ///< closed while in use: the last user closes it
        bool incoming; ///< a Reconnect's socket, not held yet
    };
    /// Distinct handles in use at once: the held one, Reconnects' incoming
    /// sockets (one per thread calling it), and retired ones.
    static constexpr int kMaxEntries = 16;

    Entry* Find(SOCKET handle);
    /// Lock held: closes handle now, or retires it while in use.
    void CloseLocked(SOCKET handle, bool abortive);
    /// Lock held: the held handle becomes handle (the old one is not touched).
    void SetHeldLocked(SOCKET handle);
    void CheckLocked() const;
    /// Repeats the cancel of a retired handle until its last user has left,
    /// for a bounded time.
    void CancelUntilLeft(SOCKET handle);

    mutable CRITICAL_SECTION m_Lock;
    SOCKET m_Held;
    DWORD m_Generation;        ///< bumped whenever another socket is held
    std::atomic<DWORD> m_Live; ///< m_Generation while a socket is held, else 0
    bool m_ReaderRuns;         ///< between StartReading and ReaderEnded
    bool m_ReadingStopped;     ///< StopReading since the last StartReading
    Entry m_Entries[kMaxEntries];
    int m_EntryCount;
};

} // namespace YNet2
